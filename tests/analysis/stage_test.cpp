#include "analysis/mix_stage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "analysis/mix.h"

namespace {

// Gathers every block a chain hands on, in order.
class Collect : public Stage {
 public:
  std::vector<std::vector<float>> rows;
  Status start(const StageFormat& in, StageFormat* out) override {
    rows.assign(in.channels, {});
    *out = in;
    return STATUS_OK;
  }
  Status process(const Sample& block, StageSink&) override {
    for (uint64_t c = 0; c < block.channels; ++c)
      rows[c].insert(rows[c].end(), block.data + c * block.stride, block.data + c * block.stride + block.length);
    return STATUS_OK;
  }
};

void fill(Sample& s, uint64_t channels, uint64_t length, uint32_t seed, float decay) {
  ASSERT_TRUE(sample_allocate(s, channels, length, length));
  for (uint64_t c = 0; c < channels; ++c) {
    float g = 1.0f;
    for (uint64_t i = 0; i < length; ++i) {
      seed = seed * 1664525u + 1013904223u;
      s.data[c * s.stride + i] = g * (float(seed >> 8) / float(1u << 24) - 0.5f);
      g *= decay;
    }
  }
}

}  // namespace

// The stages give the whole-buffer mix bit for bit, whatever the blocks:
// every tap count path (none, the zero-latency convolver, the block
// convolver with one and several partitions), latencies on both sides,
// with and without a dry part, a window and the peak before it.
TEST(Stage, MixChainEqualsWholeBufferMix) {
  struct Case {
    uint64_t taps;
    int64_t latency;
    float dry;
    uint64_t first;
    int64_t length;
  };
  const Case cases[] = {
      {0, 0, 0.5f, 0, -1},       {50, 0, 0.0f, 0, -1},       {128, 3, 0.3f, 3, 20000},
      {129, 64, 0.0f, 64, -1},   {3000, 1500, 0.5f, 1500, 20011}, {3000, -37, 0.5f, 0, -1},
      {40000, 20000, 0.2f, 20000, 20011},
  };
  const uint64_t blocks[] = {7, 4096, 32768, 1000000};
  const uint64_t length = 20011;
  for (const Case& k : cases) {
    Sample in, ir, whole;
    sample_init(in);
    sample_init(ir);
    sample_init(whole);
    fill(in, 2, length, 7, 1.0f);
    if (k.taps > 0) fill(ir, 2, k.taps, 11, 0.9995f);
    float whole_peak = 0.0f;
    ASSERT_EQ(convolve_mix_range(whole, in, ir, k.latency, k.dry, 0.8f, k.first, k.length, &whole_peak), STATUS_OK);
    for (uint64_t b : blocks) {
      if (b == 7 && k.taps > 3000) continue;  // slow and adds nothing
      SCOPED_TRACE(testing::Message() << "taps " << k.taps << " latency " << k.latency << " block " << b);
      MixStage mix;
      PeakTap peak;
      WindowStage window;
      Collect out;
      mix.configure(&ir, k.latency, k.dry, 0.8f);
      window.configure(k.first, k.length);
      StageChain chain;
      ASSERT_TRUE(chain.add(&mix) && chain.add(&peak) && chain.add(&window) && chain.add(&out));
      StageFormat f{48000, 2, length}, o{};
      ASSERT_EQ(chain.start(f, &o), STATUS_OK);
      for (uint64_t at = 0; at < length; at += b)
        ASSERT_EQ(chain.take(sample_view(in, at, std::min(b, length - at))), STATUS_OK);
      ASSERT_EQ(chain.finish(), STATUS_OK);
      EXPECT_EQ(o.length, whole.length);
      EXPECT_EQ(peak.peak(), whole_peak);
      for (uint64_t c = 0; c < 2; ++c) {
        ASSERT_EQ(out.rows[c].size(), whole.length);
        EXPECT_EQ(std::memcmp(out.rows[c].data(), whole.data + c * whole.stride, whole.length * sizeof(float)), 0);
      }
    }
    sample_destroy(in);
    sample_destroy(ir);
    sample_destroy(whole);
  }
}
