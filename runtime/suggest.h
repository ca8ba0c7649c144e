#pragma once

#include <cstddef>
#include <cstdint>

struct String;

// Words longer than this (in code points) are never suggested nor matched;
// configuration keys and option names are far shorter.
constexpr size_t SUGGEST_MAX_LENGTH = 64;

// Edit distance between `word` and the ASCII text `known`: insertions,
// deletions, substitutions and swaps of two neighbouring characters each
// count 1 (optimal string alignment), case-sensitive. Returns SIZE_MAX when
// either is longer than SUGGEST_MAX_LENGTH. Allocates nothing.
size_t suggest_distance(const String* word, const char* known);

// Index of the entry of `known` (count ASCII words) closest to `word`, when
// it is close enough to be a likely typing slip: a distance of at most
// max(1, length of word / 3). Ties go to the earlier entry; a word equal to
// an entry gives that entry. -1 when none is close enough, for an empty word,
// or when word or known is null. Allocates nothing, cannot fail.
int64_t suggest_closest(const String* word, const char* const* known, size_t count);
