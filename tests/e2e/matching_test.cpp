// Matching a child to a reference whose layout differs from the child's,
// as the written filters show it: a mono reference serves every channel of
// a child, a multichannel one gives a mono child its power mean.

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

using e2e::Audio;

namespace {

class Matching : public e2e::E2ETest {
 protected:
  // The raw IR written for `args` (which name the inputs).
  Audio raw_ir(std::vector<std::string> args) {
    args.insert(args.end(), {"-p", "raw", "-iw", "raw.wav"});
    auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return e2e::read_wav(dir / "raw.wav");
  }

  static Audio channels_of(std::vector<const Audio*> parts) {
    Audio a = *parts[0];
    a.data.clear();
    for (const Audio* p : parts) a.data.push_back(p->data[0]);
    a.channels = static_cast<int>(a.data.size());
    return a;
  }
};

TEST_F(Matching, MonoAndMultichannelReferencesInMasteringMode) {
  Audio ref = e2e::noise(48000, 1, 24000, 11);
  Audio a = e2e::filtered(e2e::noise(48000, 1, 24000, 12), e2e::Biquad::peaking(48000, 800, 1.0, 9));
  Audio b = e2e::filtered(e2e::noise(48000, 1, 24000, 13), e2e::Biquad::high_shelf(48000, 5000, -8));
  write("ref.wav", ref);
  write("a.wav", a);
  write("b.wav", b);
  write("ab.wav", channels_of({&a, &b}));
  // A mono reference's profile serves each channel of a stereo child: each
  // channel's filter is, bit for bit, the one of that channel alone.
  Audio stereo = raw_ir({"-m", "true", "-mf", "ref.wav", "-cf", "ab.wav"});
  Audio alone_a = raw_ir({"-m", "true", "-mf", "ref.wav", "-cf", "a.wav"});
  Audio alone_b = raw_ir({"-m", "true", "-mf", "ref.wav", "-cf", "b.wav"});
  ASSERT_EQ(stereo.channels, 2);
  EXPECT_EQ(stereo.data[0], alone_a.data[0]);
  EXPECT_EQ(stereo.data[1], alone_b.data[0]);

  // A stereo reference whose right channel is 6 dB below its left gives a
  // mono child the power mean: 10 log10((1 + 1/4) / 2) = -2.04 dB against
  // the left channel alone (a mean in dB would give -3, of magnitudes -2.5).
  Audio quiet = ref;
  for (float& v : quiet.data[0]) v *= 0.5f;
  write("ref2.wav", channels_of({&ref, &quiet}));
  Audio from_stereo = raw_ir({"-m", "true", "-mf", "ref2.wav", "-cf", "a.wav"});
  ASSERT_EQ(from_stereo.channels, 1);
  auto two = e2e::response_db(from_stereo.data[0], 4096), one = e2e::response_db(alone_a.data[0], 4096);
  for (size_t k = 10; k < 2000; ++k) ASSERT_NEAR(two[k] - one[k], 10 * std::log10(1.25 / 2), 0.02) << k;

  // Correction mode writes the master's channels: a mismatch still ends the
  // group, as does a stereo master with a three-channel child.
  Audio c = e2e::noise(48000, 3, 4800, 14);
  write("three.wav", c);
  const struct {
    std::vector<std::string> args;
    const char* err;
  } refused[] = {
      {{"-mf", "ref.wav", "-cf", "ab.wav"}, "  number of channels mimatch: 1 (master) vs 2 (child), leaving\n"},
      {{"-m", "true", "-mf", "ref2.wav", "-cf", "three.wav"},
       "  number of channels mimatch: 2 (master) vs 3 (child), leaving\n"},
  };
  for (const auto& x : refused) {
    std::vector<std::string> args = x.args;
    args.insert(args.end(), {"-p", "raw", "-iw", "refused.wav"});
    auto r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, x.err);
    EXPECT_FALSE(std::filesystem::exists(dir / "refused.wav"));
  }
}

}  // namespace
