#include "runtime/suggest.h"

#include <algorithm>
#include <cstring>

#include "runtime/string.h"

size_t suggest_distance(const String* word, const char* known) {
  const size_t n = word->length, m = std::strlen(known);
  if (n > SUGGEST_MAX_LENGTH || m > SUGGEST_MAX_LENGTH) return SIZE_MAX;
  // Three rows of the distance table: the swap rule looks two rows back.
  size_t rows[3][SUGGEST_MAX_LENGTH + 1];
  size_t* before = rows[0];
  size_t* prev = rows[1];
  size_t* cur = rows[2];
  for (size_t j = 0; j <= m; ++j) prev[j] = j;
  for (size_t i = 1; i <= n; ++i) {
    cur[0] = i;
    const uint32_t a = word->chars[i - 1];
    for (size_t j = 1; j <= m; ++j) {
      const uint32_t b = static_cast<unsigned char>(known[j - 1]);
      size_t d = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a == b ? 0 : 1)});
      if (i > 1 && j > 1 && a == static_cast<unsigned char>(known[j - 2]) && word->chars[i - 2] == b)
        d = std::min(d, before[j - 2] + 1);
      cur[j] = d;
    }
    size_t* spare = before;
    before = prev;
    prev = cur;
    cur = spare;
  }
  return prev[m];
}

int64_t suggest_closest(const String* word, const char* const* known, size_t count) {
  if (!word || !known || word->length == 0) return -1;
  const size_t limit = std::max<size_t>(1, word->length / 3);
  int64_t best = -1;
  size_t best_distance = SIZE_MAX;
  for (size_t k = 0; k < count; ++k) {
    if (!known[k]) continue;
    size_t d = suggest_distance(word, known[k]);
    if (d <= limit && d < best_distance) {
      best = static_cast<int64_t>(k);
      best_distance = d;
    }
  }
  return best;
}
