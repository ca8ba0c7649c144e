// Arbitrary bytes as an audio file: written to a scratch file and loaded
// the way the tool loads its inputs (libsndfile picks the format from the
// contents). A load that succeeds must give a well-formed buffer: a stride
// that is a multiple of 16 and holds the length, and zero padding.
// The lengths that headers announce must never drive the allocation past
// what the file holds, and the header alone must tell what the load tells
// of a file it cannot open.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "analysis/sample.h"
#include "audio/sample_file.h"
#include "dsp/dsp.h"
#include "runtime/string.h"

namespace {

char g_path[64];

void check(const Sample& s) {
  if (s.channels == 0 || s.stride % 16 != 0 || s.length > s.stride) std::abort();
  for (uint64_t c = 0; c < s.channels; ++c)
    for (uint64_t i = s.length; i < s.stride; ++i)
      if (s.data[c * s.stride + i] != 0.0f) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dsp_init();
  std::snprintf(g_path, sizeof g_path, "/tmp/timbral-audio-fuzz-%ld", long(getpid()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(g_path, "wb");
  if (!f) return 0;
  bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) return 0;

  String path;
  string_init(&path);
  if (string_from_utf8(&path, g_path, std::strlen(g_path))) {
    Sample s;
    sample_init(s);
    // Both the whole file and a limited span, as the tool reads them; the
    // whole file also through the load that explains its failures, whose
    // text must be a terminated line.
    for (float seconds : {-1.0f, 0.001f}) {
      if (sample_load_file(s, path, seconds) == STATUS_OK) {
        check(s);
        (void)sample_find_nonfinite(s, nullptr, nullptr);
      }
      sample_destroy(s);
    }
    char cause[256];
    std::memset(cause, 'x', sizeof cause);
    const Status loaded = sample_load_file(s, path, -1.0f, cause, sizeof cause);
    if (loaded == STATUS_OK)
      check(s);
    else if (std::memchr(cause, 0, sizeof cause) == nullptr || cause[0] == 0 || std::strchr(cause, '\n'))
      std::abort();
    // The header asked before any work agrees with the load: a file it
    // refuses, the load refuses with the same status and words; a file
    // both read has the rate and channels the header told.
    AudioFormat format{};
    char header_cause[256] = "";
    const Status header = sample_read_header(path, &format, header_cause, sizeof header_cause);
    if (header != STATUS_OK && (loaded != header || std::strcmp(cause, header_cause) != 0)) std::abort();
    if (header == STATUS_OK && loaded == STATUS_OK &&
        (s.sample_rate != format.sample_rate || s.channels != format.channels))
      std::abort();
    sample_destroy(s);
  }
  string_free(&path);
  std::remove(g_path);
  return 0;
}
