#include "runtime/file_reader.h"

#include <cerrno>
#include <cstring>

#include "runtime/alloc.h"
#include "runtime/byte_stream.h"
#include "runtime/charset.h"
#include "runtime/native_file.h"
#include "runtime/status.h"

namespace {

// Output space handed to one iconv call, and the amount of waiting output
// above which no conversion is made.
constexpr uint64_t CONVERT_SPACE = 16384;
constexpr uint64_t OUTPUT_WAITING = 16388;
constexpr uint64_t REFILL_PENDING = 2048;

}  // namespace

// ---- CharsetDecoder ---------------------------------------------------------

int CharsetDecoder::open(const char* charset) {
  if (buffer_) return STATUS_INVALID;
  iconv_t cd;
  if (charset_open_decoder(charset, &cd) != STATUS_OK) return STATUS_NO_CONVERTER;
  uint8_t* buffer = static_cast<uint8_t*>(mem_alloc(INPUT_BYTES + OUTPUT_BYTES));
  if (!buffer) {
    charset_close(cd);
    return STATUS_NO_MEMORY;
  }
  buffer_ = buffer;
  cd_ = cd;
  in_start_ = in_end_ = out_start_ = out_end_ = 0;
  return STATUS_OK;
}

void CharsetDecoder::close() {
  mem_free(buffer_);
  buffer_ = nullptr;
  charset_close(cd_);
  cd_ = reinterpret_cast<iconv_t>(-1);
  in_start_ = in_end_ = out_start_ = out_end_ = 0;
}

int64_t CharsetDecoder::convert() {
  uint64_t units = (out_end_ - out_start_) / 4;
  if (units) return static_cast<int64_t>(units);
  uint8_t* output = buffer_ + INPUT_BYTES;
  uint64_t partial = out_end_ - out_start_;
  if (partial && out_start_) memmove(output, output + out_start_, partial);
  out_start_ = 0;
  out_end_ = partial;
  if (out_end_ >= OUTPUT_WAITING) return static_cast<int64_t>(out_end_ / 4);
  if (in_start_ == in_end_) return -STATUS_END_OF_STREAM;
  char* in = reinterpret_cast<char*>(buffer_ + in_start_);
  size_t in_left = in_end_ - in_start_;
  uint64_t space = OUTPUT_BYTES - out_end_;
  if (space > CONVERT_SPACE) space = CONVERT_SPACE;
  char* out = reinterpret_cast<char*>(output + out_end_);
  size_t out_left = space;
  size_t rc = iconv(cd_, &in, &in_left, &out, &out_left);
  int error = errno;
  in_start_ = in_end_ - in_left;
  out_end_ += space - out_left;
  units = (out_end_ - out_start_) / 4;
  if (rc == static_cast<size_t>(-1) && error != EINVAL && error != E2BIG && units == 0) return -STATUS_BAD_FORMAT;
  return units ? static_cast<int64_t>(units) : -STATUS_END_OF_STREAM;
}

int64_t CharsetDecoder::read_char() {
  uint32_t c;
  int64_t n = read(&c, 1);
  return n < 0 ? n : static_cast<int64_t>(c);
}

int64_t CharsetDecoder::read(uint32_t* buf, uint64_t count) {
  if (!buffer_) return -STATUS_NOT_OPEN;
  int64_t units = convert();
  if (units < 0) return units;
  uint64_t n = static_cast<uint64_t>(units) < count ? static_cast<uint64_t>(units) : count;
  memcpy(buf, buffer_ + INPUT_BYTES + out_start_, n * 4);
  out_start_ += n * 4;
  return static_cast<int64_t>(n);
}

int64_t CharsetDecoder::refill(ByteStream* input) {
  if (!buffer_ || !input) return -STATUS_NOT_OPEN;
  uint64_t pending = in_end_ - in_start_;
  if (pending && in_start_) memmove(buffer_, buffer_ + in_start_, pending);
  in_start_ = 0;
  in_end_ = pending;
  if (pending > REFILL_PENDING) return 0;
  int64_t got = input->read(buffer_ + pending, INPUT_BYTES - pending);
  if (got == -STATUS_END_OF_STREAM) return 0;
  if (got < 0) return got;
  in_end_ += static_cast<uint64_t>(got);
  return got;
}

// ---- FileReader -------------------------------------------------------------

FileReader::~FileReader() {
  (void)close();
  string_free(&line_);
}

int FileReader::open(const char* path, const char* charset) {
  if (input_) return set_status(STATUS_INVALID);
  if (!path) return set_status(STATUS_BAD_ARGUMENT);
  String name;
  string_init(&name);
  if (!string_from_utf8(&name, path, strlen(path))) return set_status(STATUS_NO_MEMORY);
  int st = open(&name, charset);
  string_free(&name);
  return st;
}

int FileReader::open(const String* path, const char* charset) {
  if (input_) return set_status(STATUS_INVALID);
  if (!path) return set_status(STATUS_BAD_ARGUMENT);
  NativeFile* file = mem_new<NativeFile>();
  if (!file) return set_status(STATUS_NO_MEMORY);
  int st = file->open(path, NativeFile::OPEN_READ);
  if (st == STATUS_OK) st = attach(file, CLOSE_INPUT | DESTROY_INPUT, charset);
  if (st != STATUS_OK) mem_delete(file);
  return set_status(st);
}

int FileReader::attach(ByteStream* input, int flags, const char* charset) {
  if (input_) return set_status(STATUS_INVALID);
  if (!input) return set_status(STATUS_BAD_ARGUMENT);
  int st = decoder_.open(charset);
  if (st != STATUS_OK) return set_status(st);
  input_ = input;
  flags_ = flags;
  return set_status(STATUS_OK);
}

int64_t FileReader::read(uint32_t* buf, uint64_t count) {
  if (!input_) return set_count(-STATUS_NOT_OPEN);
  uint64_t got = 0;
  while (got < count) {
    int64_t n = decoder_.read(buf + got, count - got);
    if (n > 0) {
      got += static_cast<uint64_t>(n);
      continue;
    }
    if (n == -STATUS_END_OF_STREAM) {
      n = decoder_.refill(input_);
      if (n > 0) continue;
      if (n == 0) n = -STATUS_END_OF_STREAM;
    }
    if (got) break;  // the failure shows again at the next read
    return set_count(n);
  }
  return set_count(static_cast<int64_t>(got));
}

int32_t FileReader::read_char() {
  uint32_t c;
  int64_t n = read(&c, 1);
  return n < 0 ? static_cast<int32_t>(n) : static_cast<int32_t>(c);
}

int FileReader::read_line(String* out, bool take_last) {
  if (!input_) return set_status(STATUS_NOT_OPEN);
  if (!out) return set_status(STATUS_BAD_ARGUMENT);
  string_clear(&line_);
  for (;;) {
    int32_t c = read_char();
    if (c == -STATUS_END_OF_STREAM) {
      if (!take_last || line_.length == 0) return set_status(STATUS_END_OF_STREAM);
      break;
    }
    if (c < 0) return set_status(-c);
    if (c == '\n') {
      if (string_last(&line_) == '\r') string_pop(&line_);
      break;
    }
    if (!string_append_char(&line_, static_cast<uint32_t>(c))) return set_status(STATUS_NO_MEMORY);
  }
  string_swap(out, &line_);
  string_clear(&line_);
  return set_status(STATUS_OK);
}

int FileReader::close() {
  decoder_.close();
  int st = STATUS_OK;
  if (input_) {
    if (flags_ & CLOSE_INPUT) st = input_->close();
    if (flags_ & DESTROY_INPUT) mem_delete(input_);
  }
  input_ = nullptr;
  flags_ = 0;
  return set_status(st);
}
