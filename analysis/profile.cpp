#include "analysis/profile.h"

#include <cmath>

#include "dsp/dsp.h"
#include "runtime/alloc.h"

void nuttall_window(float* w, uint64_t n) {
  float phi = static_cast<float>(2.0 * M_PI / static_cast<double>(n - 1));
  float phi2 = phi * 2.0f;
  float phi3 = phi * 3.0f;
  for (uint64_t i = 0; i < n; ++i) {
    float fi = static_cast<float>(i);
    w[i] = 0.3635819f - 0.4891775f * std::cos(phi * fi) + 0.1365995f * std::cos(phi2 * fi) -
           0.0106411f * std::cos(phi3 * fi);
  }
}

namespace {

void analyse_frame(const DspTable& t, const ProfileWork& w, size_t n, float* out) {
  t.multiply_into(w.windowed, w.frame, w.window, n);
  t.real_to_complex(w.spectrum, w.windowed, n);
  t.fft_forward(w.spectrum, w.spectrum, w.rank);
  t.complex_magnitude(w.windowed, w.spectrum, n);
  t.add_to(out, w.windowed, n);
}

}  // namespace

void profile_channel(const ProfileWork& w, const float* audio, uint64_t length, float* out) {
  const DspTable& t = dsp();
  size_t n = size_t{1} << w.rank;
  size_t h = n / 2;
  t.fill_zero(w.frame, n);
  t.fill_zero(w.windowed, n);
  t.fill_zero(out, n);
  t.fill_zero(w.spectrum, n);
  nuttall_window(w.window, n);
  uint64_t frames = 1;
  for (uint64_t pos = 0; pos < length;) {
    size_t r = static_cast<size_t>(length - pos < h ? length - pos : h);
    t.move_floats(w.frame, w.frame + h, h);
    t.copy_floats(w.frame + h, audio + pos, r);
    if (r < h) t.fill_zero(w.frame + h + r, h - r);
    analyse_frame(t, w, n, out);
    pos += r;
    ++frames;
  }
  t.move_floats(w.frame, w.frame + h, h);
  t.fill_zero(w.frame + h, h);
  analyse_frame(t, w, n, out);
  t.scale(out, n, 1.0f / static_cast<float>(frames));
}

Status compute_profile(Sample& profile, const Sample& audio, unsigned rank) {
  size_t n = size_t{1} << rank;
  void* block = mem_alloc_aligned(5 * n * sizeof(float), 64);
  if (!block) return STATUS_NO_MEMORY;
  Sample result;
  sample_init(result);
  if (!sample_allocate(result, audio.channels, n, n)) {
    mem_free_aligned(block);
    return STATUS_NO_MEMORY;
  }
  float* base = static_cast<float*>(block);
  ProfileWork work{base, base + n, base + 2 * n, base + 3 * n, rank};
  for (uint64_t c = 0; c < audio.channels; ++c)
    profile_channel(work, audio.data + c * audio.stride, audio.length, result.data + c * result.stride);
  sample_swap(profile, result);
  sample_destroy(result);
  mem_free_aligned(block);
  return STATUS_OK;
}
