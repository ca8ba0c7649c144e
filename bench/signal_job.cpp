// Whole-process signal jobs, timed against peer commands by bench/signal.sh:
//   signal_job convolve in.wav ir.wav out.wav   load, convolve (wet only, no
//                                               latency shift), save
//   signal_job resample in.wav RATE out.wav     load, resample, save
// Exit status: 0, or the status code of the failing step.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/mix.h"
#include "analysis/resample.h"
#include "analysis/sample.h"
#include "audio/sample_file.h"
#include "dsp/dsp.h"
#include "runtime/string.h"

namespace {

bool set_path(String* s, const char* text) { return string_from_utf8(s, text, std::strlen(text)); }

int fail(const char* what, long status) {
  std::fprintf(stderr, "signal_job: %s failed with status %ld\n", what, status);
  return int(status);
}

int run(int argc, char** argv, String* in_path, String* aux_path, String* out_path, Sample& in, Sample& aux,
        Sample& out) {
  bool convolve = std::strcmp(argv[1], "convolve") == 0;
  if (!set_path(in_path, argv[2]) || !set_path(out_path, argv[4]) || (convolve && !set_path(aux_path, argv[3])))
    return fail("path", STATUS_NO_MEMORY);
  Status st = sample_load_file(in, *in_path, -1);
  if (st != STATUS_OK) return fail("load", st);
  Sample* result = &in;
  if (convolve) {
    st = sample_load_file(aux, *aux_path, -1);
    if (st != STATUS_OK) return fail("load", st);
    st = convolve_mix(out, in, aux, 0, 0.0f, 1.0f);
    if (st != STATUS_OK) return fail("convolve_mix", st);
    out.sample_rate = in.sample_rate;
    result = &out;
  } else {
    st = resample(in, std::strtoull(argv[3], nullptr, 10));
    if (st != STATUS_OK) return fail("resample", st);
  }
  int64_t written = sample_save_file(*result, *out_path, 0, int64_t(result->length));
  if (written < 0) return fail("save", -written);
  (void)argc;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[1], "convolve") != 0 && std::strcmp(argv[1], "resample") != 0)) {
    std::fprintf(stderr, "usage: signal_job convolve in.wav ir.wav out.wav | resample in.wav RATE out.wav\n");
    return STATUS_BAD_ARGUMENT;
  }
  dsp_init();
  DspFpState fp{};
  dsp().dsp_start(&fp);
  String in_path, aux_path, out_path;
  string_init(&in_path);
  string_init(&aux_path);
  string_init(&out_path);
  Sample in, aux, out;
  sample_init(in);
  sample_init(aux);
  sample_init(out);
  int rc = run(argc, argv, &in_path, &aux_path, &out_path, in, aux, out);
  sample_destroy(in);
  sample_destroy(aux);
  sample_destroy(out);
  string_free(&in_path);
  string_free(&aux_path);
  string_free(&out_path);
  dsp().dsp_finish(&fp);
  return rc;
}
