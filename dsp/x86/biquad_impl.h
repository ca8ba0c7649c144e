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

// S sections over NV vectors of V::W lanes (S <= NV * V::W) for R rows at
// once: each row has its own sections and its own pipeline, and the R
// pipelines advance in the same loop, so the latency of one row's
// recursion is filled with the other rows' work. Every row sees exactly the
// arithmetic it would see alone. Spare lanes have zero coefficients and are
// never read out.
template <class V, int NV, int S, int R>
void cascade_pipeline_rows(BiquadSection* const* secs, float* const* dsts, const float* const* srcs, size_t n) {
  using T = typename V::T;
  constexpr int W = static_cast<int>(V::W);
  constexpr int L = NV * W;
  static_assert(S >= 2 && S <= L && R >= 1);
  if (n == 0) return;
  float pipe[R][L] = {};  // each lane's latest output

  // Step j of row r's pipeline, lane by lane: lane k works on sample j-k.
  auto scalar_step = [&](int r, size_t j) {
    BiquadSection* sec = secs[r];
    for (int k = S - 1; k >= 0; --k) {
      size_t lane = static_cast<size_t>(k);
      if (lane > j || j - lane >= n) continue;
      float x = k == 0 ? srcs[r][j] : pipe[r][k - 1];
      pipe[r][k] = section_step<V>(sec[k], x);
      if (k == S - 1) dsts[r][j - lane] = pipe[r][k];
    }
  };

  const size_t fill = S - 1, total = n + S - 1;
  size_t j = 0;
  for (; j < fill; ++j)
    for (int r = 0; r < R; ++r) scalar_step(r, j);
  if (n > fill) {
    alignas(32) float c[R][7][L] = {};
    T b0[R][NV], b1[R][NV], b2[R][NV], a1[R][NV], a2[R][NV], z0[R][NV], z1[R][NV], y[R][NV];
    const float* src[R];
    float* dst[R];
    for (int r = 0; r < R; ++r) {
      const BiquadSection* sec = secs[r];
      for (int k = 0; k < S; ++k) {
        c[r][0][k] = sec[k].b0, c[r][1][k] = sec[k].b1, c[r][2][k] = sec[k].b2;
        c[r][3][k] = sec[k].a1, c[r][4][k] = sec[k].a2, c[r][5][k] = sec[k].z0, c[r][6][k] = sec[k].z1;
      }
      for (int v = 0; v < NV; ++v) {
        b0[r][v] = V::load(c[r][0] + v * W), b1[r][v] = V::load(c[r][1] + v * W);
        b2[r][v] = V::load(c[r][2] + v * W), a1[r][v] = V::load(c[r][3] + v * W);
        a2[r][v] = V::load(c[r][4] + v * W);
        z0[r][v] = V::load(c[r][5] + v * W), z1[r][v] = V::load(c[r][6] + v * W);
        y[r][v] = V::load(pipe[r] + v * W);
      }
      src[r] = srcs[r];
      dst[r] = dsts[r];
    }
    for (; j < n; ++j) {
      for (int r = 0; r < R; ++r) {
        T x[NV];
        x[0] = V::shift_in(y[r][0], V::scalar(src[r][j]));
        for (int v = 1; v < NV; ++v) x[v] = V::shift_in(y[r][v], V::top_to_low(y[r][v - 1]));
        for (int v = 0; v < NV; ++v) {
          if constexpr (V::fused) {
            y[r][v] = V::madd(b0[r][v], x[v], z0[r][v]);
            z0[r][v] = V::madd(a1[r][v], y[r][v], V::madd(b1[r][v], x[v], z1[r][v]));
            z1[r][v] = V::madd(a2[r][v], y[r][v], V::mul(b2[r][v], x[v]));
          } else {
            y[r][v] = V::add(V::mul(b0[r][v], x[v]), z0[r][v]);
            z0[r][v] = V::add(V::add(V::mul(b1[r][v], x[v]), V::mul(a1[r][v], y[r][v])), z1[r][v]);
            z1[r][v] = V::add(V::mul(b2[r][v], x[v]), V::mul(a2[r][v], y[r][v]));
          }
        }
        dst[r][j - fill] = V::template lane<(S - 1) % W>(y[r][(S - 1) / W]);
      }
    }
    for (int r = 0; r < R; ++r) {
      for (int v = 0; v < NV; ++v) {
        V::store(pipe[r] + v * W, y[r][v]);
        V::store(c[r][5] + v * W, z0[r][v]);
        V::store(c[r][6] + v * W, z1[r][v]);
      }
      for (int k = 0; k < S; ++k) secs[r][k].z0 = c[r][5][k], secs[r][k].z1 = c[r][6][k];
    }
  }
  for (; j < total; ++j)
    for (int r = 0; r < R; ++r) scalar_step(r, j);
}

// One row.
template <class V, int NV, int S>
void cascade_pipeline(BiquadSection* sec, float* dst, const float* src, size_t n) {
  cascade_pipeline_rows<V, NV, S, 1>(&sec, &dst, &src, n);
}

// Two rows, in the form of the pair entries of dsp/variants.h.
template <class V, int NV, int S>
void cascade_pipeline_pair(BiquadSection* const* secs, float* const* dst, const float* const* src, size_t n) {
  cascade_pipeline_rows<V, NV, S, 2>(secs, dst, src, n);
}

}  // namespace
