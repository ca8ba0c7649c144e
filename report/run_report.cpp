#include "report/run_report.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "runtime/alloc.h"
#include "runtime/status.h"

namespace {

constexpr double kNaN = NAN;

// Replaces *slot by a copy of text (null text gives null). False when memory
// runs out (slot unchanged).
bool replace_text(char** slot, const char* text) {
  char* copy = nullptr;
  if (text && !(copy = mem_strdup(text))) return false;
  mem_free(*slot);
  *slot = copy;
  return true;
}

void audio_init(ReportAudioInfo* a) {
  *a = ReportAudioInfo{};
  a->frames = -1;
  a->duration_s = a->sample_peak_dbfs = a->loudness_lufs = a->true_peak_dbtp = kNaN;
}

void audio_release(ReportAudioInfo* a) {
  mem_free(a->path);
  audio_init(a);
}

void spectrum_release(ReportSpectrum* s) {
  mem_free(s->db);
  *s = ReportSpectrum{};
}

void curve_release(ReportCurve* c) {
  mem_free(c->db);
  *c = ReportCurve{};
}

void files_release(DynArray* files) {
  for (uint64_t i = 0; i < files->count; ++i) mem_free(static_cast<ReportFile*>(files->data)[i].path);
  dynarray_release(files);
  files->elem_size = sizeof(ReportFile);
}

void child_init(ReportChild* c) {
  *c = ReportChild{};
  audio_init(&c->input);
  audio_init(&c->output);
  c->max_boost_db = c->max_boost_hz = c->max_cut_db = c->max_cut_hz = kNaN;
  c->clamped_bins = -1;
  c->range_clamped_bins = -1;
  c->limit_clamped_bins = -1;
  c->latency_samples = -1;
  c->latency_ms = kNaN;
  c->delivery = ReportDelivery{false, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, false, kNaN};
  c->files.elem_size = sizeof(ReportFile);
}

void child_release(ReportChild* c) {
  audio_release(&c->input);
  audio_release(&c->output);
  spectrum_release(&c->spectrum);
  curve_release(&c->computed);
  curve_release(&c->applied);
  files_release(&c->files);
  mem_free(c->message);
  mem_free(c->limiter_gain_db);
  mem_free(c->curve_level_db);
  mem_free(c->plot_file);
  mem_free(c->plot_svg);
  child_init(c);
}

// A mem_alloc'd copy of `count` doubles; null for none. *ok becomes false
// when memory runs out.
double* copy_doubles(const double* values, uint64_t count, bool* ok) {
  if (!values || count == 0) return nullptr;
  double* copy = static_cast<double*>(mem_alloc(count * sizeof(double)));
  if (!copy) {
    *ok = false;
    return nullptr;
  }
  memcpy(copy, values, count * sizeof(double));
  return copy;
}

char* copy_text(const char* text, bool* ok) {
  if (!text) return nullptr;
  char* copy = mem_strdup(text);
  if (!copy) *ok = false;
  return copy;
}

void group_init(ReportGroup* g) {
  *g = ReportGroup{};
  audio_init(&g->master);
  g->children.elem_size = sizeof(ReportChild*);
  g->files.elem_size = sizeof(ReportFile);
  g->references.elem_size = sizeof(char*);
}

void group_release(ReportGroup* g) {
  mem_free(g->name);
  audio_release(&g->master);
  spectrum_release(&g->spectrum);
  spectrum_release(&g->spread_low);
  spectrum_release(&g->spread_high);
  for (uint64_t i = 0; i < g->references.count; ++i) mem_free(static_cast<char**>(g->references.data)[i]);
  dynarray_release(&g->references);
  for (uint64_t i = 0; i < g->children.count; ++i) {
    ReportChild* c = static_cast<ReportChild**>(g->children.data)[i];
    child_release(c);
    mem_free(c);
  }
  dynarray_release(&g->children);
  files_release(&g->files);
  mem_free(g->message);
  group_init(g);
}

void setting_release(ReportSetting* s) {
  mem_free(s->key);
  mem_free(s->text);
  for (uint64_t i = 0; i < s->item_count; ++i) mem_free(s->items[i]);
  mem_free(s->items);
}

// Adds a setting whose key is copied here, or replaces the value of the
// setting with that key where it stands (a JSON object has one value per
// key). The caller has filled the value fields of `s`, whose allocations
// pass to the record on success and are freed on failure.
int add_setting(RunReport* r, const char* key, ReportSetting* s) {
  if (!key) {
    setting_release(s);
    return STATUS_BAD_ARGUMENT;
  }
  ReportSetting* list = static_cast<ReportSetting*>(r->settings.data);
  for (uint64_t i = 0; i < r->settings.count; ++i) {
    if (strcmp(list[i].key, key) != 0) continue;
    s->key = list[i].key;
    list[i].key = nullptr;
    setting_release(&list[i]);
    list[i] = *s;
    return STATUS_OK;
  }
  s->key = mem_strdup(key);
  if (!s->key || !dynarray_append(&r->settings, 1, s)) {
    setting_release(s);
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

int set_outcome(ReportOutcome* outcome, int32_t* status, char** message, ReportOutcome value,
                int code, const char* text) {
  if (!replace_text(message, text)) return STATUS_NO_MEMORY;
  *outcome = value;
  *status = code;
  return STATUS_OK;
}

}  // namespace

void report_init(RunReport* r) {
  *r = RunReport{};
  r->settings.elem_size = sizeof(ReportSetting);
  r->groups.elem_size = sizeof(ReportGroup*);
  r->status = -1;
}

void report_release(RunReport* r) {
  mem_free(r->version);
  for (uint64_t i = 0; i < r->argc; ++i) mem_free(r->argv[i]);
  mem_free(r->argv);
  for (uint64_t i = 0; i < r->settings.count; ++i)
    setting_release(&static_cast<ReportSetting*>(r->settings.data)[i]);
  dynarray_release(&r->settings);
  for (uint64_t i = 0; i < r->groups.count; ++i) {
    ReportGroup* g = static_cast<ReportGroup**>(r->groups.data)[i];
    group_release(g);
    mem_free(g);
  }
  dynarray_release(&r->groups);
  mem_free(r->message);
  report_init(r);
}

int report_set_version(RunReport* r, const char* version) {
  if (!version) return STATUS_BAD_ARGUMENT;
  return replace_text(&r->version, version) ? STATUS_OK : STATUS_NO_MEMORY;
}

int report_set_command_line(RunReport* r, int argc, const char* const* argv) {
  if (argc < 0 || (argc > 0 && !argv)) return STATUS_BAD_ARGUMENT;
  uint64_t n = static_cast<uint64_t>(argc);
  char** copy = n ? static_cast<char**>(mem_calloc(n, sizeof(char*))) : nullptr;
  if (n && !copy) return STATUS_NO_MEMORY;
  for (uint64_t i = 0; i < n; ++i) {
    copy[i] = mem_strdup(argv[i] ? argv[i] : "");
    if (!copy[i]) {
      for (uint64_t j = 0; j < i; ++j) mem_free(copy[j]);
      mem_free(copy);
      return STATUS_NO_MEMORY;
    }
  }
  for (uint64_t i = 0; i < r->argc; ++i) mem_free(r->argv[i]);
  mem_free(r->argv);
  r->argv = copy;
  r->argc = n;
  return STATUS_OK;
}

int report_add_setting_number(RunReport* r, const char* key, double value) {
  ReportSetting s{};
  s.type = REPORT_VALUE_NUMBER;
  s.number = value;
  return add_setting(r, key, &s);
}

int report_add_setting_float(RunReport* r, const char* key, float value) {
  double shortest = value;
  if (std::isfinite(value)) {
    for (int digits = 1; digits <= 9; ++digits) {
      char tmp[40];
      snprintf(tmp, sizeof tmp, "%.*g", digits, static_cast<double>(value));
      double back = strtod(tmp, nullptr);
      if (static_cast<float>(back) == value) {
        shortest = back;
        break;
      }
    }
  }
  return report_add_setting_number(r, key, shortest);
}

int report_add_setting_text(RunReport* r, const char* key, const char* value) {
  ReportSetting s{};
  s.type = value ? REPORT_VALUE_TEXT : REPORT_VALUE_NULL;
  if (value && !(s.text = mem_strdup(value))) return STATUS_NO_MEMORY;
  return add_setting(r, key, &s);
}

int report_add_setting_bool(RunReport* r, const char* key, bool value) {
  ReportSetting s{};
  s.type = REPORT_VALUE_BOOL;
  s.flag = value;
  return add_setting(r, key, &s);
}

int report_add_setting_null(RunReport* r, const char* key) {
  ReportSetting s{};
  s.type = REPORT_VALUE_NULL;
  return add_setting(r, key, &s);
}

int report_add_setting_list(RunReport* r, const char* key, const char* const* items,
                            uint64_t count) {
  if (count && !items) return STATUS_BAD_ARGUMENT;
  ReportSetting s{};
  s.type = REPORT_VALUE_LIST;
  if (count) {
    s.items = static_cast<char**>(mem_calloc(count, sizeof(char*)));
    if (!s.items) return STATUS_NO_MEMORY;
    s.item_count = count;
    for (uint64_t i = 0; i < count; ++i) {
      if (!(s.items[i] = mem_strdup(items[i] ? items[i] : ""))) {
        setting_release(&s);
        return STATUS_NO_MEMORY;
      }
    }
  }
  return add_setting(r, key, &s);
}

int report_set_result(RunReport* r, int status, const char* message) {
  if (!replace_text(&r->message, message)) return STATUS_NO_MEMORY;
  r->status = status;
  return STATUS_OK;
}

int report_new_group(const char* name, ReportGroup** out) {
  if (out) *out = nullptr;
  if (!name || !out) return STATUS_BAD_ARGUMENT;
  ReportGroup* g = static_cast<ReportGroup*>(mem_alloc(sizeof(ReportGroup)));
  if (!g) return STATUS_NO_MEMORY;
  group_init(g);
  if (!(g->name = mem_strdup(name))) {
    report_delete_group(g);
    return STATUS_NO_MEMORY;
  }
  *out = g;
  return STATUS_OK;
}

int report_new_child(const char* path, ReportChild** out) {
  if (out) *out = nullptr;
  if (!out) return STATUS_BAD_ARGUMENT;
  ReportChild* c = static_cast<ReportChild*>(mem_alloc(sizeof(ReportChild)));
  if (!c) return STATUS_NO_MEMORY;
  child_init(c);
  if (path && !(c->input.path = mem_strdup(path))) {
    report_delete_child(c);
    return STATUS_NO_MEMORY;
  }
  *out = c;
  return STATUS_OK;
}

int report_child_copy(ReportChild* dst, const ReportChild* src) {
  if (!dst || !src) return STATUS_BAD_ARGUMENT;
  // Every owned member of the copy is made first, then the copy replaces
  // the record: on failure the record is as it was.
  ReportChild copy = *src;
  bool ok = true;
  copy.input.path = copy_text(src->input.path, &ok);
  copy.output.path = copy_text(src->output.path, &ok);
  copy.spectrum.db = copy_doubles(src->spectrum.db, src->spectrum.bins, &ok);
  copy.computed.db = copy_doubles(src->computed.db, src->computed.channels * src->computed.bins, &ok);
  copy.applied.db = copy_doubles(src->applied.db, src->applied.channels * src->applied.bins, &ok);
  copy.curve_level_db = copy_doubles(src->curve_level_db, src->level_channels, &ok);
  copy.limiter_gain_db = copy_doubles(src->limiter_gain_db, src->limiter_gain_count, &ok);
  copy.message = copy_text(src->message, &ok);
  copy.plot_file = copy_text(src->plot_file, &ok);
  copy.plot_svg = copy_text(src->plot_svg, &ok);
  copy.files = DynArray{};
  copy.files.elem_size = sizeof(ReportFile);
  for (uint64_t i = 0; ok && i < src->files.count; ++i) {
    const ReportFile& f = static_cast<const ReportFile*>(src->files.data)[i];
    ok = report_add_file(&copy.files, f.kind, f.path) == STATUS_OK;
  }
  if (!ok) {
    child_release(&copy);
    return STATUS_NO_MEMORY;
  }
  child_release(dst);
  *dst = copy;
  return STATUS_OK;
}

void report_delete_group(ReportGroup* g) {
  if (!g) return;
  group_release(g);
  mem_free(g);
}

void report_delete_child(ReportChild* c) {
  if (!c) return;
  child_release(c);
  mem_free(c);
}

int report_adopt_group(RunReport* r, ReportGroup* g) {
  if (!g) return STATUS_BAD_ARGUMENT;
  if (!r || !dynarray_append(&r->groups, 1, &g)) {
    report_delete_group(g);
    return r ? STATUS_NO_MEMORY : STATUS_BAD_ARGUMENT;
  }
  return STATUS_OK;
}

int report_adopt_child(ReportGroup* g, ReportChild* c) {
  if (!c) return STATUS_BAD_ARGUMENT;
  if (!g || !dynarray_append(&g->children, 1, &c)) {
    report_delete_child(c);
    return g ? STATUS_NO_MEMORY : STATUS_BAD_ARGUMENT;
  }
  return STATUS_OK;
}

int report_add_group(RunReport* r, const char* name, ReportGroup** out) {
  int st = report_new_group(name, out);
  if (st == STATUS_OK && (st = report_adopt_group(r, *out)) != STATUS_OK) *out = nullptr;
  return st;
}

int report_add_child(ReportGroup* g, const char* path, ReportChild** out) {
  if (out) *out = nullptr;
  if (!g) return STATUS_BAD_ARGUMENT;
  int st = report_new_child(path, out);
  if (st == STATUS_OK && (st = report_adopt_child(g, *out)) != STATUS_OK) *out = nullptr;
  return st;
}

int report_set_audio(ReportAudioInfo* info, const char* path, int64_t sample_rate,
                     int64_t channels, int64_t frames, double sample_peak_dbfs) {
  if (!info) return STATUS_BAD_ARGUMENT;
  if (path && !replace_text(&info->path, path)) return STATUS_NO_MEMORY;
  info->sample_rate = sample_rate;
  info->channels = channels;
  info->frames = frames;
  info->duration_s = sample_rate > 0 && frames >= 0
                         ? static_cast<double>(frames) / static_cast<double>(sample_rate)
                         : kNaN;
  info->sample_peak_dbfs = sample_peak_dbfs;
  return STATUS_OK;
}

void report_set_loudness(ReportAudioInfo* info, double loudness_lufs, double true_peak_dbtp) {
  info->loudness_lufs = loudness_lufs;
  info->true_peak_dbtp = true_peak_dbtp;
}

double report_peak_dbfs(const float* samples, uint64_t count) {
  float peak = 0;
  for (uint64_t i = 0; i < count; ++i) {
    float a = std::fabs(samples[i]);
    if (a > peak) peak = a;
  }
  return peak > 0 ? 20.0 * std::log10(static_cast<double>(peak)) : -INFINITY;
}

int report_set_spectrum(ReportSpectrum* s, const double* db, uint64_t bins, double bin_hz) {
  if (!s || (bins && !db)) return STATUS_BAD_ARGUMENT;
  double* copy = nullptr;
  if (bins) {
    if (!(copy = static_cast<double*>(mem_alloc(bins * sizeof(double))))) return STATUS_NO_MEMORY;
    memcpy(copy, db, bins * sizeof(double));
  }
  spectrum_release(s);
  s->db = copy;
  s->bins = bins;
  s->bin_hz = bin_hz;
  return STATUS_OK;
}

int report_set_grid_spectrum(ReportSpectrum* s, const double* db, uint64_t points) {
  int status = report_set_spectrum(s, db, points, 0);
  if (status == STATUS_OK) s->on_grid = s->db != nullptr;
  return status;
}

int report_set_grid_curve(ReportCurve* c, const double* db, uint64_t channels, uint64_t points) {
  int status = report_set_curve(c, db, channels, points, 0);
  if (status == STATUS_OK) c->on_grid = c->db != nullptr;
  return status;
}

int report_set_spectrum_magnitude(ReportSpectrum* s, const float* magnitude, uint64_t bins,
                                  double bin_hz) {
  if (!s || (bins && !magnitude)) return STATUS_BAD_ARGUMENT;
  double* copy = nullptr;
  if (bins) {
    if (!(copy = static_cast<double*>(mem_alloc(bins * sizeof(double))))) return STATUS_NO_MEMORY;
    for (uint64_t i = 0; i < bins; ++i)
      copy[i] = magnitude[i] > 0 ? 20.0 * std::log10(static_cast<double>(magnitude[i])) : -INFINITY;
  }
  spectrum_release(s);
  s->db = copy;
  s->bins = bins;
  s->bin_hz = bin_hz;
  return STATUS_OK;
}

int report_set_curve(ReportCurve* c, const double* db, uint64_t channels, uint64_t bins,
                     double bin_hz) {
  if (!c || (channels && bins && !db)) return STATUS_BAD_ARGUMENT;
  if (channels && bins > UINT64_MAX / sizeof(double) / channels) return STATUS_NO_MEMORY;
  uint64_t n = channels * bins;
  double* copy = nullptr;
  if (n) {
    if (!(copy = static_cast<double*>(mem_alloc(n * sizeof(double))))) return STATUS_NO_MEMORY;
    memcpy(copy, db, n * sizeof(double));
  }
  curve_release(c);
  c->db = copy;
  c->channels = n ? channels : 0;
  c->bins = n ? bins : 0;
  c->bin_hz = bin_hz;
  return STATUS_OK;
}

int report_child_set_applied(ReportChild* child, const double* db, uint64_t channels,
                             uint64_t bins, double bin_hz) {
  if (!child) return STATUS_BAD_ARGUMENT;
  int status = report_set_curve(&child->applied, db, channels, bins, bin_hz);
  if (status != STATUS_OK || child->extremes_given) return status;
  // Below 20 Hz lies only the DC bin and what no one hears; the extremes a
  // user wants are those of the plotted range.
  const ReportCurve& c = child->applied;
  double boost = -INFINITY, cut = INFINITY, boost_hz = kNaN, cut_hz = kNaN;
  for (int pass = 0; pass < 2 && std::isnan(boost_hz); ++pass) {
    for (uint64_t ch = 0; ch < c.channels; ++ch) {
      for (uint64_t k = 0; k < c.bins; ++k) {
        double hz = static_cast<double>(k) * c.bin_hz;
        double v = c.db[ch * c.bins + k];
        if ((pass == 0 && hz < 20.0) || !std::isfinite(v)) continue;
        if (v > boost) boost = v, boost_hz = hz;
        if (v < cut) cut = v, cut_hz = hz;
      }
    }
  }
  child->max_boost_db = std::isnan(boost_hz) ? kNaN : boost;
  child->max_boost_hz = boost_hz;
  child->max_cut_db = std::isnan(cut_hz) ? kNaN : cut;
  child->max_cut_hz = cut_hz;
  return STATUS_OK;
}

int report_child_set_levels(ReportChild* child, const double* level_db, uint64_t channels) {
  if (!child || (channels && !level_db)) return STATUS_BAD_ARGUMENT;
  double* copy = nullptr;
  if (channels) {
    if (!(copy = static_cast<double*>(mem_alloc(channels * sizeof(double))))) return STATUS_NO_MEMORY;
    memcpy(copy, level_db, channels * sizeof(double));
  }
  mem_free(child->curve_level_db);
  child->curve_level_db = copy;
  child->level_channels = channels;
  return STATUS_OK;
}

void report_child_set_clamps(ReportChild* child, int64_t range_bins, int64_t limit_bins) {
  child->range_clamped_bins = range_bins;
  child->limit_clamped_bins = limit_bins;
  child->clamped_bins = range_bins + limit_bins;
}

void report_child_set_extremes(ReportChild* child, double max_boost_db, double max_boost_hz,
                               double max_cut_db, double max_cut_hz) {
  child->max_boost_db = max_boost_db;
  child->max_boost_hz = max_boost_hz;
  child->max_cut_db = max_cut_db;
  child->max_cut_hz = max_cut_hz;
  child->extremes_given = true;
}

void report_child_set_latency(ReportChild* child, int64_t samples, int64_t sample_rate) {
  child->latency_samples = samples;
  child->latency_ms = samples >= 0 && sample_rate > 0
                          ? 1000.0 * static_cast<double>(samples) / static_cast<double>(sample_rate)
                          : kNaN;
}

int report_add_file(DynArray* files, ReportFileKind kind, const char* relative_path) {
  if (!files || !relative_path) return STATUS_BAD_ARGUMENT;
  ReportFile f{kind, mem_strdup(relative_path)};
  if (!f.path) return STATUS_NO_MEMORY;
  if (!dynarray_append(files, 1, &f)) {
    mem_free(f.path);
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

int report_child_add_file(ReportChild* child, ReportFileKind kind, const char* relative_path) {
  return child ? report_add_file(&child->files, kind, relative_path) : STATUS_BAD_ARGUMENT;
}

int report_group_add_file(ReportGroup* group, ReportFileKind kind, const char* relative_path) {
  return group ? report_add_file(&group->files, kind, relative_path) : STATUS_BAD_ARGUMENT;
}

int report_add_reference(ReportGroup* group, const char* path) {
  if (!group || !path) return STATUS_BAD_ARGUMENT;
  char* copy = mem_strdup(path);
  if (!copy) return STATUS_NO_MEMORY;
  if (!dynarray_append(&group->references, 1, &copy)) {
    mem_free(copy);
    return STATUS_NO_MEMORY;
  }
  return STATUS_OK;
}

int report_child_set_outcome(ReportChild* child, ReportOutcome outcome, int status,
                             const char* message) {
  if (!child) return STATUS_BAD_ARGUMENT;
  return set_outcome(&child->outcome, &child->status, &child->message, outcome, status, message);
}

int report_group_set_outcome(ReportGroup* group, ReportOutcome outcome, int status,
                             const char* message) {
  if (!group) return STATUS_BAD_ARGUMENT;
  return set_outcome(&group->outcome, &group->status, &group->message, outcome, status, message);
}

const char* report_file_kind_name(ReportFileKind kind) {
  static const char* const kNames[] = {"audio", "ir", "raw", "frc", "frm"};  // by ReportFileKind
  return kind >= REPORT_FILE_AUDIO && kind <= REPORT_FILE_FRM ? kNames[kind] : "other";
}

const char* report_outcome_name(ReportOutcome outcome) {
  switch (outcome) {
    case REPORT_DONE: return "done";
    case REPORT_SKIPPED: return "skipped";
    case REPORT_FAILED: return "failed";
    case REPORT_NOT_REACHED: return "not_reached";
  }
  return "done";
}

// ---- Relative paths ------------------------------------------------------------

namespace {

// Splits an absolute path into normalised components ("." dropped, ".."
// removes the one before). Components point into `text`, which is modified
// (separators become NUL). Returns the count, or -1 for too many.
int64_t split_components(char* text, const char** parts, int64_t max_parts) {
  int64_t n = 0;
  char* p = text;
  while (*p) {
    while (*p == '/') *p++ = 0;
    if (!*p) break;
    char* start = p;
    while (*p && *p != '/') ++p;
    if (*p) *p++ = 0;
    if (!strcmp(start, ".")) continue;
    if (!strcmp(start, "..")) {
      if (n) --n;
      continue;
    }
    if (n == max_parts) return -1;
    parts[n++] = start;
  }
  return n;
}

// mem_alloc'd absolute form of `path`: itself or the working directory
// joined with it.
int absolute_copy(const char* path, char** out) {
  *out = nullptr;
  if (path[0] == '/') {
    *out = mem_strdup(path);
    return *out ? STATUS_OK : STATUS_NO_MEMORY;
  }
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return errno == ENOMEM ? STATUS_NO_MEMORY : STATUS_SYSTEM;
  size_t a = strlen(cwd), b = strlen(path);
  char* joined = static_cast<char*>(mem_alloc(a + b + 2));
  if (!joined) return STATUS_NO_MEMORY;
  memcpy(joined, cwd, a);
  joined[a] = '/';
  memcpy(joined + a + 1, path, b + 1);
  *out = joined;
  return STATUS_OK;
}

}  // namespace

int report_relative_path(const char* from_dir, const char* target, char** out) {
  if (!out) return STATUS_BAD_ARGUMENT;
  *out = nullptr;
  if (!from_dir || !target) return STATUS_BAD_ARGUMENT;
  char *from = nullptr, *to = nullptr;
  const char** parts = nullptr;
  char* result = nullptr;
  int status = absolute_copy(from_dir, &from);
  if (status == STATUS_OK) status = absolute_copy(target, &to);
  int64_t from_max = 0, to_max = 0;
  if (status == STATUS_OK) {
    // Each component of an absolute path takes at least one byte and a '/'.
    from_max = static_cast<int64_t>(strlen(from)) / 2 + 1;
    to_max = static_cast<int64_t>(strlen(to)) / 2 + 1;
    parts = static_cast<const char**>(
        mem_alloc(sizeof(char*) * static_cast<size_t>(from_max + to_max)));
    if (!parts) status = STATUS_NO_MEMORY;
  }
  if (status == STATUS_OK) {
    const char** fp = parts;
    const char** tp = parts + from_max;
    int64_t nf = split_components(from, fp, from_max);
    int64_t nt = split_components(to, tp, to_max);
    int64_t common = 0;
    while (common < nf && common < nt && !strcmp(fp[common], tp[common])) ++common;
    size_t size = 2;
    for (int64_t i = common; i < nf; ++i) size += 3;
    for (int64_t i = common; i < nt; ++i) size += strlen(tp[i]) + 1;
    result = static_cast<char*>(mem_alloc(size));
    if (!result) {
      status = STATUS_NO_MEMORY;
    } else {
      char* w = result;
      for (int64_t i = common; i < nf; ++i) {
        if (w != result) *w++ = '/';
        memcpy(w, "..", 2);
        w += 2;
      }
      for (int64_t i = common; i < nt; ++i) {
        if (w != result) *w++ = '/';
        size_t len = strlen(tp[i]);
        memcpy(w, tp[i], len);
        w += len;
      }
      if (w == result) *w++ = '.';
      *w = 0;
    }
  }
  mem_free(parts);
  mem_free(from);
  mem_free(to);
  *out = result;
  return status;
}
