#pragma once

#include <iconv.h>

#include <cstdint>

#include "runtime/char_reader.h"
#include "runtime/string.h"

class ByteStream;

// Turns bytes of a character set into code points through iconv. One
// allocation holds a 4096-byte input area and a 32768-byte output area of
// UTF-32LE code points.
class CharsetDecoder {
 public:
  static constexpr uint64_t INPUT_BYTES = 4096;
  static constexpr uint64_t OUTPUT_BYTES = 32768;

  CharsetDecoder() = default;
  CharsetDecoder(const CharsetDecoder&) = delete;
  CharsetDecoder& operator=(const CharsetDecoder&) = delete;
  ~CharsetDecoder() { close(); }

  // Opens a converter from `charset` (null: the locale's) to code points,
  // with the UTF-8 fallbacks; 29 when none opens, 5 when the buffer cannot
  // be allocated, 15 when already open.
  [[nodiscard]] int open(const char* charset);
  // Frees the buffer and closes the converter; harmless when closed.
  void close();
  bool is_open() const { return buffer_ != nullptr; }

  // Next code point; -25 when none is available without more input, -7 at
  // a byte sequence that the character set rejects.
  [[nodiscard]] int64_t read_char();
  // Up to `count` available code points; -25 / -7 as above.
  [[nodiscard]] int64_t read(uint32_t* buf, uint64_t count);
  // Moves pending input to the front and reads from `input` into the free
  // space unless more than 2048 bytes are pending. Returns the bytes read,
  // 0 at the end of the input (or when nothing was read), or minus a status.
  [[nodiscard]] int64_t refill(ByteStream* input);

 private:
  // Makes code points available; returns how many, or -25 / -7.
  int64_t convert();

  uint8_t* buffer_ = nullptr;
  uint64_t in_start_ = 0, in_end_ = 0;
  uint64_t out_start_ = 0, out_end_ = 0;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
};

// Reader of a file whose bytes are decoded from a character set. mark and
// reset are not supported (27); use a MarkingReader on top.
class FileReader : public CharReader {
 public:
  // Ownership flags of the byte input.
  static constexpr int CLOSE_INPUT = 1;
  static constexpr int DESTROY_INPUT = 2;

  FileReader() = default;
  ~FileReader() override;

  // Opens the file at `path` (UTF-8) for reading, decoding from `charset`
  // (null: the locale's). 15 when open, 13 without a path, the NativeFile
  // open status, 29 without a converter, 5 when memory runs out.
  [[nodiscard]] int open(const char* path, const char* charset);
  [[nodiscard]] int open(const String* path, const char* charset);
  // Reads from an existing byte input; `flags` say whether close() closes
  // and destroys (mem_delete) it. 13 without an input; on failure the
  // input is left to the caller.
  [[nodiscard]] int attach(ByteStream* input, int flags, const char* charset);

  [[nodiscard]] int64_t read(uint32_t* buf, uint64_t count) override;
  [[nodiscard]] int32_t read_char() override;
  [[nodiscard]] int read_line(String* out, bool take_last) override;
  // Closes the decoder and, as the flags say, the byte input; returns the
  // input's close status.
  [[nodiscard]] int close() override;

 private:
  ByteStream* input_ = nullptr;
  int flags_ = 0;
  CharsetDecoder decoder_;
  String line_{};
};
