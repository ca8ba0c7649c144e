#include "runtime/charset.h"

#include <clocale>
#include <cstring>

#include "runtime/alloc.h"
#include "runtime/status.h"

char* locale_charset_name() {
  const char* current = setlocale(LC_CTYPE, nullptr);
  if (!current) return nullptr;
  char* saved = mem_strdup(current);
  if (!saved) return nullptr;
  // Setting LC_CTYPE from the environment is the only portable way to learn
  // its name; the saved locale is put back before returning.
  const char* env = setlocale(LC_CTYPE, "");
  const char* dot = env ? std::strchr(env, '.') : nullptr;
  char* result;
  if (dot) {
    // A modifier such as "@euro" is not part of the character set name and
    // would make iconv refuse it.
    size_t n = std::strcspn(dot + 1, "@");
    result = static_cast<char*>(mem_alloc(n + 1));
    if (result) {
      std::memcpy(result, dot + 1, n);
      result[n] = 0;
    }
  } else {
    result = mem_strdup("UTF-8");
  }
  setlocale(LC_CTYPE, saved);
  mem_free(saved);
  return result;
}

// Tries the three (to, from) pairs in order; the first that opens wins.
static int open_first(const char* const pairs[3][2], iconv_t* out) {
  for (int i = 0; i < 3; ++i) {
    if (!pairs[i][0] || !pairs[i][1]) continue;
    iconv_t cd = iconv_open(pairs[i][0], pairs[i][1]);
    if (cd != reinterpret_cast<iconv_t>(-1)) {
      *out = cd;
      return STATUS_OK;
    }
  }
  *out = reinterpret_cast<iconv_t>(-1);
  return STATUS_NO_CONVERTER;
}

// A null charset means the locale's; when that cannot be learned the first
// attempt is skipped and the UTF-8 fallbacks remain.
static int open_converter(const char* charset, bool decode, iconv_t* out) {
  char* owned = charset ? nullptr : locale_charset_name();
  const char* name = charset ? charset : owned;
  const char* const decoding[3][2] = {{"UTF-32LE", name}, {"UTF-32LE", "UTF-8"}, {"WCHAR_T", "UTF-8"}};
  const char* const encoding[3][2] = {{name, "UTF-32LE"}, {"UTF-8", "UTF-32LE"}, {"UTF-8", "WCHAR_T"}};
  int r = open_first(decode ? decoding : encoding, out);
  mem_free(owned);
  return r;
}

int charset_open_decoder(const char* charset, iconv_t* out) { return open_converter(charset, true, out); }
int charset_open_encoder(const char* charset, iconv_t* out) { return open_converter(charset, false, out); }

void charset_close(iconv_t cd) {
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
}
