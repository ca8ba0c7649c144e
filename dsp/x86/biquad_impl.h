#pragma once

// Biquad cascades as a pipeline across vector lanes: lane k runs section k,
// one sample behind lane k-1, so that every step moves all sections forward
// by one sample. The first and last S-1 steps of a call, where the pipeline
// fills and drains, run lane by lane in scalar code with the same
// arithmetic, so each call leaves the state exactly as the generic cascade
// does. Without fused multiply-adds every value equals the generic one;
// with them (V::fused) the sums round once:
//   y = fma(b0, x, z0);  z0 = fma(a1, y, fma(b1, x, z1));  z1 = fma(a2, y, b2*x)
// Internal linkage: each instruction-set file instantiates its own copy.
#include <cstddef>

#include "dsp/dsp.h"

namespace {

template <class V>
inline float section_step(BiquadSection& s, float x) {
  float y;
  if constexpr (V::fused) {
    y = V::madd_s(s.b0, x, s.z0);
    s.z0 = V::madd_s(s.a1, y, V::madd_s(s.b1, x, s.z1));
    s.z1 = V::madd_s(s.a2, y, s.b2 * x);
  } else {
    y = s.b0 * x + s.z0;
    s.z0 = s.b1 * x + s.a1 * y + s.z1;
    s.z1 = s.b2 * x + s.a2 * y;
  }
  return y;
}

// One section: nothing to spread over lanes; the fused form shortens the
// feedback path.
template <class V>
void cascade_1(BiquadSection* sec, float* dst, const float* src, size_t n) {
  BiquadSection s = *sec;
  for (size_t i = 0; i < n; ++i) dst[i] = section_step<V>(s, src[i]);
  sec->z0 = s.z0;
  sec->z1 = s.z1;
}

// S sections over NV vectors of V::W lanes (S <= NV * V::W); spare lanes
// have zero coefficients and are never read out.
template <class V, int NV, int S>
void cascade_pipeline(BiquadSection* sec, float* dst, const float* src, size_t n) {
  using T = typename V::T;
  constexpr int W = static_cast<int>(V::W);
  constexpr int L = NV * W;
  static_assert(S >= 2 && S <= L);
  if (n == 0) return;
  float pipe[L] = {};  // each lane's latest output

  // Step j of the pipeline, lane by lane: lane k works on sample j-k.
  auto scalar_step = [&](size_t j) {
    for (int k = S - 1; k >= 0; --k) {
      size_t lane = static_cast<size_t>(k);
      if (lane > j || j - lane >= n) continue;
      float x = k == 0 ? src[j] : pipe[k - 1];
      pipe[k] = section_step<V>(sec[k], x);
      if (k == S - 1) dst[j - lane] = pipe[k];
    }
  };

  const size_t fill = S - 1, total = n + S - 1;
  size_t j = 0;
  for (; j < fill; ++j) scalar_step(j);
  if (n > fill) {
    alignas(32) float c[7][L] = {};
    for (int k = 0; k < S; ++k) {
      c[0][k] = sec[k].b0, c[1][k] = sec[k].b1, c[2][k] = sec[k].b2;
      c[3][k] = sec[k].a1, c[4][k] = sec[k].a2, c[5][k] = sec[k].z0, c[6][k] = sec[k].z1;
    }
    T b0[NV], b1[NV], b2[NV], a1[NV], a2[NV], z0[NV], z1[NV], y[NV];
    for (int v = 0; v < NV; ++v) {
      b0[v] = V::load(c[0] + v * W), b1[v] = V::load(c[1] + v * W), b2[v] = V::load(c[2] + v * W);
      a1[v] = V::load(c[3] + v * W), a2[v] = V::load(c[4] + v * W);
      z0[v] = V::load(c[5] + v * W), z1[v] = V::load(c[6] + v * W);
      y[v] = V::load(pipe + v * W);
    }
    for (; j < n; ++j) {
      T x[NV];
      x[0] = V::shift_in(y[0], V::scalar(src[j]));
      for (int v = 1; v < NV; ++v) x[v] = V::shift_in(y[v], V::top_to_low(y[v - 1]));
      for (int v = 0; v < NV; ++v) {
        if constexpr (V::fused) {
          y[v] = V::madd(b0[v], x[v], z0[v]);
          z0[v] = V::madd(a1[v], y[v], V::madd(b1[v], x[v], z1[v]));
          z1[v] = V::madd(a2[v], y[v], V::mul(b2[v], x[v]));
        } else {
          y[v] = V::add(V::mul(b0[v], x[v]), z0[v]);
          z0[v] = V::add(V::add(V::mul(b1[v], x[v]), V::mul(a1[v], y[v])), z1[v]);
          z1[v] = V::add(V::mul(b2[v], x[v]), V::mul(a2[v], y[v]));
        }
      }
      dst[j - fill] = V::template lane<(S - 1) % W>(y[(S - 1) / W]);
    }
    for (int v = 0; v < NV; ++v) {
      V::store(pipe + v * W, y[v]);
      V::store(c[5] + v * W, z0[v]);
      V::store(c[6] + v * W, z1[v]);
    }
    for (int k = 0; k < S; ++k) sec[k].z0 = c[5][k], sec[k].z1 = c[6][k];
  }
  for (; j < total; ++j) scalar_step(j);
}

}  // namespace
