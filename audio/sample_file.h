#pragma once

#include <cstdint>

#include "analysis/sample.h"
#include "audio/audio_stream.h"
#include "audio/save_format.h"
#include "audio/sndfile_stream.h"
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

// Interleaved frames into planar rows: `frames` frames of `block` to rows
// of `stride` floats from frame `at` on.
void sample_deinterleave(float* planes, uint64_t stride, uint64_t channels, uint64_t at, const float* block,
                         uint64_t frames);

// Doubles to floats, rounded to nearest; finite values beyond the range of
// a float become the largest float of their sign instead of an infinity
// (so that they are refused as out of range and not as infinite).
void sample_narrow(float* out, const double* in, size_t count);

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
// extension; when the file would reach 4 GiB it is written as RF64
// instead, whose size fields do not wrap.
//
// The file is written under a temporary name in the directory of the file
// it replaces (".tb<pid>-<n>.tmp", short so that any legal output name
// works) and renamed over it only when writing and closing succeeded, so a
// failure leaves an existing file untouched and no temporary behind; so
// does SIGINT, SIGTERM or SIGHUP during the save (see
// runtime/signal_cleanup.h), after which the process dies of that signal.
// When `path` is a symbolic link, the file it points to is replaced and the
// link kept. The new file gets the permission bits of the file it replaces,
// or 0666 less the umask when there is none; they are set just before the
// rename, so a read-only output can be replaced wherever its directory is
// writable.
//
// Returns the frames written or a negated status: -15 for a sample rate of
// 0 and -9 for frames that hold a NaN or an infinity (no file is created
// for either), -5 when memory runs out, the mapped libsndfile failure of
// opening (-4 also when the temporary cannot be created or the rename
// fails), the failure of a write that could not write every frame, or -23
// when closing failed; -18 whenever the disk (or the quota) is full.
[[nodiscard]] int64_t sample_save_file(const Sample& sample, String& path, int64_t first, int64_t count);

// As above in the container, width and dither of `format` (AUTO resolved
// from the name; WAV still switching to RF64 by size). The format is
// checked first with save_format_check (its status negated, -8 or -13, and
// no file created). Dither is seeded from the bytes of `path` as given.
// `stats` (when not null) receives the peak, the samples over full scale
// and the container written, also after a failed write. `cause` (when not
// null) receives on failure one line of text without a newline saying why:
// the format check's message, libsndfile's text for its error, or the
// system's (strerror) for the temporary file, the rename and a full disk. Failures of
// the file system are reported by their own status here: 6 missing
// directory, 22 permission denied, 18 name too long or no space, 46
// read-only file system, 43 a path component is not a directory, else 23.
[[nodiscard]] int64_t sample_save_file(const Sample& sample, String& path, int64_t first, int64_t count,
                                       const SaveFormat& format, SaveStats* stats, char* cause, size_t cause_size);

// As sample_load_file, and on failure writes the cause as one line of
// text without a newline to `cause` (when not null): the system's text for
// a file that cannot be opened, libsndfile's text for its errors. The file
// is first opened with the system's own call, and a failure there is
// reported by its own status instead of libsndfile's 4: 6 no such file, 22
// permission denied, 42 a directory, 43 a path component is not a
// directory, 18 name too long, 23 anything else (a loop of symbolic links
// among them).
[[nodiscard]] Status sample_load_file(Sample& sample, String& path, float seconds, char* cause, size_t cause_size);

// The samples a save of `sample` in `format` writes, read back as floats
// (an integer sample k of b bits as k / 2^(b-1), as libsndfile reads it):
// the same quantization and the same dither, seeded as the save seeds it:
// from format.dither_seed when set, else from `seed_text` (for a save
// without a dither seed, the path as given to sample_save_file). For
// float output a copy. `out` is replaced on success only. Returns 0,
// STATUS_INVALID for a sample without data or channels, STATUS_NO_MEMORY.
[[nodiscard]] Status sample_as_saved(const Sample& sample, const SaveFormat& format, const char* seed_text,
                                     Sample* out);

// Finds the first sample, in frame order and channel order within a frame,
// that is NaN or infinite; true with its frame and channel (either pointer
// may be null), false when every sample is finite.
// Whether the file at `utf8` may be opened as audio input, asked of the
// system without blocking: 0; 42 for a directory; 8 with the cause "not a
// regular file" for a FIFO, socket or device (opening one for reading
// could wait forever); or the status of the failed open (6, 22, ...), its
// text in `cause`.
[[nodiscard]] Status sample_check_input(const char* utf8, char* cause, size_t cause_size);

// What the header of the file at `path` tells (rate, channels, frames as
// the reader reports them), asked the way sample_load_file opens a file:
// sample_check_input, then libsndfile's open, which reads the header only.
// 0, or the status sample_load_file would fail with at that point, its
// text in `cause`. `format` is set only on success.
[[nodiscard]] Status sample_read_header(String& path, AudioFormat* format, char* cause, size_t cause_size);

// The file a save to `path` replaces: `path` itself or, when it is a
// symbolic link, the end of its chain of links, which need not exist (a
// dangling link is written through). A relative link is taken from the
// directory of the link. False with errno set when the chain loops or is
// too long, or the answer does not fit `size` bytes.
bool sample_output_target(const char* path, char* out, size_t size);

bool sample_find_nonfinite(const Sample& sample, uint64_t* frame, uint64_t* channel);

// Largest magnitude of a sample that the tool takes in: far beyond any
// real signal (1e15 is 300 dB above full scale), yet low enough that no
// gain, filter or sum of the processing can overflow a float.
constexpr double SAMPLE_MAGNITUDE_LIMIT = 1e15;

// As sample_find_nonfinite, for a sample that is NaN, infinite or of a
// magnitude above SAMPLE_MAGNITUDE_LIMIT.
bool sample_find_unusable(const Sample& sample, uint64_t* frame, uint64_t* channel);

// A save made a block at a time, for audio that is never held whole: the
// same temporary, checks, format, dither and rename as sample_save_file,
// with the frame count known up front. begin creates the temporary (after
// the checks that need no audio); write converts and writes planar frames
// (a NaN or an infinity fails the save with 9, naming the frame counted
// from the first one written, and no file is kept); end closes, and on
// success renames the temporary over the target; abort removes it. After
// a failed begin nothing exists. The statuses are sample_save_file's.
struct SaveSession {
  SndfileWriter writer;
  SaveFormat resolved;
  SaveQuantizer quantizer;
  char target[4096], temp[4096];
  uint64_t channels, expected, frames;
  SaveStats* stats;
  float* block;
  int32_t* words;
  uint64_t clips;
  Status failed_write;
  bool cause_given;
  unsigned fresh_mode;
  bool system_status, open;
};
void save_session_init(SaveSession& s);
[[nodiscard]] Status save_session_begin(SaveSession& s, String& path, uint64_t rate, uint64_t channels,
                                        uint64_t frames, const SaveFormat& format, SaveStats* stats, char* cause,
                                        size_t cause_size, bool system_status);
// `as_saved` (when not null, rows of at least block.length frames) gets
// the values as written: for integer formats the quantized, dithered
// samples as fractions of full scale (sample_as_saved's values).
[[nodiscard]] Status save_session_write(SaveSession& s, const Sample& block, Sample* as_saved, char* cause,
                                        size_t cause_size);
[[nodiscard]] Status save_session_end(SaveSession& s, char* cause, size_t cause_size);
void save_session_abort(SaveSession& s);
