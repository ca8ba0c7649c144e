#include "runtime/output.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "runtime/alloc.h"

namespace {

thread_local OutputCapture* t_capture = nullptr;

bool append(OutputCapture* c, const void* bytes, size_t n) {
  if (c->size + n > c->capacity) {
    size_t cap = c->capacity ? c->capacity : 1024;
    while (cap < c->size + n) cap *= 2;
    char* grown = static_cast<char*>(mem_realloc(c->data, cap));
    if (!grown) return false;
    c->data = grown;
    c->capacity = cap;
  }
  std::memcpy(c->data + c->size, bytes, n);
  c->size += n;
  return true;
}

int vprint(int stream, const char* format, va_list args) {
  FILE* out = stream == 1 ? stdout : stderr;
  OutputCapture* c = t_capture;
  if (!c) return std::vfprintf(out, format, args);
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return n;
  char* text = small;
  if (static_cast<size_t>(n) >= sizeof small) {
    text = static_cast<char*>(mem_alloc(static_cast<size_t>(n) + 1));
    if (!text) return std::vfprintf(out, format, args);
    std::vsnprintf(text, static_cast<size_t>(n) + 1, format, args);
  }
  const size_t mark = c->size;
  uint8_t tag = static_cast<uint8_t>(stream);
  uint32_t len = static_cast<uint32_t>(n);
  bool ok = append(c, &tag, 1) && append(c, &len, 4) && append(c, text, len);
  if (!ok) {
    c->size = mark;
    std::fwrite(text, 1, len, out);
  }
  if (text != small) mem_free(text);
  return n;
}

}  // namespace

void output_capture_init(OutputCapture* c) {
  c->data = nullptr;
  c->size = 0;
  c->capacity = 0;
}

void output_capture_release(OutputCapture* c) {
  mem_free(c->data);
  output_capture_init(c);
}

void output_capture_begin(OutputCapture* c) { t_capture = c; }

void output_capture_end() { t_capture = nullptr; }

void output_capture_flush(OutputCapture* c) {
  size_t at = 0;
  while (at + 5 <= c->size) {
    uint8_t tag = static_cast<uint8_t>(c->data[at]);
    uint32_t len = 0;
    std::memcpy(&len, c->data + at + 1, 4);
    at += 5;
    if (tag == 2) std::fflush(stdout);
    std::fwrite(c->data + at, 1, len, tag == 1 ? stdout : stderr);
    at += len;
  }
  std::fflush(stdout);
  c->size = 0;
}

int out_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vprint(1, format, args);
  va_end(args);
  return n;
}

int err_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = vprint(2, format, args);
  va_end(args);
  return n;
}
