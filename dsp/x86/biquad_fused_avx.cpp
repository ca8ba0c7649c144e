#include "dsp/x86/fused_begin.h"

#include "dsp/variants.h"
#include "dsp/x86/vec_avx.h"
#include "dsp/x86/biquad_impl.h"

using Narrow = VecAvx128T<true>;
using Wide = VecAvxT<true>;

void biquad_1_fma(BiquadSection* s, float* dst, const float* src, size_t n) { cascade_1<Narrow>(s, dst, src, n); }
void biquad_2_fma(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Narrow, 1, 2>(s, dst, src, n);
}
void biquad_4_fma(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Narrow, 1, 4>(s, dst, src, n);
}
void biquad_8_fma(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Wide, 1, 8>(s, dst, src, n);
}

void biquad_rows_fma(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src,
                     size_t rows, size_t n) {
  static const BiquadKit kit = {{biquad_1_fma, biquad_2_fma, biquad_4_fma, biquad_8_fma},
                                {nullptr, cascade_pipeline_pair<Narrow, 1, 2>, cascade_pipeline_pair<Narrow, 1, 4>,
                                 cascade_pipeline_pair<Wide, 1, 8>}};
  biquad_rows_with(kit, sections, count, dst, src, rows, n);
}

void biquad_rows_fma_avx8(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src,
                          size_t rows, size_t n) {
  static const BiquadKit kit = {{biquad_1_fma, biquad_2_fma, biquad_4_fma, biquad_8_avx},
                                {nullptr, cascade_pipeline_pair<Narrow, 1, 2>, cascade_pipeline_pair<Narrow, 1, 4>,
                                 biquad_8_pair_avx}};
  biquad_rows_with(kit, sections, count, dst, src, rows, n);
}

#include "dsp/x86/fused_end.h"
