#pragma once

#include <cstdint>

struct String;

// Character input: hands out Unicode code points one at a time or in
// blocks. Counts and code points come back as non-negative values, failures
// as minus a status code: -25 is the end of the text, -26 a reader without a
// source. Every reader keeps the status of its last operation (0 after
// success) in last_status().
//
// The base class provides the fallbacks of a reader that lacks an
// operation: read, read_char give -25, read_line 25, mark and reset 27,
// close 0, and skip reads and discards through read. Readers are created on
// the stack or with mem_new and destroyed with mem_delete; the slot order of
// the virtual operations is fixed (destructor first, then as declared).
class CharReader {
 public:
  CharReader() = default;
  CharReader(const CharReader&) = delete;
  CharReader& operator=(const CharReader&) = delete;
  virtual ~CharReader();

  // Copies up to `count` code points into `buf`; returns how many, or a
  // negated status (-25 at the end).
  [[nodiscard]] virtual int64_t read(uint32_t* buf, uint64_t count);
  // The next code point, or a negated status (-25 at the end).
  [[nodiscard]] virtual int32_t read_char();
  // Replaces `out` with the text up to the next line feed (consumed, not
  // stored; a carriage return just before it is dropped). When no line
  // feed remains, the rest is the line only if `take_last` is set and
  // something remains; otherwise 25. `out` is changed only on success.
  [[nodiscard]] virtual int read_line(String* out, bool take_last);
  // Discards up to `count` code points; returns the number discarded (0 at
  // the end of the text).
  [[nodiscard]] virtual int64_t skip(uint64_t count);
  [[nodiscard]] virtual int close();
  // Remembers the position so that reset() can return to it, as long as no
  // more than `limit` code points are read in between.
  [[nodiscard]] virtual int mark(int64_t limit);
  [[nodiscard]] virtual int reset();

  int last_status() const { return status_; }

 protected:
  // Records `status` as the last one and returns it (for one-line returns).
  int set_status(int status) {
    status_ = status;
    return status;
  }
  // Records a count result: negative values are stored as their status.
  int64_t set_count(int64_t count) {
    status_ = count < 0 ? static_cast<int>(-count) : 0;
    return count;
  }

  int status_ = 0;
};

// Reader over a String: either borrowed from the caller (who keeps it alive
// and unchanged while the reader uses it) or decoded from UTF-8 into a
// String that the reader owns and frees on close.
class StringReader : public CharReader {
 public:
  StringReader() = default;
  ~StringReader() override;

  // Borrows `source`. 13 for a null source, 15 when a source is set.
  [[nodiscard]] int set_source(const String* source);
  // Decodes the NUL-terminated UTF-8 `text` into an owned String. 13 for a
  // null text, 15 when a source is set, 5 when memory runs out.
  [[nodiscard]] int set_text(const char* text);
  // The same over `length` bytes of UTF-8 (no terminator needed).
  [[nodiscard]] int set_text(const char* text, uint64_t length);

  [[nodiscard]] int64_t read(uint32_t* buf, uint64_t count) override;
  [[nodiscard]] int32_t read_char() override;
  [[nodiscard]] int read_line(String* out, bool take_last) override;
  [[nodiscard]] int64_t skip(uint64_t count) override;
  // Releases an owned source; the reader has no source afterwards.
  [[nodiscard]] int close() override;
  // With limit >= 0 remembers the position; reading past mark + limit
  // forgets the mark. A negative limit changes nothing.
  [[nodiscard]] int mark(int64_t limit) override;
  // Back to the mark (0), or 6 when there is none; 26 without a source.
  [[nodiscard]] int reset() override;

  // Index of the next code point.
  uint64_t position() const { return position_; }

 private:
  // Drops the mark once the position has passed mark + limit.
  void check_mark();

  const String* source_ = nullptr;
  String* owned_ = nullptr;
  uint64_t position_ = 0;
  int64_t mark_position_ = -1;
  int64_t mark_limit_ = 0;
};

// Reader that records what passes through it from a source reader, so that
// reset() can replay everything read since mark(). Without a mark it passes
// straight through. The recording is bounded by the mark limit: once it
// would be exceeded the mark is dropped and reading continues directly.
class MarkingReader : public CharReader {
 public:
  MarkingReader() = default;
  ~MarkingReader() override;

  // Uses `source`; with `owns` the source is closed when this reader
  // closes (it is never destroyed here). 13 without a source, 15 when a
  // source is attached.
  [[nodiscard]] int attach(CharReader* source, bool owns);

  [[nodiscard]] int64_t read(uint32_t* buf, uint64_t count) override;
  [[nodiscard]] int32_t read_char() override;
  // Closes an owned source, clears the recording and detaches; returns the
  // source's close status (0 when not owned).
  [[nodiscard]] int close() override;
  // 26 without a source; with limit >= 0 forgets earlier recordings and
  // starts recording with that limit.
  [[nodiscard]] int mark(int64_t limit) override;
  // 26 without a source; back to the first recorded code point (0), or 6
  // when there is no mark.
  [[nodiscard]] int reset() override;

  bool has_mark() const { return limit_ >= 0; }

 private:
  // Makes room for `needed` more recorded code points; false when the
  // buffer cannot grow.
  bool reserve(uint64_t needed);
  void drop_mark();

  CharReader* source_ = nullptr;
  bool owns_ = false;
  int64_t limit_ = -1;
  uint64_t replay_ = 0;
  uint64_t recorded_ = 0;
  uint32_t* buffer_ = nullptr;
  uint64_t capacity_ = 0;
};
