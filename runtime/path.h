#pragma once

#include <cstdint>

struct String;

// Paths are Strings with '/' separating components. Operations that take a
// path from outside turn every '\' into '/'; nothing else is normalised
// unless path_normalize is asked for. Each returns 0 or a status: 13 for a
// missing argument, 5 when memory runs out (the target then unchanged).
// Out parameters may be the input path itself.

// Copies `text` and converts '\' to '/'.
[[nodiscard]] int path_set(String* path, const String* text);
// The same from NUL-terminated UTF-8.
[[nodiscard]] int path_set(String* path, const char* text);
// Adds `component` ('\' converted) after one '/': an empty component
// changes nothing, one beginning with '/' is refused with 28, and no '/' is
// added to an empty path or one that already ends with '/'.
[[nodiscard]] int path_append(String* path, const String* component);
[[nodiscard]] int path_append(String* path, const char* component);
// result = directory ('\' converted) followed by path_append of name;
// result is replaced only on success (it may alias either input).
[[nodiscard]] int path_resolve(String* result, const String* directory, const String* name);
// True when not empty and the first character is '/'.
bool path_is_absolute(const String* path);
// Everything after the last '/' (all of the path when there is none).
[[nodiscard]] int path_file_part(const String* path, String* out);
// Within the file part: after its last '.', empty when it has none.
[[nodiscard]] int path_extension(const String* path, String* out);
// Within the file part: before its last '.', all of it when it has none.
[[nodiscard]] int path_stem(const String* path, String* out);
// Everything before the last '/'; 6 when there is no '/' or the path is "/".
[[nodiscard]] int path_parent(const String* path, String* out);
// In place: one '/' per run, "." dropped, ".." followed by '/' removes the
// preceding component (never above the start), a final "." or ".." is
// dropped, trailing '/' removed (a lone leading '/' stays).
[[nodiscard]] int path_normalize(String* path);
// A mem_alloc'd NUL-terminated UTF-8 copy for the system ('\\' given as
// '/', so callers may pass paths that were never through path_set), freed with
// mem_free; null when memory runs out or path is null.
[[nodiscard]] char* path_to_utf8(const String* path);
