#include "tool/presets.h"

#include <cstdio>

const KeywordEntry PRESET_KEYWORDS[5] = {
    {"none", PRESET_NONE},
    {"mastering", PRESET_MASTERING},
    {"podcast", PRESET_PODCAST},
    {"speech-match", PRESET_SPEECH_MATCH},
    {"list", PRESET_LIST},
};

namespace {

#define MASTERING_VALUES                                                                                           \
  {"-m", "true", {}}, {"-sm", "0.333", {}}, {"-mb", "12", {}}, {"-mc", "12", {}}, {"-cl", "100", {}},              \
      {"-ph", "minimum", {}}, {"-lc", "true", {}}, {"-ml", "true", {}}, {"-gt", "40", {}}, {"-sr", "source", {}}

// A mix given the timbre of a reference, gently: smoothed, limited, in
// minimum phase, aligned, at the mix's own rate.
const PresetValue kMastering[] = {MASTERING_VALUES};

// The same for spoken word, delivered as podcasts are: -16 LUFS, a true
// peak of -1 dBTP held by the look-ahead limiter, 24 bits.
const PresetValue kPodcast[] = {
    MASTERING_VALUES,
    {"-lu", "-16", {"-lm", "-n"}},
    {"-tp", "-1", {}},
    {"-tl", "-1", {}},
    {"-b", "24", {}},
};

// A voice given the timbre and loudness of another take of it: finer
// smoothing, a narrower boost.
const PresetValue kSpeechMatch[] = {
    {"-m", "true", {}},   {"-sm", "0.167", {}}, {"-mb", "9", {}},  {"-mc", "12", {}},
    {"-cl", "100", {}},   {"-gt", "40", {}},    {"-lc", "true", {}}, {"-ml", "true", {}},
    {"-lm", "true", {"-lu", "-n"}},
};

#undef MASTERING_VALUES

}  // namespace

const PresetValue* preset_values(uint64_t preset, size_t* count) {
  switch (preset) {
    case PRESET_MASTERING:
      *count = sizeof kMastering / sizeof kMastering[0];
      return kMastering;
    case PRESET_PODCAST:
      *count = sizeof kPodcast / sizeof kPodcast[0];
      return kPodcast;
    case PRESET_SPEECH_MATCH:
      *count = sizeof kSpeechMatch / sizeof kSpeechMatch[0];
      return kSpeechMatch;
    default:
      *count = 0;
      return nullptr;
  }
}

void print_presets() {
  for (const KeywordEntry& k : PRESET_KEYWORDS) {
    size_t count = 0;
    const PresetValue* values = preset_values(k.value, &count);
    if (!values) continue;
    std::printf("%-13s", k.word);
    for (size_t i = 0; i < count; ++i) std::printf(" %s %s", values[i].option, values[i].value);
    std::printf("\n");
  }
  std::printf("Options given on the command line or in the configuration file win over the preset's.\n");
}
