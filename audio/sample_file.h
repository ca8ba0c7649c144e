#pragma once

#include <cstdint>

#include "analysis/sample.h"
#include "audio/audio_stream.h"
#include "runtime/status.h"
#include "runtime/string.h"

// Loading audio files into Sample buffers and saving them as WAV files of
// 32-bit floats.

// Reads the frames of an open reader into `sample` as float planes: at most
// `frame_limit` frames (all when negative). The planes get a stride of the
// length rounded up to 16 (at least 16) and a zero tail. When the reader
// knows its frame count, that many frames are read and a stream that ends
// early fails with 25 (STATUS_END_OF_STREAM); when it reports
// AUDIO_FRAMES_UNKNOWN the planes grow block by block until the stream
// ends. Returns 0, 5 (no memory, or a stream without channels) or the
// negated result of the failing read. `sample` is replaced (rate, length,
// stride, channels, data) only on success.
[[nodiscard]] Status sample_read_frames(Sample& sample, AudioReader& reader, int64_t frame_limit);

// Writes frames first .. first + n - 1 of every channel to an open writer as
// interleaved f32 frames, n = min(count, max(length - first, 0)) and all
// frames from `first` on for a negative count. Returns the frames written
// (short when a write failed after some frames; the writer's status then
// tells why) or a negated status: -15 for a sample rate of 0, -13 for a
// negative first frame, -5 when the transfer buffer cannot be allocated, or
// the write's failure.
[[nodiscard]] int64_t sample_write_frames(const Sample& sample, AudioWriter& writer, int64_t first, int64_t count);

// Loads the file at `path` (any format libsndfile recognises) into `sample`,
// at most `seconds` seconds of it (all when negative). Returns 0, the
// failure of opening (7, 4, 9 as mapped from libsndfile, 5) or reading, or
// 23 when closing failed after a successful read (the sample is then
// already replaced). On failure `sample` is unchanged.
[[nodiscard]] Status sample_load_file(Sample& sample, String& path, float seconds);

// Saves frames first .. first + n - 1 (n as for sample_write_frames) as a
// WAV file of 32-bit floats at the sample's rate, whatever the name's
// extension. The file is written under a temporary name beside `path` and
// renamed over it only when writing and closing succeeded, so a failure
// leaves an existing file at `path` untouched and no temporary behind.
// Returns the frames written or a negated status: -15 for a sample rate of
// 0 (no file is created), -5 when memory runs out, the mapped libsndfile
// failure of opening (-4 also when the temporary cannot be created or the
// rename fails), the failure of a write that could not write every frame,
// or -23 when closing failed.
[[nodiscard]] int64_t sample_save_file(const Sample& sample, String& path, int64_t first, int64_t count);
