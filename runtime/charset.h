#pragma once

#include <iconv.h>

// Character sets of the user's locale and iconv converters to and from the
// 32-bit code points of String.

// The character set of LC_CTYPE as set by the environment, discovered
// without changing the process's locale: the text after the first '.' of
// the locale name (the whole rest, e.g. "ISO-8859-1" of "de_DE.ISO-8859-1"),
// or "UTF-8" when the name has no '.'. Returns a mem_alloc'd text that the
// caller frees with mem_free, or null when the locale cannot be read or
// memory runs out.
char* locale_charset_name();

// Opens a converter that turns bytes of `charset` (null: the locale's) into
// 32-bit native-endian code points. Tries charset -> "UTF-32LE", then
// "UTF-8" -> "UTF-32LE", then "UTF-8" -> "WCHAR_T". Returns 0 with *out set,
// or 29 (STATUS_NO_CONVERTER) with *out = (iconv_t)-1 when none opens.
[[nodiscard]] int charset_open_decoder(const char* charset, iconv_t* out);

// The reverse: 32-bit code points into `charset` (null: the locale's).
// Tries "UTF-32LE" -> charset, then "UTF-32LE" -> "UTF-8", then
// "WCHAR_T" -> "UTF-8". Returns 0 or 29 as above.
[[nodiscard]] int charset_open_encoder(const char* charset, iconv_t* out);

// Closes a converter opened above; (iconv_t)-1 is ignored.
void charset_close(iconv_t cd);
