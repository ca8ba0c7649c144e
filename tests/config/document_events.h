#pragma once

// Test helper: reads a whole document and renders its events as text, one
// word per event, so that tests can compare sequences at a glance:
//   {  }  [  ]  P:name  S:text  I:42  F:0.5  B:1  N
// followed by "=N", the first non-zero status.

#include <cmath>
#include <cstdio>
#include <string>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/string.h"

inline std::string event_word(const DocumentEvent& e) {
  switch (e.kind) {
    case OBJECT_BEGIN: return "{";
    case OBJECT_END: return "}";
    case ARRAY_BEGIN: return "[";
    case ARRAY_END: return "]";
    case NULL_VALUE: return "N";
    case BOOLEAN: return e.value.boolean ? "B:1" : "B:0";
    case INTEGER: return std::string("I:").append(std::to_string(e.value.integer)).append(e.overflowed ? "!" : "");
    case FLOAT: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "F:%g", e.value.real);
      return buf;
    }
    case PROPERTY:
    case STRING: {
      // Encoded per code point, so that U+0000 survives.
      std::string out(e.kind == PROPERTY ? "P:" : "S:");
      for (uint64_t i = 0; i < e.text.length; ++i) {
        uint8_t buf[4];
        unsigned n = encode_utf8_char(e.text.chars[i], buf);
        out.append(reinterpret_cast<const char*>(buf), n);
      }
      return out;
    }
    default: return "?";
  }
}

// Reads events from `input` at `level` until a non-zero status.
inline std::string read_events(CharReader* input, int32_t level, int* status = nullptr) {
  DocumentReader r;
  document_reader_init(&r);
  DocumentEvent e;
  document_event_init(&e);
  std::string out;
  int st = document_reader_open(&r, input, level, 0);
  while (st == 0) {
    st = document_reader_next(&r, &e);
    if (st == 0) out += event_word(e) + " ";
  }
  out += "=";
  out += std::to_string(st);
  if (status) *status = st;
  (void)document_reader_close(&r);
  document_reader_release(&r);
  document_event_release(&e);
  return out;
}

inline std::string read_text(const std::string& text, int32_t level) {
  StringReader sr;
  if (sr.set_text(text.data(), text.size()) != 0) return "setup failed";
  std::string out = read_events(&sr, level);
  (void)sr.close();
  return out;
}
