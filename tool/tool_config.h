#pragma once

#include <cstdint>

#include "analysis/curve_shape.h"
#include "analysis/mix.h"  // NormalizeMode
#include "runtime/hash_map.h"
#include "runtime/ptrlist.h"
#include "runtime/string.h"
#include "tool/output_kinds.h"  // ProduceFlags

// The run configuration: every setting of a run and the groups to process.
// Filled by the command line and the configuration file, read by the group
// pipeline and the output naming, released once at exit.

// The four trim percentages, kept together in this order because they are
// handed to the impulse-response trimming as one record of four floats
// (head cut, tail cut, fade-in, fade-out; percent of the raw IR length).
struct IrTrimSettings {
  float head_cut;
  float tail_cut;
  float fade_in;
  float fade_out;
};

// A level setting that can be switched off: `on` false means "off" (the
// default), whatever `value` holds.
struct OptionalLevel {
  float value;
  bool on;
};

// The settings that the configuration file keeps in its "ir" object:
// `ir.head_cut` is cfg.ir.trim.head_cut, `ir.file` is cfg.ir.file,
// `ir.smoothing` is cfg.ir.curve.smoothing, etc. The curve's settings are
// those the analysis shapes the curve with: the table sets all but its
// gain cap and its rate, which each group sets.
struct IrConfig {
  IrTrimSettings trim;
  String file;          // template of the trimmed IR ("ir")
  String raw;           // template of the raw IR ("raw")
  String fr_master;     // template of the master's frequency response ("frm")
  String fr_child;      // template of the child's frequency response ("frc")
  CurveSettings curve;
};

// Containers of the processed audio. FORMAT_WAV switches to RF64 by itself
// when the file would pass 4 GiB.
enum OutputFormat : uint64_t {
  FORMAT_WAV = 0,
  FORMAT_RF64 = 1,
  FORMAT_W64 = 2,
  FORMAT_AIFF = 3,
  FORMAT_FLAC = 4,
  FORMAT_AUTO = 5,
  FORMAT_MP3 = 6,
  FORMAT_OPUS = 7,
  FORMAT_VORBIS = 8,
};

// Sample formats of the processed audio: 32-bit float or integers.
enum OutputBits : uint64_t { BITS_FLOAT = 0, BITS_16 = 16, BITS_24 = 24, BITS_32 = 32 };

// How inputs are brought to the run's rate: the windowed-sinc resampler
// of the tool, or libsoxr at its very high quality.
enum ResampleQuality : uint64_t { RESAMPLE_STANDARD = 0, RESAMPLE_HIGH = 1 };

// Dither of integer output: by default TPDF for 16 and 24 bits.
enum DitherMode : uint64_t { DITHER_DEFAULT = 0, DITHER_TPDF = 1, DITHER_NONE = 2 };

// One group: a master file and its children. All strings owned.
struct Group {
  String name;    // equal to its key in ToolConfig::groups
  String master;  // as written by the user (unresolved); empty when none named
  PtrList references;  // further masters (heap Strings, owned): their median is the target
  PtrList files;  // heap Strings (string_clone), owned, in the order given
  uint64_t rate;  // the group's processing rate when the run follows its
                  // masters' rates; 0 otherwise (the run's srate holds)
  uint64_t position;  // 1-based place in the whole configuration's run order
                      // when the run is a shard or a selection; 0 otherwise
};

struct ToolConfig {
  String src_path;            // input names are resolved against it
  String dst_path;            // output names are resolved against it
  String file;                // template of the processed audio ("audio")
  uint64_t srate;             // Hz
  int64_t fft_rank;           // clamped to 8..16 at use
  uint64_t produce;           // ProduceFlags
  float gain_range;           // dB
  float dry;                  // dB
  float wet;                  // dB
  bool mastering;
  uint64_t normalize;         // NormalizeMode
  float norm_gain;            // dB
  bool latency_compensation;
  bool match_length;
  IrConfig ir;
  HashMap groups;             // String name -> owned Group*, keyed by the group's own name

  // Settings beyond the original ones; each defaults to "off", which keeps
  // the run exactly as without it. The defaults of every setting are those
  // of its row of the settings table (tool/settings.cpp).
  bool srate_source;          // each group runs at its master's rate
  bool srate_child;           // mastering only: each output keeps its child's rate
  bool dry_run;               // plan and list the outputs, read no audio
  bool keep_going;            // a failing child or group does not end the run
  bool skip_existing;         // outputs that exist are not recomputed
  bool quiet;                 // nothing on standard output
  bool match_loudness;        // output takes the loudness of the timbre's source
  OptionalLevel gate;         // dB below the loudest frame kept in profiles
  OptionalLevel loudness;     // LUFS target of the processed audio
  OptionalLevel true_peak;    // dBTP ceiling of the processed audio
  OptionalLevel limiter;      // dBTP ceiling of the look-ahead true-peak limiter
  float limiter_lookahead;    // ms
  float limiter_release;      // ms; 0 = adaptive
  uint64_t format;            // OutputFormat
  uint64_t bits;              // OutputBits
  uint64_t dither;            // DitherMode
  String report;              // directory of the run report; empty = none
  int64_t jobs;               // 0 = one per processor
  String config_file;         // the configuration file read, as named; empty = none

  // Spreading one configuration over several processes (tool/shard.h).
  String shard;               // "i/n" or "env" as given
  uint64_t shard_index;       // resolved by resolve_selection; 0
  uint64_t shard_count;       // resolved; 1
  PtrList only_groups;        // heap Strings (owned): run only these groups; empty = all
  String list_groups;         // path (or "-") of the JSON Lines plan; empty = none
  String merge_reports;       // directory whose shard reports are merged; empty = none
  String target_curve;        // CSV of frequency,dB added to the target spectrum; empty = none
  String export_curve;        // template of the CSV of the applied correction; empty = none
  bool mid_side;              // stereo curves made and applied on mid and side
  uint64_t preset;            // PresetKind
  uint64_t resample_quality;  // ResampleQuality
  int64_t bitrate;            // kbit/s of mp3 and opus output; 0 = the format's default
  String title;               // template of the title tag; empty = none
  String artist;              // template of the artist tag; empty = none
  uint64_t given[2];          // a bit per row of the settings table whose value the
                              // command line or the configuration file gave
                              // (setting_given); all clear
};

// The default template of the processed audio (that of the settings table).
extern const char* const TOOLCONFIG_DEFAULT_FILE;  // "${master_name}/${file_name} - processed.wav"

// Sets every setting to the typed default of its row of the settings table
// and creates the empty group map. The five default templates and the
// shard "0/1" need memory, so this returns 0, or 5 (STATUS_NO_MEMORY)
// when they cannot be allocated; even then the record is in a valid state
// (all numeric defaults set, the map usable, the templates possibly empty)
// and must be released with toolconfig_release.
[[nodiscard]] int toolconfig_init(ToolConfig* cfg);

// Releases all groups, then the map, then the strings in the reverse order
// of their fields. Accepts a zeroed record; idempotent.
void toolconfig_release(ToolConfig* cfg);

// Creates an empty group called `name` and inserts it into cfg->groups.
// Returns 0 with *out set to the new group (owned by the map), 17
// (STATUS_EXISTS) when a group of that name is present (*out is set to the
// existing group, nothing changes), or 5 (STATUS_NO_MEMORY; *out null,
// nothing changes). `name` must be a modifiable object (its hash is cached).
[[nodiscard]] int group_create(ToolConfig* cfg, const String* name, Group** out);

// The group called `name`, or null.
Group* toolconfig_find_group(const ToolConfig* cfg, const String* name);

// Sets the master file name: 0 or 5 (master unchanged).
[[nodiscard]] int group_set_master(Group* g, const String* master);
// Appends a copy of `file` to the children: 0 or 5 (nothing changes).
[[nodiscard]] int group_add_file(Group* g, const String* file);
// Appends a copy of `reference` to the masters after the first: 0 or 5.
[[nodiscard]] int group_add_reference(Group* g, const String* reference);
// The number of masters of the group (0 without one).
uint64_t group_master_count(const Group* g);
// Master i (0 the first) of a group with more than i masters.
const String* group_master_at(const Group* g, uint64_t i);

// Releases the child strings and their list, then master, then name, then
// the record itself (g from group_create); null allowed.
void group_release(Group* g);

// Takes the list of the map's values, clears the map (releasing its keys),
// then releases each group. Should the value list not be obtainable (out
// of memory), the groups are released by walking the map directly, so
// nothing leaks either way.
void toolconfig_release_groups(ToolConfig* cfg);
