#include "runtime/char_reader.h"

#include <cstring>

#include "runtime/alloc.h"
#include "runtime/status.h"
#include "runtime/string.h"

// ---- CharReader fallbacks ---------------------------------------------------

CharReader::~CharReader() = default;

int64_t CharReader::read(uint32_t*, uint64_t) { return set_count(-STATUS_END_OF_STREAM); }

int32_t CharReader::read_char() { return static_cast<int32_t>(set_count(-STATUS_END_OF_STREAM)); }

int CharReader::read_line(String*, bool) { return set_status(STATUS_END_OF_STREAM); }

int64_t CharReader::skip(uint64_t count) {
  uint32_t block[4096];
  uint64_t skipped = 0;
  while (skipped < count) {
    uint64_t want = count - skipped;
    if (want > 4096) want = 4096;
    int64_t got = read(block, want);
    if (got <= 0) break;
    skipped += static_cast<uint64_t>(got);
  }
  status_ = 0;
  return static_cast<int64_t>(skipped);
}

int CharReader::close() { return set_status(STATUS_OK); }

int CharReader::mark(int64_t) { return set_status(STATUS_NOT_SUPPORTED); }

int CharReader::reset() { return set_status(STATUS_NOT_SUPPORTED); }

// ---- StringReader -----------------------------------------------------------

StringReader::~StringReader() { (void)close(); }

int StringReader::set_source(const String* source) {
  if (!source) return set_status(STATUS_BAD_ARGUMENT);
  if (source_) return set_status(STATUS_INVALID);
  source_ = source;
  position_ = 0;
  mark_position_ = -1;
  return set_status(STATUS_OK);
}

int StringReader::set_text(const char* text) {
  if (!text) return set_status(STATUS_BAD_ARGUMENT);
  return set_text(text, strlen(text));
}

int StringReader::set_text(const char* text, uint64_t length) {
  if (!text) return set_status(STATUS_BAD_ARGUMENT);
  if (source_) return set_status(STATUS_INVALID);
  String local;
  string_init(&local);
  if (!string_from_utf8(&local, text, length)) return set_status(STATUS_NO_MEMORY);
  String* owned = string_take(&local);
  if (!owned) {
    string_free(&local);
    return set_status(STATUS_NO_MEMORY);
  }
  owned_ = owned;
  source_ = owned;
  position_ = 0;
  mark_position_ = -1;
  return set_status(STATUS_OK);
}

void StringReader::check_mark() {
  if (mark_position_ >= 0 && position_ > static_cast<uint64_t>(mark_position_ + mark_limit_)) mark_position_ = -1;
}

int64_t StringReader::read(uint32_t* buf, uint64_t count) {
  if (!source_) return set_count(-STATUS_NOT_OPEN);
  uint64_t left = source_->length - position_;
  if (left == 0) return set_count(-STATUS_END_OF_STREAM);
  uint64_t n = count < left ? count : left;
  if (n) memcpy(buf, source_->chars + position_, n * sizeof(uint32_t));
  position_ += n;
  check_mark();
  return set_count(static_cast<int64_t>(n));
}

int32_t StringReader::read_char() {
  if (!source_) return static_cast<int32_t>(set_count(-STATUS_NOT_OPEN));
  if (position_ >= source_->length) return static_cast<int32_t>(set_count(-STATUS_END_OF_STREAM));
  uint32_t c = source_->chars[position_++];
  check_mark();
  status_ = 0;
  return static_cast<int32_t>(c);
}

int StringReader::read_line(String* out, bool take_last) {
  if (!source_) return set_status(STATUS_NOT_OPEN);
  if (!out) return set_status(STATUS_BAD_ARGUMENT);
  uint64_t len = source_->length;
  uint64_t end = position_;
  while (end < len && source_->chars[end] != '\n') ++end;
  bool has_feed = end < len;
  if (!has_feed && (!take_last || position_ >= len)) return set_status(STATUS_END_OF_STREAM);
  uint64_t stop = end;
  if (has_feed && stop > position_ && source_->chars[stop - 1] == '\r') --stop;
  if (!string_assign_chars(out, source_->chars + position_, stop - position_)) return set_status(STATUS_NO_MEMORY);
  position_ = has_feed ? end + 1 : end;
  check_mark();
  return set_status(STATUS_OK);
}

int64_t StringReader::skip(uint64_t count) {
  if (!source_) return set_count(-STATUS_NOT_OPEN);
  uint64_t left = source_->length - position_;
  uint64_t n = count < left ? count : left;
  position_ += n;
  check_mark();
  return set_count(static_cast<int64_t>(n));
}

int StringReader::close() {
  if (owned_) string_delete(owned_);
  owned_ = nullptr;
  source_ = nullptr;
  position_ = 0;
  mark_position_ = -1;
  return set_status(STATUS_OK);
}

int StringReader::mark(int64_t limit) {
  if (!source_) return set_status(STATUS_NOT_OPEN);
  if (limit >= 0) {
    mark_position_ = static_cast<int64_t>(position_);
    mark_limit_ = limit;
  }
  return set_status(STATUS_OK);
}

int StringReader::reset() {
  if (!source_) return set_status(STATUS_NOT_OPEN);
  if (mark_position_ < 0) return set_status(STATUS_NOT_FOUND);
  position_ = static_cast<uint64_t>(mark_position_);
  return set_status(STATUS_OK);
}

// ---- MarkingReader ----------------------------------------------------------
//
// buffer_[0, recorded_) holds what was read since the mark; replay_ is the
// next recorded code point to hand out again after a reset. A replay can be
// pending without a mark (when a new mark could not keep the unreplayed
// tail within its limit); the buffer is freed once that replay is done.

MarkingReader::~MarkingReader() { (void)close(); }

int MarkingReader::attach(CharReader* source, bool owns) {
  if (!source) return set_status(STATUS_BAD_ARGUMENT);
  if (source_) return set_status(STATUS_INVALID);
  source_ = source;
  owns_ = owns;
  limit_ = -1;
  replay_ = recorded_ = 0;
  return set_status(STATUS_OK);
}

void MarkingReader::drop_mark() {
  mem_free(buffer_);
  buffer_ = nullptr;
  capacity_ = recorded_ = replay_ = 0;
  limit_ = -1;
}

bool MarkingReader::reserve(uint64_t needed) {
  if (needed <= capacity_) return true;
  uint64_t grown = capacity_ + capacity_ / 2;
  uint64_t wanted = needed < 1024 ? needed : 1024;
  uint64_t cap = grown > wanted ? grown : wanted;
  void* p = mem_realloc(buffer_, cap * sizeof(uint32_t));
  if (!p) return false;
  buffer_ = static_cast<uint32_t*>(p);
  capacity_ = cap;
  return true;
}

int64_t MarkingReader::read(uint32_t* buf, uint64_t count) {
  if (!source_) return set_count(-STATUS_NOT_OPEN);
  if (replay_ < recorded_) {
    uint64_t n = recorded_ - replay_;
    if (n > count) n = count;
    memcpy(buf, buffer_ + replay_, n * sizeof(uint32_t));
    replay_ += n;
    if (limit_ < 0 && replay_ == recorded_) drop_mark();
    return set_count(static_cast<int64_t>(n));
  }
  if (limit_ < 0 || count == 0) return set_count(source_->read(buf, count));
  uint64_t room = static_cast<uint64_t>(limit_) - recorded_;
  if (room == 0) {
    drop_mark();
    return set_count(source_->read(buf, count));
  }
  uint64_t n = count < room ? count : room;
  if (!reserve(recorded_ + n)) return set_count(-STATUS_NO_MEMORY);
  if (n > capacity_ - recorded_) n = capacity_ - recorded_;
  int64_t got = source_->read(buf, n);
  if (got > 0) {
    memcpy(buffer_ + recorded_, buf, static_cast<uint64_t>(got) * sizeof(uint32_t));
    recorded_ += static_cast<uint64_t>(got);
    replay_ = recorded_;
  }
  return set_count(got);
}

int32_t MarkingReader::read_char() {
  uint32_t c = 0;
  int64_t got = read(&c, 1);
  if (got < 0) return static_cast<int32_t>(got);
  if (got == 0) return static_cast<int32_t>(set_count(-STATUS_END_OF_STREAM));
  return static_cast<int32_t>(c);
}

int MarkingReader::close() {
  int status = STATUS_OK;
  if (source_ && owns_) status = source_->close();
  drop_mark();
  source_ = nullptr;
  owns_ = false;
  return set_status(status);
}

int MarkingReader::mark(int64_t limit) {
  if (!source_) return set_status(STATUS_NOT_OPEN);
  if (limit < 0) return set_status(STATUS_OK);
  // Code points read back but not yet replayed must not be lost: they
  // become the start of the new recording.
  uint64_t tail = recorded_ - replay_;
  if (tail) memmove(buffer_, buffer_ + replay_, tail * sizeof(uint32_t));
  recorded_ = tail;
  replay_ = 0;
  if (tail == 0) {
    drop_mark();
    limit_ = limit;
  } else {
    limit_ = tail > static_cast<uint64_t>(limit) ? -1 : limit;
  }
  return set_status(STATUS_OK);
}

int MarkingReader::reset() {
  if (!source_) return set_status(STATUS_NOT_OPEN);
  if (limit_ < 0) return set_status(STATUS_NOT_FOUND);
  replay_ = 0;
  return set_status(STATUS_OK);
}
