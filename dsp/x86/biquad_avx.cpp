#include "dsp/variants.h"
#include "dsp/x86/vec_avx.h"
#include "dsp/x86/biquad_impl.h"

using Narrow = VecAvx128T<false>;
using Wide = VecAvxT<false>;

void biquad_1_avx(BiquadSection* s, float* dst, const float* src, size_t n) { cascade_1<Narrow>(s, dst, src, n); }
void biquad_2_avx(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Narrow, 1, 2>(s, dst, src, n);
}
void biquad_4_avx(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Narrow, 1, 4>(s, dst, src, n);
}
void biquad_8_avx(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<Wide, 1, 8>(s, dst, src, n);
}

void biquad_8_pair_avx(BiquadSection* const* secs, float* const* dst, const float* const* src, size_t n) {
  cascade_pipeline_pair<Wide, 1, 8>(secs, dst, src, n);
}

void biquad_rows_avx(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src,
                     size_t rows, size_t n) {
  static const BiquadKit kit = {{biquad_1_avx, biquad_2_avx, biquad_4_avx, biquad_8_avx},
                                {nullptr, cascade_pipeline_pair<Narrow, 1, 2>, cascade_pipeline_pair<Narrow, 1, 4>,
                                 biquad_8_pair_avx}};
  biquad_rows_with(kit, sections, count, dst, src, rows, n);
}
