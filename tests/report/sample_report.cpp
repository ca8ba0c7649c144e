#include "tests/report/sample_report.h"

#include <vector>

#include "runtime/status.h"

namespace sample {

int fill(RunReport* r) {
  int s = 0;
  auto check = [&s](int status) {
    if (s == 0) s = status;
  };
  const char* argv[] = {"timbral", "-mf", "in/kit.wav", "-cf", "in/snare.wav", "-cf", kOddName,
                        "-r", "report"};
  check(report_set_version(r, "0.2.0"));
  check(report_set_command_line(r, 9, argv));
  check(report_add_setting_number(r, "srate", 48000));
  check(report_add_setting_text(r, "file", "${master_name}/${file_name} - processed.wav"));
  check(report_add_setting_number(r, "dry", -1000));
  check(report_add_setting_bool(r, "mastering", false));
  const char* produce[] = {"audio", "ir"};
  check(report_add_setting_list(r, "produce", produce, 2));
  check(report_add_setting_null(r, "gain_range"));
  check(report_add_setting_number(r, "norm_gain", -0.5));

  std::vector<double> master(kBins), child(kBins), applied(2 * kBins), computed(2 * kBins);
  for (uint64_t k = 0; k < kBins; ++k) {
    double hz = static_cast<double>(k) * kBinHz;
    double f = hz > 1 ? hz : 1;
    master[k] = master_db(f);
    child[k] = master[k] + applied_db(0, f);
    for (uint64_t ch = 0; ch < 2; ++ch) {
      applied[ch * kBins + k] = applied_db(ch, f);
      computed[ch * kBins + k] = computed_db(ch, f);
    }
  }

  ReportGroup* g = nullptr;
  check(report_add_group(r, "drums", &g));
  if (!g) return s ? s : STATUS_NO_MEMORY;
  check(report_set_audio(&g->master, "in/kit.wav", 48000, 2, 480000, -1.5));
  check(report_set_spectrum(&g->spectrum, master.data(), kBins, kBinHz));
  check(report_group_add_file(g, REPORT_FILE_FRM, "../out/drums/kit - FR Master.wav"));

  ReportChild* c = nullptr;
  check(report_add_child(g, "in/snare.wav", &c));
  if (!c) return s ? s : STATUS_NO_MEMORY;
  check(report_set_audio(&c->input, nullptr, 44100, 1, 441000, -6));
  report_set_loudness(&c->input, -18.25, -5.5);
  check(report_set_audio(&c->output, "../out/drums/snare - processed.wav", 48000, 2, 484096, -0.75));
  check(report_set_spectrum(&c->spectrum, child.data(), kBins, kBinHz));
  check(report_set_curve(&c->computed, computed.data(), 2, kBins, kBinHz));
  check(report_child_set_applied(c, applied.data(), 2, kBins, kBinHz));
  c->clamped_bins = 3;
  report_child_set_latency(c, 2048, 48000);
  check(report_child_add_file(c, REPORT_FILE_AUDIO, "../out/drums/snare - processed.wav"));
  check(report_child_add_file(c, REPORT_FILE_IR, "../out/drums/snare - IR.wav"));
  check(report_child_add_file(c, REPORT_FILE_RAW, "../out/drums/missing.wav"));

  ReportChild* odd = nullptr;
  check(report_add_child(g, kOddName, &odd));
  if (!odd) return s ? s : STATUS_NO_MEMORY;
  check(report_set_audio(&odd->input, nullptr, 48000, 2, 96000, -3));
  check(report_child_set_outcome(odd, REPORT_FAILED, 7, kOddMessage));

  ReportGroup* vocals = nullptr;
  check(report_add_group(r, "vocals", &vocals));
  if (!vocals) return s ? s : STATUS_NO_MEMORY;
  check(report_set_audio(&vocals->master, "in/lead.wav", 0, 0, -1, NAN));
  check(report_group_set_outcome(vocals, REPORT_FAILED, 6, "cannot open 'in/lead.wav'"));
  check(report_set_result(r, 6, "cannot open 'in/lead.wav'"));
  return s;
}

}  // namespace sample
