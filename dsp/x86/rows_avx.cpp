#include "dsp/variants.h"
#include "dsp/x86/vec_avx.h"
#include "dsp/x86/rows_impl.h"

using K = RowKernels<VecAvxT<false>>;

void fill_zero_avx(float* dst, size_t n) { K::fill_zero(dst, n); }
void move_floats_avx(float* dst, const float* src, size_t n) { K::move(dst, src, n); }
void scale_avx(float* v, size_t n, float k) { K::scale(v, n, k); }
void scale_copy_avx(float* dst, const float* src, size_t n, float k) { K::scale_copy(dst, src, n, k); }
void add_to_avx(float* dst, const float* src, size_t n) { K::add_to(dst, src, n); }
void multiply_by_avx(float* dst, const float* src, size_t n) { K::multiply_by(dst, src, n); }
void divide_by_avx(float* dst, const float* src, size_t n) { K::divide_by(dst, src, n); }
void multiply_into_avx(float* dst, const float* a, const float* b, size_t n) { K::multiply_into(dst, a, b, n); }
void multiply_add_avx(float* dst, const float* src, size_t n, float k) { K::multiply_add(dst, src, n, k); }
float peak_abs_avx(const float* src, size_t n) { return K::peak_abs(src, n); }
void complex_magnitude_avx(float* dst, const float* src, size_t n) { K::complex_magnitude(dst, src, n); }
void fir_accumulate_avx(float* dst, const float* src, const float* taps, size_t ntaps, size_t n) {
  K::fir_accumulate(dst, src, taps, ntaps, n);
}
void peak_polyphase_avx(float* peak, const float* src, const float* taps, size_t ntaps, unsigned phases, size_t n) {
  K::peak_polyphase(peak, src, taps, ntaps, phases, n);
}
void peak_mirrored_avx(float* peak, const float* src, const float* taps, size_t ntaps, size_t n) {
  K::peak_mirrored(peak, src, taps, ntaps, n);
}
