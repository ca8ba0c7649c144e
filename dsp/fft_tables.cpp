#include "dsp/fft_tables.h"

#include <cmath>
#include <mutex>

#include "dsp/fft_kernels.h"

alignas(64) float fft_tw_cos[kFftMaxPoints];
alignas(64) float fft_tw_sin[kFftMaxPoints];
alignas(64) float fft_tw3_cos[kFftMaxPoints / 2];
alignas(64) float fft_tw3_sin[kFftMaxPoints / 2];
alignas(64) float fft_tw_cos8[kFftMaxPoints];
alignas(64) float fft_tw_sin8[kFftMaxPoints];
std::atomic<bool> fft_tables_ready{false};

namespace {

void fill_tables() {
  const double pi = 3.14159265358979323846264338327950288;
  fft_tw_cos[0] = 1.0f;
  fft_tw_sin[0] = 0.0f;
  for (unsigned h = 1; h < kFftMaxPoints; h <<= 1) {
    for (unsigned j = 0; j < h; ++j) {
      double a = pi * j / h;
      fft_tw_cos[h + j] = static_cast<float>(std::cos(a));
      fft_tw_sin[h + j] = static_cast<float>(std::sin(a));
    }
  }
  fft_tw3_cos[0] = 1.0f;
  fft_tw3_sin[0] = 0.0f;
  for (unsigned h = 1; h < kFftMaxPoints / 2; h <<= 1) {
    for (unsigned j = 0; j < h; ++j) {
      double a = 1.5 * pi * j / h;
      fft_tw3_cos[h + j] = static_cast<float>(std::cos(a));
      fft_tw3_sin[h + j] = static_cast<float>(std::sin(a));
    }
  }
  for (unsigned i = 0; i < kFftMaxPoints; ++i) {
    unsigned j = i & 7;
    unsigned from = (i & ~7u) | (j & 1) | ((j & 2) << 1) | ((j & 4) >> 1);
    fft_tw_cos8[i] = fft_tw_cos[from];
    fft_tw_sin8[i] = fft_tw_sin[from];
  }
  fft_tables_ready.store(true);
}

}  // namespace

// Threads may ask at the same time: one fills, the others wait for it.
void fft_tables_init() {
  static std::once_flag once;
  std::call_once(once, fill_tables);
}
