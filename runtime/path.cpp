#include "runtime/path.h"

#include "runtime/alloc.h"
#include "runtime/status.h"
#include "runtime/string.h"

namespace {

void slashes_from(String* s, uint64_t start) {
  for (uint64_t i = start; i < s->length; ++i)
    if (s->chars[i] == '\\') s->chars[i] = '/';
  s->hash = 0;
}

// Appends component to the local `work` under the path_append rules.
int append_into(String* work, const String* component) {
  if (component->length == 0) return STATUS_OK;
  uint32_t first = component->chars[0];
  if (first == '/' || first == '\\') return STATUS_BAD_VALUE;
  if (work->length && string_last(work) != '/' && !string_append_char(work, '/')) return STATUS_NO_MEMORY;
  uint64_t start = work->length;
  if (!string_append_chars(work, component->chars, component->length)) return STATUS_NO_MEMORY;
  slashes_from(work, start);
  return STATUS_OK;
}

// Hands `work` over to `out` by swap and releases what out held.
int hand_over(String* out, String* work) {
  string_move(out, work);
  return STATUS_OK;
}

int range_into(const String* path, String* out, uint64_t start, uint64_t end) {
  String work;
  string_init(&work);
  if (end > start && !string_assign_chars(&work, path->chars + start, end - start)) return STATUS_NO_MEMORY;
  return hand_over(out, &work);
}

uint64_t file_part_start(const String* path) {
  int64_t slash = string_find_last(path, '/');
  return slash < 0 ? 0 : static_cast<uint64_t>(slash) + 1;
}

int64_t last_dot_in_file_part(const String* path) {
  int64_t dot = string_find_last(path, '.');
  if (dot < 0 || static_cast<uint64_t>(dot) < file_part_start(path)) return -1;
  return dot;
}

}  // namespace

int path_set(String* path, const String* text) {
  if (!path || !text) return STATUS_BAD_ARGUMENT;
  String work;
  string_init(&work);
  if (text->length && !string_assign_chars(&work, text->chars, text->length)) return STATUS_NO_MEMORY;
  slashes_from(&work, 0);
  return hand_over(path, &work);
}

int path_set(String* path, const char* text) {
  if (!path || !text) return STATUS_BAD_ARGUMENT;
  String work;
  string_init(&work);
  uint64_t n = 0;
  while (text[n]) ++n;
  if (n && !string_from_utf8(&work, text, n)) return STATUS_NO_MEMORY;
  slashes_from(&work, 0);
  return hand_over(path, &work);
}

int path_append(String* path, const String* component) {
  if (!path || !component) return STATUS_BAD_ARGUMENT;
  if (component->length == 0) return STATUS_OK;
  String work;
  string_init(&work);
  if (path->length && !string_assign_chars(&work, path->chars, path->length)) return STATUS_NO_MEMORY;
  int st = append_into(&work, component);
  if (st != STATUS_OK) {
    string_free(&work);
    return st;
  }
  return hand_over(path, &work);
}

int path_append(String* path, const char* component) {
  if (!path || !component) return STATUS_BAD_ARGUMENT;
  String c;
  string_init(&c);
  uint64_t n = 0;
  while (component[n]) ++n;
  if (n && !string_from_utf8(&c, component, n)) return STATUS_NO_MEMORY;
  int st = path_append(path, &c);
  string_free(&c);
  return st;
}

int path_resolve(String* result, const String* directory, const String* name) {
  if (!result || !directory || !name) return STATUS_BAD_ARGUMENT;
  String work;
  string_init(&work);
  if (directory->length && !string_assign_chars(&work, directory->chars, directory->length))
    return STATUS_NO_MEMORY;
  slashes_from(&work, 0);
  int st = append_into(&work, name);
  if (st != STATUS_OK) {
    string_free(&work);
    return st;
  }
  return hand_over(result, &work);
}

bool path_is_absolute(const String* path) { return path && path->length && path->chars[0] == '/'; }

int path_file_part(const String* path, String* out) {
  if (!path || !out) return STATUS_BAD_ARGUMENT;
  return range_into(path, out, file_part_start(path), path->length);
}

int path_extension(const String* path, String* out) {
  if (!path || !out) return STATUS_BAD_ARGUMENT;
  int64_t dot = last_dot_in_file_part(path);
  if (dot < 0) return range_into(path, out, 0, 0);
  return range_into(path, out, static_cast<uint64_t>(dot) + 1, path->length);
}

int path_stem(const String* path, String* out) {
  if (!path || !out) return STATUS_BAD_ARGUMENT;
  int64_t dot = last_dot_in_file_part(path);
  uint64_t start = file_part_start(path);
  return range_into(path, out, start, dot < 0 ? path->length : static_cast<uint64_t>(dot));
}

int path_parent(const String* path, String* out) {
  if (!path || !out) return STATUS_BAD_ARGUMENT;
  int64_t slash = string_find_last(path, '/');
  if (slash < 0 || (path->length == 1 && slash == 0)) return STATUS_NOT_FOUND;
  return range_into(path, out, 0, static_cast<uint64_t>(slash));
}

int path_normalize(String* path) {
  if (!path) return STATUS_BAD_ARGUMENT;
  uint32_t* c = path->chars;
  uint64_t n = path->length;
  uint64_t i = 0, w = 0;
  if (n && c[0] == '/') i = w = 1;
  const uint64_t base = w;
  while (i < n) {
    while (i < n && c[i] == '/') ++i;
    if (i >= n) break;
    uint64_t j = i;
    while (j < n && c[j] != '/') ++j;
    uint64_t len = j - i;
    bool followed = j < n;
    if (len == 1 && c[i] == '.') {
      // dropped
    } else if (len == 2 && c[i] == '.' && c[i + 1] == '.') {
      if (followed) {
        uint64_t k = w;
        while (k > base && c[k - 1] != '/') --k;
        w = k > base ? k - 1 : base;
      }
    } else {
      if (w > base) c[w++] = '/';
      for (uint64_t k = i; k < j; ++k) c[w++] = c[k];
    }
    i = j;
  }
  path->hash = 0;
  string_truncate(path, w);
  return STATUS_OK;
}

char* path_to_utf8(const String* path) {
  if (!path) return nullptr;
  uint64_t size = path->length * 4 + 1;
  char* out = static_cast<char*>(mem_alloc(size));
  if (!out) return nullptr;
  uint64_t w = 0;
  for (uint64_t i = 0; i < path->length; ++i) {
    uint32_t c = path->chars[i] == '\\' ? '/' : path->chars[i];
    w += encode_utf8_char(c, reinterpret_cast<uint8_t*>(out + w));
  }
  out[w] = 0;
  return out;
}
