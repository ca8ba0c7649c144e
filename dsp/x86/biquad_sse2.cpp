#include "dsp/variants.h"
#include "dsp/x86/vec_sse2.h"
#include "dsp/x86/biquad_impl.h"

void biquad_4_sse2(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<VecSse2, 1, 4>(s, dst, src, n);
}
void biquad_8_sse2(BiquadSection* s, float* dst, const float* src, size_t n) {
  cascade_pipeline<VecSse2, 2, 8>(s, dst, src, n);
}

// The level's single-row cascades are the generic ones for 1 and 2
// sections; the unfused pipelines give the same bits, so the pairs of
// every size run as pipelines.
void biquad_rows_sse2(BiquadSection* sections, unsigned count, float* const* dst, const float* const* src,
                      size_t rows, size_t n) {
  static const BiquadKit kit = {
      {biquad_1_generic, biquad_2_generic, biquad_4_sse2, biquad_8_sse2},
      {nullptr, cascade_pipeline_pair<VecSse2, 1, 2>, cascade_pipeline_pair<VecSse2, 1, 4>,
       cascade_pipeline_pair<VecSse2, 2, 8>}};
  biquad_rows_with(kit, sections, count, dst, src, rows, n);
}
