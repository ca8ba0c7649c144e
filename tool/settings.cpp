#include "tool/settings.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "tool/presets.h"
#include "tool/tool_config.h"

#ifndef TIMBRAL_VERSION_TEXT
#define TIMBRAL_VERSION_TEXT "0.2.0"
#endif

const char* const TIMBRAL_VERSION = TIMBRAL_VERSION_TEXT;

const KeywordEntry PHASE_KEYWORDS[2] = {{"linear", 0}, {"minimum", 1}};
const KeywordEntry FORMAT_KEYWORDS[9] = {
    {"wav", FORMAT_WAV},   {"rf64", FORMAT_RF64}, {"w64", FORMAT_W64},       {"aiff", FORMAT_AIFF},
    {"flac", FORMAT_FLAC}, {"auto", FORMAT_AUTO}, {"mp3", FORMAT_MP3},       {"opus", FORMAT_OPUS},
    {"vorbis", FORMAT_VORBIS},
};
const KeywordEntry BITS_KEYWORDS[4] = {{"float", BITS_FLOAT}, {"16", BITS_16}, {"24", BITS_24}, {"32", BITS_32}};
const KeywordEntry DITHER_KEYWORDS[2] = {{"tpdf", DITHER_TPDF}, {"none", DITHER_NONE}};
const KeywordEntry RESAMPLE_KEYWORDS[2] = {{"standard", RESAMPLE_STANDARD}, {"high", RESAMPLE_HIGH}};

namespace {

constexpr size_t kNone = SIZE_MAX;
constexpr double kNoMin = 1.0;  // min > max: no range check
constexpr double kNoMax = 0.0;

#define FIELD(f) offsetof(ToolConfig, f)
#define KW(t) t, static_cast<uint32_t>(sizeof(t) / sizeof((t)[0]))

}  // namespace

// Rows in the order the command line applies their values (the rows that
// take none first); the sixth column is the row's place in the help, where
// the original 26 options come first in their own order.
const SettingRow SETTINGS[] = {
    {"-c", "--config", nullptr, SETTING_CONFIG, SETTING_ORIGINAL, 0, "config", "path", "", 0, nullptr, 0, kNoMin,
     kNoMax, kNone, "Configuration file name (required if no -mf option is set)"},
    {"-cf", "--child", nullptr, SETTING_CHILD, SETTING_ORIGINAL, 1, "child", "path", "", 0, nullptr, 0, kNoMin,
     kNoMax, kNone, "The name of the child file (multiple options allowed)"},
    {"-g", "--group", nullptr, SETTING_GROUP, SETTING_ORIGINAL, 8, "group", "name", "default", 0, nullptr, 0, kNoMin,
     kNoMax, kNone, "The group name for -cf (--child) option, \"default\" if not set"},
    {"-h", "--help", nullptr, SETTING_ACTION, SETTING_ORIGINAL, 9, "help", "", "", 0, nullptr, 0, kNoMin, kNoMax,
     kNone, "Output this help message"},
    {"-mf", "--master", nullptr, SETTING_GROUP, SETTING_ORIGINAL, 18, "master", "path", "", 0, nullptr, 0, kNoMin,
     kNoMax, kNone, "The name of the master file"},
    {"-V", "--version", nullptr, SETTING_ACTION, 0, 26, "version", "", "", 0, nullptr, 0, kNoMin, kNoMax, kNone,
     "Output the version and exit"},
    {"-og", "--only-group", nullptr, SETTING_NAMES, 0, 35, "only group", "name", "", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(only_groups), "Run only this group (multiple options allowed)"},
    {"-f", "--file", "file", SETTING_TEMPLATE, SETTING_ORIGINAL, 4, "file", "template",
     "${master_name}/${file_name} - processed.wav", 0, nullptr, 0, kNoMin, kNoMax, FIELD(file),
     "Format of the output file name"},
    {"-ir", "--ir-file", "file", SETTING_TEMPLATE, SETTING_ORIGINAL | SETTING_IN_IR, 10, "ir-file", "template",
     "${master_name}/${file_name} - IR.wav", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.file),
     "Format of the processed impulse response file name"},
    {"-iw", "--ir-raw", "raw", SETTING_TEMPLATE, SETTING_ORIGINAL | SETTING_IN_IR, 11, "ir-raw", "template",
     "${master_name}/${file_name} - Raw IR.wav", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.raw),
     "Format of the raw impulse response file name"},
    {"-ifi", "--ir-fade-in", "fade_in", SETTING_FLOAT, SETTING_ORIGINAL | SETTING_IN_IR, 12, "IR fade in", "percent",
     "0", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.trim.fade_in), "The amount (in %) of fade-in for the IR file"},
    {"-ifo", "--ir-fade-out", "fade_out", SETTING_FLOAT, SETTING_ORIGINAL | SETTING_IN_IR, 13, "IR fade out",
     "percent", "0", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.trim.fade_out),
     "The amount (in %) of fade-out for the IR file"},
    {"-ihc", "--ir-head-cut", "head_cut", SETTING_FLOAT, SETTING_ORIGINAL | SETTING_IN_IR, 14, "IR head cut",
     "percent", "0", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.trim.head_cut),
     "The amount (in %) of head cut for the IR file"},
    {"-itc", "--ir-tail-cut", "tail_cut", SETTING_FLOAT, SETTING_ORIGINAL | SETTING_IN_IR, 15, "IR tail cut",
     "percent", "0", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.trim.tail_cut),
     "The amount (in %) of tail cut for the IR file"},
    {"-d", "--dst-path", "dst_path", SETTING_TEXT, SETTING_ORIGINAL, 2, "dst-path", "path", "", 0, nullptr, 0, kNoMin,
     kNoMax, FIELD(dst_path), "Destination path to store audio files"},
    {"-s", "--src-path", "src_path", SETTING_TEXT, SETTING_ORIGINAL, 23, "src-path", "path", "", 0, nullptr, 0,
     kNoMin, kNoMax, FIELD(src_path), "Source path to take files from"},
    {"-sr", "--srate", "srate", SETTING_RATE, SETTING_ORIGINAL, 24, "sample rate", "Hz, source or child", "48000",
     48000, nullptr, 0, 1000.0, 1536000.0, FIELD(srate), "Sample rate of output files"},
    {"-fr", "--fft-rank", "fft_rank", SETTING_INTEGER, SETTING_ORIGINAL, 5, "FFT rank", "integer", "12", 12, nullptr,
     0, kNoMin, kNoMax, FIELD(fft_rank), "The FFT rank (resolution) used for profiling"},
    {"-dg", "--dry", "dry", SETTING_FLOAT, SETTING_ORIGINAL | SETTING_NEG_INFINITY, 3, "dry", "dB", "-1000", -1000,
     nullptr, 0, kNoMin, kNoMax, FIELD(dry), "The amount (in dB) of unprocessed signal in output file"},
    {"-wg", "--wet", "wet", SETTING_FLOAT, SETTING_ORIGINAL | SETTING_NEG_INFINITY, 25, "wet", "dB", "0", 0, nullptr,
     0, kNoMin, kNoMax, FIELD(wet), "The amount (in dB) of processed signal in output file"},
    {"-m", "--mastering", "mastering", SETTING_BOOLEAN, SETTING_ORIGINAL, 17, "mastering", "boolean", "false", 0,
     nullptr, 0, kNoMin, kNoMax, FIELD(mastering), "Work as auto-mastering tool instead of timbral correction"},
    {"-ng", "--norm-gain", "norm_gain", SETTING_FLOAT, SETTING_ORIGINAL, 21, "norm-gain", "dB", "0", 0, nullptr, 0,
     kNoMin, kNoMax, FIELD(norm_gain), "Set normalization peak gain (in dB)"},
    {"-n", "--normalize", "normalize", SETTING_KEYWORD, SETTING_ORIGINAL, 20, "normalize", "mode", "none",
     NORMALIZE_NONE, KW(NORMALIZE_KEYWORDS), kNoMin, kNoMax, FIELD(normalize), "Set normalization mode"},
    {"-p", "--produce", "produce", SETTING_PRODUCE, SETTING_ORIGINAL, 22, "produce", "list", "all (-c), audio (-mf)",
     PRODUCE_ALL, KW(PRODUCE_KEYWORDS), kNoMin, kNoMax, FIELD(produce),
     "Comma-separated list of produced output files (ir,frm,frc,raw,audio,all)"},
    {"-lc", "--latency-compensation", "latency_compensation", SETTING_BOOLEAN, SETTING_ORIGINAL, 16,
     "latency compensation", "boolean", "false", 0, nullptr, 0, kNoMin, kNoMax, FIELD(latency_compensation),
     "Enable or disable latency compensation of the processed audio"},
    {"-ml", "--match-length", "match_length", SETTING_BOOLEAN, SETTING_ORIGINAL, 19, "match length", "boolean",
     "false", 0, nullptr, 0, kNoMin, kNoMax, FIELD(match_length),
     "Match the length of the output file to the input file"},
    {"-frm", "--fr-master", "fr_master", SETTING_TEMPLATE, SETTING_ORIGINAL | SETTING_IN_IR, 7, "fr-master",
     "template", "${master_name}/${file_name} - FR Master.wav", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.fr_master),
     "The name of the frequency response file for the master file"},
    {"-frc", "--fr-child", "fr_child", SETTING_TEMPLATE, SETTING_ORIGINAL | SETTING_IN_IR, 6, "fr-child", "template",
     "${master_name}/${file_name} - FR Child.wav", 0, nullptr, 0, kNoMin, kNoMax, FIELD(ir.fr_child),
     "The name of the frequency response file for the child file"},
    {"-q", "--quiet", "quiet", SETTING_BOOLEAN, 0, 27, "quiet", "boolean", "false", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(quiet), "Print nothing on standard output (warnings and errors still show)"},
    {"-dr", "--dry-run", "dry_run", SETTING_BOOLEAN, 0, 28, "dry run", "boolean", "false", 0, nullptr, 0, kNoMin,
     kNoMax, FIELD(dry_run), "Check the run and list the planned outputs without reading audio"},
    {"-k", "--keep-going", "keep_going", SETTING_BOOLEAN, 0, 29, "keep going", "boolean", "false", 0, nullptr, 0,
     kNoMin, kNoMax, FIELD(keep_going), "Skip a failing child or group and go on with the rest of the run"},
    {"-se", "--skip-existing", "skip_existing", SETTING_BOOLEAN, 0, 30, "skip existing", "boolean", "false", 0,
     nullptr, 0, kNoMin, kNoMax, FIELD(skip_existing),
     "Do not recompute outputs that exist and are up to date (records kept beside them)"},
    {"-j", "--jobs", "jobs", SETTING_INTEGER, 0, 31, "jobs", "integer", "1", 1, nullptr, 0, 0.0, 1024.0, FIELD(jobs),
     "Number of children processed in parallel (0 = one per processor)"},
    {"-r", "--report", "report", SETTING_TEXT, 0, 32, "report", "path", "", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(report), "Directory of the run report (report.json, plots, index.html)"},
    {"-sh", "--shard", "shard", SETTING_TEXT, 0, 33, "shard", "i/n or env", "0/1", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(shard), "Run only shard i of n of the groups (env: index and count from the scheduler)"},
    {"-lg", "--list-groups", nullptr, SETTING_TEXT, 0, 34, "list groups", "path", "", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(list_groups), "Write the groups of the run as JSON Lines (- for standard output) and exit"},
    {"", "--merge-reports", nullptr, SETTING_TEXT, 0, 36, "merge reports", "path", "", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(merge_reports), "Merge the shard reports under this directory into one and exit"},
    {"-gr", "--gain-range", "gain_range", SETTING_FLOAT, SETTING_FINITE, 37, "gain range", "dB", "48", 48, nullptr, 0,
     0.0, 600.0, FIELD(gain_range), "Largest boost or cut (in dB) of any IR bin"},
    {"-cl", "--channel-link", "channel_link", SETTING_FLOAT, SETTING_IN_IR | SETTING_FINITE, 38, "channel link",
     "percent", "0", 0, nullptr, 0, 0.0, 100.0, FIELD(ir.curve.channel_link),
     "The amount (in %) of the channels' common curve given to every channel"},
    {"-sm", "--smoothing", "smoothing", SETTING_FLOAT, SETTING_IN_IR | SETTING_FINITE, 39, "smoothing", "octaves",
     "0", 0, nullptr, 0, 0.0, 10.0, FIELD(ir.curve.smoothing),
     "Fractional-octave smoothing of the curve (in octaves, 0 = off)"},
    {"-lf", "--low-freq", "low_freq", SETTING_FLOAT, SETTING_IN_IR | SETTING_FINITE, 40, "low freq", "Hz", "0", 0,
     nullptr, 0, 0.0, 1e7, FIELD(ir.curve.low_freq), "Lowest corrected frequency (in Hz, 0 = off)"},
    {"-hf", "--high-freq", "high_freq", SETTING_FLOAT, SETTING_IN_IR | SETTING_FINITE, 41, "high freq", "Hz", "0", 0,
     nullptr, 0, 0.0, 1e7, FIELD(ir.curve.high_freq), "Highest corrected frequency (in Hz, 0 = off)"},
    {"-a", "--amount", "amount", SETTING_FLOAT, SETTING_IN_IR | SETTING_FINITE, 42, "amount", "percent", "100", 100,
     nullptr, 0, 0.0, 1000.0, FIELD(ir.curve.amount),
     "The amount (in %) of the correction curve's shape applied around its level"},
    {"-mb", "--max-boost", "max_boost", SETTING_LIMIT, SETTING_IN_IR | SETTING_ZERO_WAS_OFF, 43, "max boost",
     "dB or off", "off", kSettingOff, nullptr, 0, 0.0, 600.0, FIELD(ir.curve.max_boost),
     "Largest boost (in dB) of the curve above its level (0 = no boost, off = no limit)"},
    {"-mc", "--max-cut", "max_cut", SETTING_LIMIT, SETTING_IN_IR | SETTING_ZERO_WAS_OFF, 44, "max cut", "dB or off",
     "off", kSettingOff, nullptr, 0, 0.0, 600.0, FIELD(ir.curve.max_cut),
     "Largest cut (in dB) of the curve below its level (0 = no cut, off = no limit)"},
    {"-ph", "--phase", "phase", SETTING_CHOICE, SETTING_IN_IR, 45, "phase", "keyword", "linear", 0,
     KW(PHASE_KEYWORDS), kNoMin, kNoMax, FIELD(ir.curve.minimum_phase),
     "Phase of the correction filter (linear, minimum)"},
    {"-tc", "--target-curve", "target_curve", SETTING_TEXT, 0, 46, "target curve", "path", "", 0, nullptr, 0, kNoMin,
     kNoMax, FIELD(target_curve),
     "CSV of frequency,dB rows added to the target spectrum (the whole target without a master)"},
    {"-gt", "--gate", "gate", SETTING_LEVEL, SETTING_ZERO_OFF, 49, "gate", "dB or off", "off", kSettingOff, nullptr,
     0, 0.0, 300.0, FIELD(gate),
     "Profile only frames above -70 dBFS and within this many dB of their mean power (0 = off)"},
    {"-lu", "--loudness", "loudness", SETTING_LEVEL, 0, 50, "loudness", "LUFS or off", "off", kSettingOff, nullptr, 0,
     -70.0, 0.0, FIELD(loudness), "Integrated loudness target (in LUFS, -70..0) of the processed audio"},
    {"-lm", "--match-loudness", "match_loudness", SETTING_BOOLEAN, 0, 51, "match loudness", "boolean", "false", 0,
     nullptr, 0, kNoMin, kNoMax, FIELD(match_loudness),
     "Give the output the loudness of the file whose timbre it takes"},
    {"-tp", "--true-peak", "true_peak", SETTING_LEVEL, 0, 52, "true peak", "dBTP or off", "off", kSettingOff, nullptr,
     0, -100.0, 20.0, FIELD(true_peak), "True-peak ceiling (in dBTP) of the processed audio"},
    {"-of", "--format", "format", SETTING_KEYWORD, 0, 53, "format", "keyword", "wav", FORMAT_WAV, KW(FORMAT_KEYWORDS),
     kNoMin, kNoMax, FIELD(format),
     "File format of the processed audio (wav, rf64, w64, aiff, flac, auto, mp3, opus, vorbis)"},
    {"-b", "--bits", "bits", SETTING_KEYWORD, SETTING_NUMERIC_WORDS, 54, "bits", "keyword", "float", BITS_FLOAT,
     KW(BITS_KEYWORDS), kNoMin, kNoMax, FIELD(bits), "Sample format of the processed audio (float, 16, 24, 32)"},
    {"-di", "--dither", "dither", SETTING_KEYWORD, 0, 55, "dither", "keyword", "tpdf (16, 24 bits)", DITHER_DEFAULT,
     KW(DITHER_KEYWORDS), kNoMin, kNoMax, FIELD(dither), "Dither of 16- and 24-bit output (tpdf, none)"},
    {"-ec", "--export-curve", "export_curve", SETTING_TEMPLATE, 0, 47, "export curve", "template", "", 0, nullptr, 0,
     kNoMin, kNoMax, FIELD(export_curve),
     "Name of a CSV of the applied correction per channel on a 1/24-octave grid"},
    {"-tl", "--true-peak-limiter", "true_peak_limiter", SETTING_LEVEL, 0, 56, "true-peak limiter", "dBTP or off",
     "off", kSettingOff, nullptr, 0, -20.0, 0.0, FIELD(limiter),
     "Ceiling (in dBTP) of a look-ahead true-peak limiter after the loudness gain"},
    {"-ms", "--mid-side", "mid_side", SETTING_BOOLEAN, 0, 48, "mid side", "boolean", "false", 0, nullptr, 0, kNoMin,
     kNoMax, FIELD(mid_side), "Match stereo files on mid and side instead of left and right"},
    {"-tla", "--limiter-lookahead", "limiter_lookahead", SETTING_FLOAT, SETTING_FINITE, 57, "limiter lookahead", "ms",
     "1.5", 1.5, nullptr, 0, 0.5, 10.0, FIELD(limiter_lookahead),
     "Look-ahead (attack) of the true-peak limiter (in ms)"},
    {"-tlr", "--limiter-release", "limiter_release", SETTING_FLOAT, SETTING_FINITE | SETTING_ZERO_TOO, 58,
     "limiter release", "ms", "0", 0, nullptr, 0, 10.0, 1000.0, FIELD(limiter_release),
     "Release time of the true-peak limiter (in ms, 0 = adaptive)"},
    {"-ps", "--preset", "preset", SETTING_KEYWORD, 0, 59, "preset", "keyword", "none", PRESET_NONE,
     KW(PRESET_KEYWORDS), kNoMin, kNoMax, FIELD(preset),
     "Defaults for a kind of work (mastering, podcast, speech-match; list prints them)"},
    {"-rq", "--resample-quality", "resample_quality", SETTING_KEYWORD, 0, 60, "resample quality", "keyword",
     "standard", RESAMPLE_STANDARD, KW(RESAMPLE_KEYWORDS), kNoMin, kNoMax, FIELD(resample_quality),
     "Resampling of inputs to the run's rate (standard; high: libsoxr, very high quality)"},
    {"-br", "--bitrate", "bitrate", SETTING_INTEGER, SETTING_ZERO_TOO, 61, "bitrate", "kbit/s", "0", 0, nullptr, 0,
     6.0, 2048.0, FIELD(bitrate),
     "Constant bitrate (in kbit/s) of mp3 and opus output (0 = 192 for mp3, 128 for opus)"},
    {"-tt", "--title", "title", SETTING_TEMPLATE, 0, 62, "title", "template", "", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(title), "Title tag of the processed audio (a template like the file names)"},
    {"-ta", "--artist", "artist", SETTING_TEMPLATE, 0, 63, "artist", "template", "", 0, nullptr, 0, kNoMin, kNoMax,
     FIELD(artist), "Artist tag of the processed audio (a template like the file names)"},
};

const size_t SETTINGS_COUNT = sizeof(SETTINGS) / sizeof(SETTINGS[0]);
static_assert(sizeof(SETTINGS) / sizeof(SETTINGS[0]) <= 64 * sizeof(ToolConfig::given) / sizeof(uint64_t),
              "ToolConfig::given has a bit per row");

bool setting_given(const ToolConfig* cfg, const SettingRow* row) {
  const size_t i = static_cast<size_t>(row - SETTINGS);
  return (cfg->given[i / 64] >> (i % 64)) & 1;
}

void setting_mark_given(ToolConfig* cfg, const SettingRow* row) {
  const size_t i = static_cast<size_t>(row - SETTINGS);
  cfg->given[i / 64] |= uint64_t{1} << (i % 64);
}

const SettingRow* setting_in_help_order(size_t i) {
  for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri)
    if (SETTINGS[ri].help_order == i) return &SETTINGS[ri];
  return nullptr;
}

const SettingRow* setting_by_option(const char* name) {
  for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri) {
    const SettingRow& row = SETTINGS[ri];
    if ((row.short_name[0] && std::strcmp(row.short_name, name) == 0) || std::strcmp(row.long_name, name) == 0)
      return &row;
  }
  return nullptr;
}

const SettingRow* setting_by_key(const String* key, bool in_ir) {
  for (size_t ri = 0; ri < SETTINGS_COUNT; ++ri) {
    const SettingRow& row = SETTINGS[ri];
    if (!row.key || ((row.flags & SETTING_IN_IR) != 0) != in_ir) continue;
    if (string_compare_cstr(key, row.key) == 0) return &row;
  }
  return nullptr;
}

bool setting_in_range(const SettingRow* row, double value) {
  if (std::isnan(value)) return false;
  if (row->min > row->max) return true;
  if ((row->flags & SETTING_ZERO_TOO) && value == 0.0) return true;
  return value >= row->min && value <= row->max;
}

const char* setting_keyword_text(const SettingRow* row, uint64_t value) {
  for (uint32_t i = 0; i < row->keyword_count; ++i) {
    if (row->keywords[i].value == value) return row->keywords[i].word;
  }
  return nullptr;
}
