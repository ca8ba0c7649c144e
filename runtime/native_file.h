#pragma once

#include <cstdint>

#include "runtime/byte_stream.h"

struct String;

// Byte stream over a file descriptor. Every operation but open and close
// returns 15 (-15 for counts) while the stream is closed. Nothing is
// buffered.
class NativeFile : public ByteStream {
 public:
  // Flags of open().
  static constexpr int OPEN_READ = 1;
  static constexpr int OPEN_WRITE = 2;
  static constexpr int OPEN_CREATE = 4;
  static constexpr int OPEN_TRUNCATE = 8;
  // Mode bits of an open stream.
  static constexpr int MODE_READ = 1;
  static constexpr int MODE_WRITE = 2;
  static constexpr int MODE_OWNS = 4;

  NativeFile() = default;
  // Closes without reporting.
  ~NativeFile() override;

  // 15 when open, 13 without a path, 28 without read or write; an existing
  // directory gives 17 with create and 6 without. New files get 0644.
  // errno of the system open: EPERM, EACCES 22; ENOENT 6; ENOMEM 5;
  // EINVAL 28; ENAMETOOLONG 18; EEXIST 17; ENOTDIR 43; EISDIR 42; EROFS 46;
  // anything else 23.
  [[nodiscard]] int open(const String* path, int flags);
  // Uses an already open descriptor with the given mode bits (MODE_OWNS
  // makes close() close it). 15 when open, 13 for a negative descriptor.
  [[nodiscard]] int wrap(int descriptor, int mode);

  // Repeats the system read until count bytes came, the end, or a failure;
  // -25 / -23 only when nothing was read (count > 0). -22 when not readable.
  [[nodiscard]] int64_t read(void* buf, uint64_t count) override;
  [[nodiscard]] int64_t read_at(int64_t offset, void* buf, uint64_t count) override;
  // Repeats the system write until all is written or a write gives 0 or
  // less; -23 when nothing could be written. -22 when not writable.
  [[nodiscard]] int64_t write(const void* data, uint64_t count) override;
  [[nodiscard]] int64_t write_at(int64_t offset, const void* data, uint64_t count) override;
  // 13 for another whence, 27 on a pipe or socket, 23 otherwise.
  [[nodiscard]] int seek(int64_t offset, int whence) override;
  [[nodiscard]] int64_t tell() override;
  [[nodiscard]] int64_t size() override;
  [[nodiscard]] int info(FileInfo* out) override;
  // 22 when not writable, 23 when the system refuses.
  [[nodiscard]] int truncate(int64_t size) override;
  // 0 when writable (nothing is buffered), 22 otherwise.
  [[nodiscard]] int flush() override;
  // fsync when writable (23 on failure), 22 otherwise.
  [[nodiscard]] int sync() override;
  // Closes an owned descriptor; on failure 23 and the stream stays open.
  // Closing a closed stream gives 0.
  [[nodiscard]] int close() override;

  int descriptor() const { return fd_; }
  int mode() const { return mode_; }

 private:
  int64_t transfer_read(bool positioned, int64_t offset, void* buf, uint64_t count);
  int64_t transfer_write(bool positioned, int64_t offset, const void* data, uint64_t count);

  int32_t fd_ = -1;
  int mode_ = 0;
};
