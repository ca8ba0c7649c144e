#pragma once

#include <cstdint>

struct FileInfo;

// Byte stream interface. Counts come back as non-negative values and
// failures as minus a status code. The base class stands for a stream that
// provides nothing: counts -27, statuses 27, close 0. Every stream keeps the
// status of its last operation (0 after success) in last_status(). The
// slot order of the virtual operations is fixed (destructor first, then as
// declared). Streams are created on the stack or with mem_new.
class ByteStream {
 public:
  ByteStream() = default;
  ByteStream(const ByteStream&) = delete;
  ByteStream& operator=(const ByteStream&) = delete;
  virtual ~ByteStream();

  [[nodiscard]] virtual int64_t read(void* buf, uint64_t count);
  [[nodiscard]] virtual int64_t read_at(int64_t offset, void* buf, uint64_t count);
  [[nodiscard]] virtual int64_t write(const void* data, uint64_t count);
  [[nodiscard]] virtual int64_t write_at(int64_t offset, const void* data, uint64_t count);
  // whence: 0 from the start, 1 from the current position, 2 from the end.
  [[nodiscard]] virtual int seek(int64_t offset, int whence);
  [[nodiscard]] virtual int64_t tell();
  [[nodiscard]] virtual int64_t size();
  [[nodiscard]] virtual int info(FileInfo* out);
  [[nodiscard]] virtual int truncate(int64_t size);
  [[nodiscard]] virtual int flush();
  [[nodiscard]] virtual int sync();
  [[nodiscard]] virtual int close();

  int last_status() const { return status_; }

 protected:
  int set_status(int status) {
    status_ = status;
    return status;
  }
  int64_t set_count(int64_t count) {
    status_ = count < 0 ? static_cast<int>(-count) : 0;
    return count;
  }

  int status_ = 0;
};
