// Speed of the row, FIR and biquad primitives at every level the running
// processor has, each against the generic level. Prints one line per
// comparison:  RATIO <primitive>/<level> <seconds> generic <seconds> <ratio>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dsp/levels.h"

namespace {

struct Level {
  std::string name;
  DspTable table;
};

std::vector<Level> machine_levels() {
  CpuInfo real;
  detect_cpu(&real);
  std::vector<Level> out;
  for (int l = 0; l < DSP_LEVEL_COUNT; ++l) {
    CpuInfo cpu;
    if (!dsp_level_cpu(real, static_cast<DspLevel>(l), &cpu)) continue;
    Level lv{dsp_level_name(static_cast<DspLevel>(l)), {}};
    dsp_fill(&lv.table, cpu);
    out.push_back(lv);
  }
  return out;
}

std::vector<float> noise(size_t n) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

constexpr size_t kBlock = 4096;
constexpr size_t kTaps = 128;

void bench_fir(benchmark::State& st, DspTable t) {
  std::vector<float> src = noise(kBlock), taps = noise(kTaps), dst(kBlock + kTaps - 1);
  for (auto _ : st) {
    t.fir_accumulate(dst.data(), src.data(), taps.data(), kTaps, kBlock);
    benchmark::DoNotOptimize(dst.data());
    t.scale(dst.data(), dst.size(), 1e-3f);  // keeps the sums bounded
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}

void bench_biquad8(benchmark::State& st, DspTable t) {
  std::vector<float> x = noise(kBlock), y(kBlock);
  BiquadSection s[8];
  for (int k = 0; k < 8; ++k) s[k] = {0.2f, 0.3f, 0.2f, 0.5f, -0.3f, 0.0f, 0.0f};
  for (auto _ : st) {
    t.biquad_8(s, y.data(), x.data(), kBlock);
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * kBlock);
}

// Two rows of eight sections through the multi-row entry: the stereo case
// of the resampler's anti-alias filter.
void bench_biquad_rows(benchmark::State& st, DspTable t) {
  std::vector<float> a = noise(kBlock), b = noise(kBlock), ya(kBlock), yb(kBlock);
  BiquadSection s[16];
  for (int k = 0; k < 16; ++k) s[k] = {0.2f, 0.3f, 0.2f, 0.5f, -0.3f, 0.0f, 0.0f};
  float* dst[2] = {ya.data(), yb.data()};
  const float* src[2] = {a.data(), b.data()};
  for (auto _ : st) {
    t.biquad_rows(s, 8, dst, src, 2, kBlock);
    benchmark::DoNotOptimize(ya.data());
    benchmark::DoNotOptimize(yb.data());
  }
  st.SetItemsProcessed(st.iterations() * 2 * kBlock);
}

void bench_multiply_add(benchmark::State& st, DspTable t) {
  std::vector<float> x = noise(kBlock), y = noise(kBlock);
  for (auto _ : st) {
    t.multiply_add(y.data(), x.data(), kBlock, 0.5f);
    t.multiply_add(y.data(), x.data(), kBlock, -0.5f);
    benchmark::DoNotOptimize(y.data());
  }
  st.SetItemsProcessed(st.iterations() * 2 * kBlock);
}

// Keeps the real time per iteration of every run by name.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        seconds[r.benchmark_name()] = r.real_accumulated_time / static_cast<double>(r.iterations);
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<Level> levels = machine_levels();
  const char* prims[] = {"fir_accumulate_128", "biquad_8", "multiply_add"};
  for (const Level& lv : levels) {
    benchmark::RegisterBenchmark(("fir_accumulate_128/" + lv.name).c_str(), bench_fir, lv.table);
    benchmark::RegisterBenchmark(("biquad_8/" + lv.name).c_str(), bench_biquad8, lv.table);
    benchmark::RegisterBenchmark(("multiply_add/" + lv.name).c_str(), bench_multiply_add, lv.table);
    benchmark::RegisterBenchmark(("biquad_rows_2x8/" + lv.name).c_str(), bench_biquad_rows, lv.table);
  }
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* p : prims) {
    auto base = reporter.seconds.find(std::string(p) + "/generic");
    if (base == reporter.seconds.end()) continue;
    for (const Level& lv : levels) {
      if (lv.name == "generic") continue;
      auto it = reporter.seconds.find(std::string(p) + "/" + lv.name);
      if (it == reporter.seconds.end()) continue;
      std::printf("RATIO %s/%s %.6g generic %.6g %.3f\n", p, lv.name.c_str(), it->second, base->second,
                  it->second / base->second);
    }
  }
  // Two rows in one pass against the same level's single-row cascade run
  // once per row.
  for (const Level& lv : levels) {
    auto rows = reporter.seconds.find("biquad_rows_2x8/" + lv.name);
    auto one = reporter.seconds.find("biquad_8/" + lv.name);
    if (rows == reporter.seconds.end() || one == reporter.seconds.end()) continue;
    std::printf("RATIO biquad_rows_2x8/%s %.6g biquad_8_twice %.6g %.3f\n", lv.name.c_str(), rows->second,
                2 * one->second, rows->second / (2 * one->second));
  }
  benchmark::Shutdown();
  return 0;
}
