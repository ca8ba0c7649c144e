// Arbitrary bytes as an audio file, read block by block and loaded whole:
// both must agree. A file that loads gives the same frames in blocks (at
// its own rate, and brought to 44100 Hz when it is short), or, when it
// holds an unusable sample, the same status and the frame and channel the
// whole-file check names; a file that does not load fails the streamed
// read with the load's status.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/resample.h"
#include "analysis/sample.h"
#include "audio/input_stream.h"
#include "audio/sample_file.h"
#include "dsp/dsp.h"
#include "runtime/string.h"

namespace {

char g_path[64];

// Reads the stream in blocks of `max` frames and compares them with
// `want` (when it has channels); the read's failure status, or 0.
Status compare_blocks(InputStream& in, const Sample& want, uint64_t max, uint64_t* bad_frame, uint64_t* bad_channel) {
  Sample block;
  sample_init(block);
  uint64_t at = 0;
  Status st = STATUS_OK;
  for (;;) {
    st = input_stream_read(in, block, max, bad_frame, bad_channel);
    if (st != STATUS_OK || block.length == 0) break;
    if (want.channels == 0) continue;  // only the status counts
    if (block.channels != want.channels || at + block.length > want.length) std::abort();
    for (uint64_t c = 0; c < want.channels; ++c)
      if (std::memcmp(block.data + c * block.stride, want.data + c * want.stride + at, block.length * sizeof(float)))
        std::abort();
    at += block.length;
  }
  if (st == STATUS_OK && want.channels != 0 && at != want.length) std::abort();
  sample_destroy(block);
  return st;
}

void check(const char* utf8, String& path) {
  Sample loaded;
  sample_init(loaded);
  char cause[256];
  const Status load = sample_load_file(loaded, path, -1.0f, cause, sizeof cause);
  InputStream in;
  input_stream_init(in);
  Status st = input_stream_open(in, utf8, cause, sizeof cause);
  if (load != STATUS_OK) {
    // The open or a read fails, as the load did.
    if (st == STATUS_OK) st = compare_blocks(in, loaded, 4096, nullptr, nullptr);
    if (st != load) std::abort();
  } else {
    if (st != STATUS_OK || in.frames != loaded.length || in.channels != loaded.channels) std::abort();
    uint64_t frame = 0, channel = 0, got_frame = ~uint64_t{0}, got_channel = ~uint64_t{0};
    const bool unusable = sample_find_unusable(loaded, &frame, &channel);
    st = compare_blocks(in, loaded, 997, &got_frame, &got_channel);
    if (unusable ? (st != STATUS_MALFORMED || got_frame != frame || got_channel != channel) : st != STATUS_OK)
      std::abort();
    // Short files of ordinary rates also through the resampler.
    if (!unusable && loaded.sample_rate >= 8000 && loaded.sample_rate <= 192000 && loaded.length < 50000 &&
        loaded.channels <= 8 && input_stream_rewind(in) == STATUS_OK &&
        input_stream_set_rate(in, 44100, false) == STATUS_OK && resample(loaded, 44100) == STATUS_OK)
      if (compare_blocks(in, loaded, 1500, nullptr, nullptr) != STATUS_OK) std::abort();
  }
  input_stream_close(in);
  sample_destroy(loaded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dsp_init();
  std::snprintf(g_path, sizeof g_path, "/tmp/timbral-stream-fuzz-%ld", long(getpid()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(g_path, "wb");
  if (!f) return 0;
  bool written = std::fwrite(data, 1, size, f) == size;
  if (std::fclose(f) != 0 || !written) return 0;
  String path;
  string_init(&path);
  if (string_from_utf8(&path, g_path, std::strlen(g_path))) check(g_path, path);
  string_free(&path);
  std::remove(g_path);
  return 0;
}
