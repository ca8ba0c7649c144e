#include "runtime/charset.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runtime/alloc.h"
#include "runtime/status.h"

namespace {

// The name found for the environment as it was last seen. Learning the
// name means setting the locale, which other threads may be reading, so it
// is done once per environment, under a lock; parallel work then only
// copies the kept name.
std::mutex g_charset_lock;
char g_charset_key[1024];
char g_charset[128];
bool g_charset_known = false;

// The locale settings of the environment, joined: the name depends on
// nothing else.
void environment_key(char* out, size_t size) {
  const char* all = std::getenv("LC_ALL");
  const char* ctype = std::getenv("LC_CTYPE");
  const char* lang = std::getenv("LANG");
  std::snprintf(out, size, "%s|%s|%s", all ? all : "", ctype ? ctype : "", lang ? lang : "");
}

// The character-set name of the environment's LC_CTYPE, into `out`.
bool learn_charset(char* out, size_t size) {
  const char* current = setlocale(LC_CTYPE, nullptr);
  if (!current) return false;
  char* saved = mem_strdup(current);
  if (!saved) return false;
  // Setting LC_CTYPE from the environment is the only portable way to learn
  // its name; the saved locale is put back before returning.
  const char* env = setlocale(LC_CTYPE, "");
  const char* dot = env ? std::strchr(env, '.') : nullptr;
  if (dot) {
    // A modifier such as "@euro" is not part of the character set name and
    // would make iconv refuse it.
    size_t n = std::strcspn(dot + 1, "@");
    std::snprintf(out, size, "%.*s", static_cast<int>(n), dot + 1);
  } else {
    std::snprintf(out, size, "UTF-8");
  }
  setlocale(LC_CTYPE, saved);
  mem_free(saved);
  return true;
}

}  // namespace

char* locale_charset_name() {
  char key[sizeof g_charset_key];
  environment_key(key, sizeof key);
  char name[sizeof g_charset];
  {
    std::lock_guard<std::mutex> hold(g_charset_lock);
    if (!g_charset_known || std::strcmp(key, g_charset_key) != 0) {
      if (!learn_charset(g_charset, sizeof g_charset)) return nullptr;
      std::memcpy(g_charset_key, key, sizeof key);
      g_charset_known = true;
    }
    std::memcpy(name, g_charset, sizeof name);
  }
  return mem_strdup(name);
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
