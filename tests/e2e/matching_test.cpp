// Matching a child to a reference whose layout differs from the child's,
// and to target curves read from CSV files, as the written filters and
// curve files show it.

#include <cmath>
#include <fstream>
#include <sstream>
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

// The rows of a CSV the tool wrote: header, then numbers.
struct Table {
  std::string header;
  std::vector<std::vector<double>> rows;
};

Table read_table(const std::filesystem::path& p) {
  std::ifstream in(p);
  Table t;
  std::getline(in, t.header);
  for (std::string line; std::getline(in, line);) {
    std::vector<double> row;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, ',');) row.push_back(std::stod(f));
    t.rows.push_back(row);
  }
  return t;
}

// A response in dB (bins of a 4096-point transform at 48 kHz) at `hz`.
double at(const std::vector<double>& db, double hz) {
  double pos = hz / 48000 * 4096, w = pos - std::floor(pos);
  size_t b = static_cast<size_t>(pos);
  return db[b] * (1 - w) + db[b + 1] * w;
}

TEST_F(Matching, TargetCurvesAloneAndOnAReference) {
  // A tilt of -3 dB a decade from 100 Hz to 10 kHz, flat beyond.
  write_text("tilt.csv", "# a tilt\r\nfrequency,dB\r\n\r\n  100 , 0\r\n1000,-3\r\n1e4,-6.0\r\n");
  Audio ref = e2e::noise(48000, 1, 48000, 21);
  Audio take = e2e::noise(48000, 1, 48000, 22);
  write("ref.wav", ref);
  write("take.wav", take);

  // On a reference: the filter is the plain one times the curve.
  Audio plain = raw_ir({"-m", "true", "-mf", "ref.wav", "-cf", "take.wav"});
  Audio tilted = raw_ir({"-m", "true", "-mf", "ref.wav", "-cf", "take.wav", "-tc", "tilt.csv"});
  auto p = e2e::response_db(plain.data[0], 4096), t = e2e::response_db(tilted.data[0], 4096);
  for (double hz : {60.0, 100.0, 316.0, 1000.0, 3162.0, 10000.0, 16000.0}) {
    double want = hz <= 100 ? 0 : hz >= 10000 ? -6 : -3 * std::log10(hz / 100);
    EXPECT_NEAR(at(t, hz) - at(p, hz), want, 0.3) << hz << " Hz";
  }

  // Alone (no master, mastering mode): the child is matched to the tilt at
  // its own broadband level. The default names take the curve's name; the
  // exported correction is the written filter and has the level 0 (the
  // grid is logarithmic, so its plain mean weighs each octave alike).
  auto r = run({"-m", "true", "-cf", "take.wav", "-tc", "tilt.csv", "-sm", "0.5", "-p", "audio,raw", "-ec",
                "${master_name}/${file_name}.csv"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "tilt/take - processed.wav"));
  Table csv = read_table(dir / "tilt/take.csv");
  EXPECT_EQ(csv.header, "frequency_hz,db_ch1");
  ASSERT_GT(csv.rows.size(), 24u * 10);
  auto raw = e2e::response_db(e2e::read_wav(dir / "tilt/take - Raw IR.wav").data[0], 4096);
  double mean = 0, worst = 0;
  for (const auto& row : csv.rows) {
    mean += row[1] / static_cast<double>(csv.rows.size());
    if (row[0] >= 50 && row[0] <= 16000) worst = std::max(worst, std::fabs(row[1] - at(raw, row[0])));
  }
  EXPECT_NEAR(mean, 0.0, 0.05);
  EXPECT_LT(worst, 0.5);
  auto csv_at = [&](double hz) {
    for (const auto& row : csv.rows)
      if (row[0] >= hz) return row[1];
    return 0.0;
  };
  // The tilt over wide spans (a second of noise has a ragged profile).
  EXPECT_NEAR(csv_at(4000) - csv_at(400), -3.0, 0.6);
  EXPECT_NEAR(csv_at(8000) - csv_at(1000), -3 * std::log10(8.0), 0.6);

  // The plan holds the exported curve like every output.
  r = run({"-m", "true", "-cf", "take.wav", "-tc", "tilt.csv", "-ec", "c.csv", "-dr", "true"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "c.csv\ntilt/take - processed.wav\n");
}

TEST_F(Matching, TargetCurveRefusals) {
  write("ref.wav", e2e::noise(48000, 1, 4800, 31));
  write("take.wav", e2e::noise(48000, 1, 4800, 32));
  write("silent.wav", e2e::sine(48000, 1, 4800, 1000, 0.0));
  write_text("good.csv", "20,0\n20000,0\n");
  const struct {
    std::string csv;  // written as bad.csv when not empty
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {"100,0\n100,1\n", {}, 7, "Bad target curve 'bad.csv', line 2: frequencies must increase from row to row\n"},
      {"f,g\n# only one\n100,1\n", {}, 7, "Bad target curve 'bad.csv': at least two rows of frequency,dB are needed\n"},
      {"100;0\n200;1\n", {}, 7, "Bad target curve 'bad.csv', line 2: expected two comma-separated values: frequency,dB\n"},
      {"100,0\n200,1,5\n", {}, 7, "Bad target curve 'bad.csv', line 2: expected two comma-separated values: frequency,dB\n"},
      {"100,0\n200,0x1\n", {}, 7, "Bad target curve 'bad.csv', line 2: the gain (dB) is not a number\n"},
      {"100,0\n200,nan\n", {}, 7, "Bad target curve 'bad.csv', line 2: the gain (dB) is not a number\n"},
      {"0,0\n200,1\n", {}, 7, "Bad target curve 'bad.csv', line 1: the frequency must be positive\n"},
      {"100,0\n200,300\n", {}, 7, "Bad target curve 'bad.csv', line 2: the gain must lie between -200 and 200 dB\n"},
      {"", {"-tc", "missing.csv"}, 6, "Could not read target curve 'missing.csv': No such file or directory\n"},
      {"", {"-tc", "good.csv", "-lm", "true"}, 13,
       "Group 'default' has no master: there is no loudness to match (-lm)\n"},
      {"", {"-tc", "good.csv", "--mastering", "false"}, 13,
       "Group 'default' has no master: a target curve alone needs mastering mode (-m true)\n"},
      {"", {"-tc", "good.csv", "-mf", "ref.wav", "-ec", "take - processed.wav"}, 17,
       "  outputs of 'take.wav' (curve) and 'take.wav' (audio) both resolve to 'take - processed.wav'\n"},
  };
  for (const auto& c : cases) {
    if (!c.csv.empty()) write_text("bad.csv", c.csv);
    e2e::Snapshot before = e2e::snapshot(dir);
    std::vector<std::string> args = {"-cf", "take.wav", "-f", "take - processed.wav"};
    if (c.args.size() < 4 || c.args[2] != "--mastering") args.insert(args.end(), {"-m", "true"});
    if (!c.csv.empty()) args.insert(args.end(), {"-tc", "bad.csv"});
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run(args);
    EXPECT_EQ(r.status, c.status) << c.csv << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(e2e::snapshot(dir), before) << c.err;
  }
  // A silent master is refused, with or without a target curve.
  for (bool curve : {false, true}) {
    std::vector<std::string> args = {"-m", "true", "-mf", "silent.wav", "-cf", "take.wav", "-f", "out.wav"};
    if (curve) args.insert(args.end(), {"-tc", "good.csv"});
    auto r = run(args);
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.err, "  file 'silent.wav' is silent: nothing to match\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
  }
}

// Power of `x` in octave bands centred on 125 Hz .. 8 kHz, in dB.
std::vector<double> octave_bands(const std::vector<double>& x) {
  const size_t n = 65536;
  auto f = e2e::fft(x, n);
  std::vector<double> out;
  for (double centre = 125; centre <= 8000; centre *= 2) {
    double p = 0;
    for (size_t k = static_cast<size_t>(centre / std::sqrt(2.0) / 48000 * n);
         k <= static_cast<size_t>(centre * std::sqrt(2.0) / 48000 * n); ++k)
      p += std::norm(f[k]);
    out.push_back(10 * std::log10(p));
  }
  return out;
}

// Side-to-mid ratio of a stereo file per octave band.
std::vector<double> side_to_mid(const Audio& a) {
  std::vector<double> mid(a.frames()), side(a.frames());
  for (size_t t = 0; t < a.frames(); ++t) {
    mid[t] = 0.5 * (a.data[0][t] + a.data[1][t]);
    side[t] = 0.5 * (a.data[0][t] - a.data[1][t]);
  }
  auto m = octave_bands(mid), s = octave_bands(side);
  for (size_t i = 0; i < m.size(); ++i) s[i] -= m[i];
  return s;
}

TEST_F(Matching, MidSideFollowsTheReferencesStereoImage) {
  // The take is the reference with its side alone boosted around 2 kHz.
  Audio mid = e2e::noise(48000, 1, 48000, 41), side = e2e::noise(48000, 1, 48000, 42);
  for (float& v : side.data[0]) v *= 0.3f;
  Audio eq_side = e2e::filtered(side, e2e::Biquad::peaking(48000, 2000, 1.0, 8));
  auto stereo = [&](const Audio& s) {
    Audio a = mid;
    a.channels = 2;
    a.data = {mid.data[0], mid.data[0]};
    for (size_t t = 0; t < mid.frames(); ++t) {
      a.data[0][t] = mid.data[0][t] + s.data[0][t];
      a.data[1][t] = mid.data[0][t] - s.data[0][t];
    }
    return a;
  };
  Audio ref = stereo(side);
  write("ref.wav", ref);
  write("take.wav", stereo(eq_side));
  write("mono.wav", mid);
  const auto want = side_to_mid(ref);
  double worst_lr = 0, worst_ms = 0;
  for (bool ms : {false, true}) {
    std::vector<std::string> args = {"-m", "true", "-mf", "ref.wav", "-cf", "take.wav", "-lc", "true", "-ml",
                                     "true", "-sm", "0.333", "-f", "${file_name} out.wav", "-r", "rep"};
    if (ms) args.insert(args.end(), {"-ms", "true", "-cl", "100", "-cf", "mono.wav", "-k", "true"});
    auto r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    auto got = side_to_mid(e2e::read_wav(dir / "take out.wav"));
    double& worst = ms ? worst_ms : worst_lr;
    for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
    if (!ms) continue;
    // Channel link is ignored between mid and side; a mono child fails as
    // a channel mismatch does, and the run goes on.
    EXPECT_EQ(r.err,
              "[WRN] channel link does not apply between mid and side; ignored\n"
              "  mid/side needs two channels: 'mono.wav' has 1, leaving\n");
    std::ifstream in(dir / "rep/report.json");
    std::stringstream json;
    json << in.rdbuf();
    EXPECT_NE(json.str().find("\"curve_channels\": [\"mid\", \"side\"]"), std::string::npos);
  }
  EXPECT_LT(worst_ms, 1.0);
  EXPECT_GT(worst_lr, 4.0);  // left and right cannot tell the side's EQ apart
}

TEST_F(Matching, SeveralReferencesGiveTheirMedian) {
  // Three takes of one kind of material: one 6 dB louder, one brighter by a
  // +6 dB shelf above 4 kHz. Levelled, their median ignores the outlier.
  Audio a = e2e::noise(48000, 1, 48000, 51), b = e2e::noise(48000, 1, 48000, 52);
  for (float& v : b.data[0]) v *= 2.0f;
  Audio bright = e2e::filtered(e2e::noise(48000, 1, 48000, 53), e2e::Biquad::high_shelf(48000, 4000, 6));
  write("r1.wav", a);
  write("r2.wav", b);
  write("r3.wav", bright);
  write("take.wav", e2e::noise(48000, 1, 48000, 54));
  auto tilt = [&](const std::vector<std::string>& masters) {
    std::vector<std::string> args = {"-m", "true", "-cf", "take.wav", "-sm", "0.5"};
    for (const auto& m : masters) args.insert(args.end(), {"-mf", m});
    auto db = e2e::response_db(raw_ir(args).data[0], 4096);
    double high = 0, low = 0;
    for (double hz = 8000; hz <= 16000; hz += 1000) high += at(db, hz) / 9;
    for (double hz = 300; hz <= 1100; hz += 100) low += at(db, hz) / 9;
    return high - low;
  };
  EXPECT_GT(tilt({"r3.wav"}), 5.0);
  EXPECT_LT(std::fabs(tilt({"r1.wav", "r2.wav", "r3.wav"})), 1.0);
  // Loudness is matched to the references' median: here the bright one's.
  auto loudness_line = [&](const std::vector<std::string>& masters) {
    std::vector<std::string> args = {"-m", "true", "-cf", "take.wav", "-lm", "true", "-f",
                                     "${master_name} ${master_count}.wav", "-r", "rep"};
    for (const auto& m : masters) args.insert(args.end(), {"-mf", m});
    auto r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    size_t at_line = r.out.find("  loudness: ");
    return at_line == std::string::npos ? std::string() : r.out.substr(at_line, r.out.find('\n', at_line) - at_line);
  };
  std::string alone = loudness_line({"r3.wav"}), median = loudness_line({"r1.wav", "r2.wav", "r3.wav"});
  ASSERT_FALSE(alone.empty());
  EXPECT_EQ(alone.substr(0, alone.find(',')), median.substr(0, median.find(',')));
  EXPECT_TRUE(std::filesystem::exists(dir / "r1 3.wav"));
  EXPECT_TRUE(std::filesystem::exists(dir / "r3 1.wav"));
  std::ifstream in(dir / "rep/report.json");
  std::stringstream json;
  json << in.rdbuf();
  EXPECT_NE(json.str().find("\"references\": [\"r1.wav\", \"r2.wav\", \"r3.wav\"]"), std::string::npos);
  EXPECT_NE(json.str().find("\"reference_high_db\": ["), std::string::npos);

  // Correction mode processes the master: one only.
  e2e::Snapshot before = e2e::snapshot(dir);
  auto r = run({"-mf", "r1.wav", "-mf", "r2.wav", "-cf", "take.wav"});
  EXPECT_EQ(r.status, 13);
  EXPECT_EQ(r.err, "Group 'default' has 2 masters: several references need mastering mode (-m true)\n");
  EXPECT_EQ(e2e::snapshot(dir), before);
}

}  // namespace
