#include "tool/report_merge.h"

#include <dirent.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/document_reader.h"
#include "report/html_overview.h"
#include "report/report_writer.h"
#include "report/run_report.h"
#include "report/svg_plot.h"
#include "report/text_buffer.h"
#include "runtime/alloc.h"
#include "runtime/file_reader.h"
#include "runtime/ptrlist.h"
#include "runtime/status.h"
#include "runtime/string.h"
#include "tool/output_kinds.h"
#include "tool/tool_config.h"

namespace {

// ---- A JSON document as a tree ---------------------------------------------
// report.json is small enough to hold whole; the merge reorders its groups
// and rewrites a few members, then writes it out in the writer's layout.

enum NodeKind : int32_t { NODE_NULL, NODE_BOOL, NODE_INTEGER, NODE_REAL, NODE_STRING, NODE_ARRAY, NODE_OBJECT };

struct Node {
  NodeKind kind;
  bool flag;
  int64_t integer;
  double real;
  char* text;     // NODE_STRING, UTF-8
  PtrList items;  // NODE_ARRAY, NODE_OBJECT: Node*, owned
  PtrList keys;   // NODE_OBJECT: char*, owned, beside items
};

constexpr uint64_t kMaxDepth = 64;  // report.json nests six deep

Node* node_new(NodeKind kind) {
  Node* n = static_cast<Node*>(mem_calloc(1, sizeof(Node)));
  if (!n) return nullptr;
  n->kind = kind;
  ptrlist_init(&n->items);
  ptrlist_init(&n->keys);
  return n;
}

// Frees a tree without recursion (a tree that failed half-built too).
void node_free(Node* root) {
  if (!root) return;
  PtrList pending;
  ptrlist_init(&pending);
  Node* n = root;
  while (n) {
    for (uint64_t i = 0; i < n->items.count; ++i) {
      Node* child = static_cast<Node*>(n->items.items[i]);
      // Without memory for the list a child is freed right away, recursively,
      // which a parsed tree's bounded depth allows.
      if (child && !ptrlist_push(&pending, child)) node_free(child);
    }
    for (uint64_t i = 0; i < n->keys.count; ++i) mem_free(n->keys.items[i]);
    ptrlist_release(&n->items);
    ptrlist_release(&n->keys);
    mem_free(n->text);
    mem_free(n);
    n = pending.count ? static_cast<Node*>(pending.items[--pending.count]) : nullptr;
  }
  ptrlist_release(&pending);
}

const Node* member(const Node* obj, const char* key) {
  if (!obj || obj->kind != NODE_OBJECT) return nullptr;
  for (uint64_t i = 0; i < obj->keys.count; ++i)
    if (std::strcmp(static_cast<const char*>(obj->keys.items[i]), key) == 0) return static_cast<Node*>(obj->items.items[i]);
  return nullptr;
}
Node* member(Node* obj, const char* key) {
  return const_cast<Node*>(member(static_cast<const Node*>(obj), key));
}

// Removes member `key` (freeing it); nothing when absent.
void remove_member(Node* obj, const char* key) {
  for (uint64_t i = 0; obj && i < obj->keys.count; ++i) {
    if (std::strcmp(static_cast<const char*>(obj->keys.items[i]), key) != 0) continue;
    mem_free(obj->keys.items[i]);
    node_free(static_cast<Node*>(obj->items.items[i]));
    for (uint64_t k = i + 1; k < obj->keys.count; ++k) {
      obj->keys.items[k - 1] = obj->keys.items[k];
      obj->items.items[k - 1] = obj->items.items[k];
    }
    --obj->keys.count;
    --obj->items.count;
    return;
  }
}

// Inserts `value` as `key` before member `before` (at the end when absent);
// takes `value` in every case. False without memory, or for a null value.
bool insert_member(Node* obj, const char* key, Node* value, const char* before) {
  if (!value) return false;  // a value that could not be made
  char* copy = mem_strdup(key);
  if (!copy || !ptrlist_push(&obj->keys, copy)) {
    mem_free(copy);
    node_free(value);
    return false;
  }
  if (!ptrlist_push(&obj->items, value)) {
    --obj->keys.count;
    mem_free(copy);
    node_free(value);
    return false;
  }
  uint64_t at = obj->keys.count - 1;
  for (uint64_t i = 0; i + 1 < obj->keys.count; ++i)
    if (std::strcmp(static_cast<const char*>(obj->keys.items[i]), before) == 0) at = i;
  for (uint64_t k = obj->keys.count - 1; k > at; --k) {
    obj->keys.items[k] = obj->keys.items[k - 1];
    obj->items.items[k] = obj->items.items[k - 1];
  }
  obj->keys.items[at] = copy;
  obj->items.items[at] = value;
  return true;
}

const char* string_of(const Node* n) { return n && n->kind == NODE_STRING ? n->text : nullptr; }

bool integer_of(const Node* n, int64_t* out) {
  if (!n || n->kind != NODE_INTEGER) return false;
  *out = n->integer;
  return true;
}

double number_of(const Node* n) {
  if (n && n->kind == NODE_INTEGER) return static_cast<double>(n->integer);
  if (n && n->kind == NODE_REAL) return n->real;
  return std::nan("");
}

// Reads the JSON document at `path` into *out. 0, 5, the reader's status
// (6 and the like for the file; 55, 34, 25 for the text) with *why set to a
// phrase.
int parse_file(const char* path, Node** out, const char** why) {
  *out = nullptr;
  *why = "cannot be read";
  FileReader file;
  int st = file.open(path, "UTF-8");
  if (st != 0) return st;
  DocumentReader reader;
  document_reader_init(&reader);
  st = document_reader_open(&reader, &file, 0, 0);
  DocumentEvent e;
  document_event_init(&e);
  Node* root = nullptr;
  PtrList stack;  // open containers
  ptrlist_init(&stack);
  char* pending_key = nullptr;
  while (st == 0) {
    st = document_reader_next(&reader, &e);
    if (st == STATUS_END_OF_STREAM && root && stack.count == 0) {
      st = 0;
      break;
    }
    if (st != 0) {
      DocumentError error;
      *why = document_reader_error(&reader, &error) && error.message ? error.message : "is not JSON";
      break;
    }
    if (e.kind == PROPERTY) {
      mem_free(pending_key);
      const char* k = string_to_utf8(&e.text);
      pending_key = k ? mem_strdup(k) : nullptr;
      if (!pending_key) st = STATUS_NO_MEMORY;
      continue;
    }
    if (e.kind == OBJECT_END || e.kind == ARRAY_END) {
      if (stack.count) --stack.count;
      if (stack.count == 0) break;
      continue;
    }
    Node* n = nullptr;
    switch (e.kind) {
      case OBJECT_BEGIN: n = node_new(NODE_OBJECT); break;
      case ARRAY_BEGIN: n = node_new(NODE_ARRAY); break;
      case STRING: {
        n = node_new(NODE_STRING);
        const char* t = string_to_utf8(&e.text);
        if (n && !(n->text = t ? mem_strdup(t) : nullptr)) {
          node_free(n);
          n = nullptr;
        }
        break;
      }
      case INTEGER:
        if ((n = node_new(NODE_INTEGER))) n->integer = e.value.integer;
        break;
      case FLOAT:
        if ((n = node_new(NODE_REAL))) n->real = e.value.real;
        break;
      case BOOLEAN:
        if ((n = node_new(NODE_BOOL))) n->flag = e.value.boolean != 0;
        break;
      default: n = node_new(NODE_NULL); break;
    }
    if (!n) {
      st = STATUS_NO_MEMORY;
      break;
    }
    if (!root) {
      root = n;
    } else {
      Node* parent = static_cast<Node*>(stack.items[stack.count - 1]);
      bool ok = ptrlist_push(&parent->items, n) != nullptr;
      if (!ok) node_free(n);
      if (ok && parent->kind == NODE_OBJECT) {
        ok = ptrlist_push(&parent->keys, pending_key) != nullptr;
        if (ok) {
          pending_key = nullptr;
        } else {
          --parent->items.count;
          node_free(n);
        }
      }
      if (!ok) {
        st = STATUS_NO_MEMORY;
        break;
      }
    }
    if (n->kind == NODE_OBJECT || n->kind == NODE_ARRAY) {
      if (stack.count >= kMaxDepth) {
        st = STATUS_SYNTAX;
        *why = "nests too deeply for a report";
        break;
      }
      if (!ptrlist_push(&stack, n)) {
        st = STATUS_NO_MEMORY;
        break;
      }
    }
    if (stack.count == 0) break;  // a scalar root
  }
  if (st == STATUS_NO_MEMORY) *why = "needs more memory than there is";
  mem_free(pending_key);
  ptrlist_release(&stack);
  document_event_release(&e);
  document_reader_release(&reader);
  (void)file.close();
  if (st != 0) {
    node_free(root);
    return st;
  }
  *out = root;
  return 0;
}

// Writes `n` in report.json's layout: a member per line, arrays that hold
// no object on one line.
void emit(TextBuffer* b, const Node* n, int depth, bool flat) {
  auto newline = [&](int d) {
    text_append_char(b, '\n');
    for (int i = 0; i < d; ++i) text_append(b, "  ");
  };
  switch (n->kind) {
    case NODE_NULL: text_append(b, "null"); return;
    case NODE_BOOL: text_append(b, n->flag ? "true" : "false"); return;
    case NODE_INTEGER: text_appendf(b, "%" PRId64, n->integer); return;
    // The writer gives at most 10 significant digits (settings: the
    // shortest text of a float); 15 undo the last bit the reading may lose.
    case NODE_REAL: text_append_number(b, n->real, 15, "null"); return;
    case NODE_STRING: text_append_json_string(b, n->text); return;
    case NODE_ARRAY: {
      bool inline_items = flat;
      if (!inline_items) {
        inline_items = true;
        for (uint64_t i = 0; i < n->items.count; ++i)
          if (static_cast<const Node*>(n->items.items[i])->kind == NODE_OBJECT) inline_items = false;
      }
      text_append_char(b, '[');
      for (uint64_t i = 0; i < n->items.count; ++i) {
        if (i) text_append(b, inline_items ? ", " : ",");
        if (!inline_items) newline(depth + 1);
        emit(b, static_cast<const Node*>(n->items.items[i]), depth + 1, inline_items);
      }
      if (!inline_items && n->items.count) newline(depth);
      text_append_char(b, ']');
      return;
    }
    case NODE_OBJECT:
      text_append_char(b, '{');
      for (uint64_t i = 0; i < n->items.count; ++i) {
        if (i) text_append(b, flat ? ", " : ",");
        if (!flat) newline(depth + 1);
        text_append_json_string(b, static_cast<const char*>(n->keys.items[i]));
        text_append(b, ": ");
        emit(b, static_cast<const Node*>(n->items.items[i]), depth + 1, flat);
      }
      if (!flat && n->items.count) newline(depth);
      text_append_char(b, '}');
      return;
  }
}

// ---- The merge --------------------------------------------------------------

struct Shard {
  uint64_t index;
  char* directory;  // "shard-I-of-N"
  Node* report;     // null when missing
};

struct MergedGroup {
  int64_t position;
  uint64_t shard;   // index into the shard table
  Node* group;      // inside that shard's report
};

int compare_groups(const void* a, const void* b) {
  const MergedGroup* x = static_cast<const MergedGroup*>(a);
  const MergedGroup* y = static_cast<const MergedGroup*>(b);
  if (x->position != y->position) return x->position < y->position ? -1 : 1;
  return x->shard < y->shard ? -1 : x->shard > y->shard ? 1 : 0;
}

int compare_names(const void* a, const void* b) {
  const MergedGroup* x = *static_cast<const MergedGroup* const*>(a);
  const MergedGroup* y = *static_cast<const MergedGroup* const*>(b);
  return std::strcmp(string_of(member(x->group, "name")), string_of(member(y->group, "name")));
}

char* join_path(const char* a, const char* b) {
  size_t la = std::strlen(a), lb = std::strlen(b);
  char* out = static_cast<char*>(mem_alloc(la + lb + 2));
  if (!out) return nullptr;
  std::memcpy(out, a, la);
  out[la] = '/';
  std::memcpy(out + la + 1, b, lb + 1);
  return out;
}

// "shard-I-of-N/" + `path`, with "." and ".." applied lexically, as
// report_relative_path makes paths: the path relative to the merge
// directory of a file the shard listed relative to its own.
char* rebase_path(const char* shard_dir, const char* path) {
  if (path[0] == '/') return mem_strdup(path);
  char* joined = join_path(shard_dir, path);
  if (!joined) return nullptr;
  char* out = static_cast<char*>(mem_alloc(std::strlen(joined) + 2));
  if (!out) {
    mem_free(joined);
    return nullptr;
  }
  size_t used = 0;
  uint64_t named = 0;  // components in `out` that a ".." may remove
  for (char* p = joined; *p;) {
    char* end = std::strchr(p, '/');
    size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (len == 0 || (len == 1 && p[0] == '.')) {
      // nothing
    } else if (len == 2 && p[0] == '.' && p[1] == '.' && named > 0) {
      while (used > 0 && out[used - 1] != '/') --used;
      if (used > 0) --used;  // the slash before it
      --named;
    } else {
      if (used) out[used++] = '/';
      std::memcpy(out + used, p, len);
      used += len;
      if (!(len == 2 && p[0] == '.' && p[1] == '.')) ++named;
    }
    p += len;
    if (*p == '/') ++p;
  }
  out[used] = 0;
  if (used == 0) std::strcpy(out, ".");
  mem_free(joined);
  return out;
}

// Rewrites the paths of a "files" array to the merge directory.
bool rebase_files(Node* files, const char* shard_dir) {
  for (uint64_t i = 0; files && files->kind == NODE_ARRAY && i < files->items.count; ++i) {
    Node* path = member(static_cast<Node*>(files->items.items[i]), "path");
    if (!path || path->kind != NODE_STRING) continue;
    char* moved = rebase_path(shard_dir, path->text);
    if (!moved) return false;
    mem_free(path->text);
    path->text = moved;
  }
  return true;
}

ReportOutcome outcome_of(const Node* obj) {
  const char* word = string_of(member(obj, "outcome"));
  for (int o = REPORT_DONE; o <= REPORT_FAILED; ++o)
    if (word && std::strcmp(word, report_outcome_name(static_cast<ReportOutcome>(o))) == 0)
      return static_cast<ReportOutcome>(o);
  return REPORT_DONE;
}

// The first failure of a chain of report_* calls; 0 while all succeed.
struct Outcome {
  int status = 0;
  void operator+=(int st) {
    if (status == 0) status = st;
  }
};

void fill_audio(Outcome& out, ReportAudioInfo* info, const Node* a) {
  if (!a) return;
  int64_t rate = 0, channels = 0, frames = -1;
  (void)integer_of(member(a, "sample_rate"), &rate);
  (void)integer_of(member(a, "channels"), &channels);
  (void)integer_of(member(a, "frames"), &frames);
  const Node* peak = member(a, "sample_peak_dbfs");
  // A written null peak is silence or unknown; both read as unknown here.
  out += report_set_audio(info, string_of(member(a, "path")), rate, channels, frames, number_of(peak));
  info->duration_s = number_of(member(a, "duration_s"));
  report_set_loudness(info, number_of(member(a, "integrated_loudness_lufs")), number_of(member(a, "true_peak_dbtp")));
}

void fill_files(Outcome& out, DynArray* files_out, const Node* files) {
  for (uint64_t i = 0; files && files->kind == NODE_ARRAY && i < files->items.count; ++i) {
    const Node* f = static_cast<const Node*>(files->items.items[i]);
    const char* kind = string_of(member(f, "kind"));
    const char* path = string_of(member(f, "path"));
    for (size_t k = 0; kind && path && k < OUTPUT_KIND_COUNT; ++k) {
      const int32_t listed = OUTPUT_KINDS[k].report_kind;
      if (listed >= 0 && std::strcmp(kind, report_file_kind_name(static_cast<ReportFileKind>(listed))) == 0) {
        out += report_add_file(files_out, static_cast<ReportFileKind>(listed), path);
        break;
      }
    }
  }
}

int64_t status_of(const Node* obj) {
  int64_t s = 0;
  return integer_of(member(obj, "status"), &s) ? s : 0;
}

// `count` numbers of an array (null reads as NaN) into `values`; false when
// `n` is not an array of that many.
bool read_numbers(const Node* n, double* values, uint64_t count) {
  if (!n || n->kind != NODE_ARRAY || n->items.count != count) return false;
  for (uint64_t i = 0; i < count; ++i) values[i] = number_of(static_cast<const Node*>(n->items.items[i]));
  return true;
}

// What a run that reads its earlier report back needs beyond the page: the
// spectrum and curves on the grid of `points` points, the limiter, the
// delivery and the plot's name. 55 for a child whose rows do not match
// its grid.
void fill_child_measures(Outcome& out, ReportChild* c, const Node* n) {
  const Node* grid = member(n, "grid_hz");
  if (!grid || grid->kind != NODE_ARRAY) {
    out += STATUS_SYNTAX;
    return;
  }
  const uint64_t points = grid->items.count;
  // Every row holds a value per grid point (which bounds the room needed
  // by the document's size); room for the rows of a curve one after another.
  const Node* curves[2] = {member(n, "computed_db"), member(n, "applied_db")};
  uint64_t rows = 1;
  for (const Node* curve : curves) {
    if (!curve || curve->kind == NODE_NULL) continue;
    bool ok = curve->kind == NODE_ARRAY && curve->items.count > 0;
    for (uint64_t ch = 0; ok && ch < curve->items.count; ++ch) {
      const Node* row = static_cast<const Node*>(curve->items.items[ch]);
      ok = row && row->kind == NODE_ARRAY && row->items.count == points;
    }
    if (!ok) {
      out += STATUS_SYNTAX;
      return;
    }
    if (curve->items.count > rows) rows = curve->items.count;
  }
  const Node* limiter = member(n, "limiter");
  const Node* gain = member(limiter, "gain_db");
  const uint64_t gains = gain && gain->kind == NODE_ARRAY ? gain->items.count : 0;
  uint64_t room = rows * points > gains ? rows * points : gains;
  double* values = static_cast<double*>(mem_alloc((room ? room : 1) * sizeof(double)));
  if (!values) {
    out += STATUS_NO_MEMORY;
    return;
  }
  const Node* spectrum = member(n, "spectrum_db");
  if (spectrum && spectrum->kind != NODE_NULL) {
    if (read_numbers(spectrum, values, points)) out += report_set_grid_spectrum(&c->spectrum, values, points);
    else out += STATUS_SYNTAX;
  }
  ReportCurve* targets[2] = {&c->computed, &c->applied};
  for (int k = 0; k < 2; ++k) {
    const Node* curve = curves[k];
    if (!curve || curve->kind == NODE_NULL) continue;
    bool ok = curve->kind == NODE_ARRAY && curve->items.count > 0;
    for (uint64_t ch = 0; ok && ch < curve->items.count; ++ch)
      ok = read_numbers(static_cast<const Node*>(curve->items.items[ch]), values + ch * points, points);
    if (ok) out += report_set_grid_curve(targets[k], values, curve->items.count, points);
    else out += STATUS_SYNTAX;
  }
  const Node* channels = member(n, "curve_channels");
  c->mid_side = channels && channels->kind == NODE_ARRAY;
  if (limiter && limiter->kind == NODE_OBJECT) {
    c->limiter_ran = true;
    c->limiter_ceiling_dbtp = number_of(member(limiter, "ceiling_dbtp"));
    c->limiter_reduction_max_db = number_of(member(limiter, "reduction_max_db"));
    c->limiter_reduction_mean_db = number_of(member(limiter, "reduction_mean_db"));
    c->limiter_limited_share = number_of(member(limiter, "limited_share"));
    c->limiter_gain_step_s = number_of(member(limiter, "gain_step_s"));
    if (gains && read_numbers(gain, values, gains)) {
      mem_free(c->limiter_gain_db);
      c->limiter_gain_db = static_cast<double*>(mem_alloc(gains * sizeof(double)));
      if (c->limiter_gain_db) std::memcpy(c->limiter_gain_db, values, gains * sizeof(double));
      else out += STATUS_NO_MEMORY;
      c->limiter_gain_count = c->limiter_gain_db ? gains : 0;
    }
  }
  mem_free(values);
  const Node* d = member(n, "delivery");
  if (d && d->kind == NODE_OBJECT) {
    ReportDelivery& to = c->delivery;
    to.asked = true;
    to.target_lufs = number_of(member(d, "target_lufs"));
    to.ceiling_dbtp = number_of(member(d, "ceiling_dbtp"));
    to.gain_db = number_of(member(d, "gain_db"));
    to.loudness_lufs = number_of(member(d, "loudness_lufs"));
    to.true_peak_dbtp = number_of(member(d, "true_peak_dbtp"));
    to.miss_lu = number_of(member(d, "miss_lu"));
    const Node* pass = member(d, "pass");
    to.pass = pass && pass->kind == NODE_BOOL && pass->flag;
    to.decoded_true_peak_dbtp = number_of(member(d, "decoded_true_peak_dbtp"));
  }
  if (const char* plot = string_of(member(n, "plot"))) {
    mem_free(c->plot_file);
    if (!(c->plot_file = mem_strdup(plot))) out += STATUS_NO_MEMORY;
  }
}

// The record index.html is made from: everything the page shows (the
// curves are in the plots, which it links).
void fill_child(Outcome& out, ReportChild* c, const Node* n) {
  fill_audio(out, &c->input, member(n, "input"));
  fill_audio(out, &c->output, member(n, "output"));
  const Node* boost = member(n, "max_boost");
  const Node* cut = member(n, "max_cut");
  report_child_set_extremes(c, number_of(member(boost, "db")), number_of(member(boost, "hz")),
                            number_of(member(cut, "db")), number_of(member(cut, "hz")));
  int64_t clamped = -1, by_range = -1, by_limits = -1;
  if (integer_of(member(n, "clamped_bins"), &clamped)) c->clamped_bins = clamped;
  if (integer_of(member(n, "clamped_by_range"), &by_range) && integer_of(member(n, "clamped_by_limits"), &by_limits))
    report_child_set_clamps(c, by_range, by_limits);
  const Node* levels = member(n, "curve_level_db");
  if (levels && levels->kind == NODE_ARRAY && levels->items.count > 0) {
    double* values = static_cast<double*>(mem_alloc(levels->items.count * sizeof(double)));
    if (!values) {
      out += STATUS_NO_MEMORY;
    } else {
      for (uint64_t i = 0; i < levels->items.count; ++i)
        values[i] = number_of(static_cast<const Node*>(levels->items.items[i]));
      out += report_child_set_levels(c, values, levels->items.count);
      mem_free(values);
    }
  }
  const Node* latency = member(n, "latency");
  int64_t samples = -1;
  if (integer_of(member(latency, "samples"), &samples)) {
    c->latency_samples = samples;
    c->latency_ms = number_of(member(latency, "ms"));
  }
  fill_files(out, &c->files, member(n, "files"));
  ReportOutcome o = outcome_of(n);
  if (o != REPORT_DONE || status_of(n) != 0)
    out += report_child_set_outcome(c, o, static_cast<int>(status_of(n)), string_of(member(n, "message")));
}

// 0, or 5 when memory runs out; with `whole` (every measure of the
// children, see fill_child_measures) also 55 for a child it cannot read.
int build_record(const Node* doc, RunReport* r, bool whole = false) {
  Outcome out;
  const char* version = string_of(member(doc, "version"));
  out += report_set_version(r, version ? version : "unknown");
  const Node* argv = member(doc, "command_line");
  if (argv && argv->kind == NODE_ARRAY) {
    const char** args = static_cast<const char**>(mem_calloc(argv->items.count + 1, sizeof(char*)));
    if (!args) return STATUS_NO_MEMORY;
    for (uint64_t i = 0; i < argv->items.count; ++i) args[i] = string_of(static_cast<const Node*>(argv->items.items[i]));
    out += report_set_command_line(r, static_cast<int>(argv->items.count), args);
    mem_free(args);
  }
  int64_t status = -1;
  (void)integer_of(member(doc, "status"), &status);
  out += report_set_result(r, static_cast<int>(status), string_of(member(doc, "message")));
  const Node* groups = member(doc, "groups");
  for (uint64_t gi = 0; out.status == 0 && groups && gi < groups->items.count; ++gi) {
    const Node* gn = static_cast<const Node*>(groups->items.items[gi]);
    ReportGroup* g = nullptr;
    const char* name = string_of(member(gn, "name"));
    if (report_add_group(r, name ? name : "", &g) != 0) return STATUS_NO_MEMORY;
    fill_audio(out, &g->master, member(gn, "master"));
    fill_files(out, &g->files, member(gn, "files"));
    const Node* references = member(gn, "references");
    for (uint64_t i = 0; references && references->kind == NODE_ARRAY && i < references->items.count; ++i)
      if (const char* reference = string_of(static_cast<const Node*>(references->items.items[i])))
        out += report_add_reference(g, reference);
    ReportOutcome o = outcome_of(gn);
    if (o != REPORT_DONE || status_of(gn) != 0)
      out += report_group_set_outcome(g, o, static_cast<int>(status_of(gn)), string_of(member(gn, "message")));
    const Node* children = member(gn, "children");
    for (uint64_t ci = 0; out.status == 0 && children && ci < children->items.count; ++ci) {
      const Node* cn = static_cast<const Node*>(children->items.items[ci]);
      ReportChild* c = nullptr;
      const char* path = string_of(member(member(cn, "input"), "path"));
      if (report_add_child(g, path ? path : "", &c) != 0) return STATUS_NO_MEMORY;
      fill_child(out, c, cn);
      if (whole) fill_child_measures(out, c, cn);
    }
  }
  return out.status;
}

// Renames the plots to their place in the merged report (the name one
// process would have given them) and copies them into the merge directory.
// `names` receives one entry per child in report order (null: no plot).
int move_plots(const char* dir, const Shard* shards, const MergedGroup* groups, uint64_t ngroups,
               const RunReport* record, char** names) {
  uint64_t k = 0;
  TextBuffer name, svg;
  text_init(&name);
  text_init(&svg);
  int st = 0;
  for (uint64_t gi = 0; st == 0 && gi < ngroups; ++gi) {
    Node* children = member(groups[gi].group, "children");
    const ReportGroup* rg = static_cast<ReportGroup* const*>(record->groups.data)[gi];
    for (uint64_t ci = 0; st == 0 && children && ci < children->items.count; ++ci, ++k) {
      Node* plot = member(static_cast<Node*>(children->items.items[ci]), "plot");
      if (!plot || plot->kind != NODE_STRING) continue;
      const ReportChild* rc = static_cast<ReportChild* const*>(rg->children.data)[ci];
      name.length = 0;
      svg.length = 0;
      if (!report_plot_file_name(gi, ci, rc, &name)) {
        st = STATUS_NO_MEMORY;
        break;
      }
      char* shard_dir = join_path(dir, shards[groups[gi].shard].directory);
      char* source = shard_dir ? join_path(shard_dir, plot->text) : nullptr;
      FILE* in = source ? std::fopen(source, "rb") : nullptr;
      if (in) {
        char buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text_append(&svg, buffer, got);
        std::fclose(in);
        st = svg.failed ? STATUS_NO_MEMORY : report_write_file(dir, name.data, svg.data, svg.length);
        if (st == 0) {
          names[k] = mem_strdup(name.data);
          char* renamed = mem_strdup(name.data);
          if (!names[k] || !renamed) st = STATUS_NO_MEMORY;
          mem_free(plot->text);
          plot->text = renamed;
          if (!renamed) plot->kind = NODE_NULL;
        }
      } else if (source) {
        std::fprintf(stderr, "warning: plot '%s' is missing; the merged report shows none for it\n", source);
        plot->kind = NODE_NULL;
        mem_free(plot->text);
        plot->text = nullptr;
      } else {
        st = STATUS_NO_MEMORY;
      }
      mem_free(source);
      mem_free(shard_dir);
    }
  }
  text_release(&name);
  text_release(&svg);
  return st;
}

Node* index_list(const uint64_t* values, uint64_t count) {
  Node* list = node_new(NODE_ARRAY);
  for (uint64_t i = 0; list && i < count; ++i) {
    Node* v = node_new(NODE_INTEGER);
    if (v) v->integer = static_cast<int64_t>(values[i]);
    if (!v || !ptrlist_push(&list->items, v)) {
      node_free(v);
      node_free(list);
      return nullptr;
    }
  }
  return list;
}

// Reads the shard directories of `dir`: their count into *count, their
// table (sorted by index, one entry per index 0..count-1) into *out.
int find_shards(const char* dir, Shard** out, uint64_t* count) {
  DIR* d = opendir(dir);
  if (!d) {
    std::fprintf(stderr, "could not read the report directory '%s'\n  %s\n", dir, std::strerror(errno));
    return STATUS_NOT_FOUND;
  }
  uint64_t n = 0;
  PtrList found;  // entry names, mem_strdup'd
  ptrlist_init(&found);
  int st = 0;
  while (struct dirent* e = readdir(d)) {
    unsigned long long i = 0, c = 0;
    int used = 0;
    if (std::sscanf(e->d_name, "shard-%llu-of-%llu%n", &i, &c, &used) != 2 || e->d_name[used] != 0) continue;
    char canonical[96];
    std::snprintf(canonical, sizeof canonical, "shard-%llu-of-%llu", i, c);
    if (std::strcmp(canonical, e->d_name) != 0 || c == 0 || i >= c || c > (1u << 24)) continue;
    if (n != 0 && n != c) {
      std::fprintf(stderr, "shard reports of different runs in '%s'\n  shards of %llu and of %llu\n", dir,
                   static_cast<unsigned long long>(n), c);
      st = STATUS_BAD_VALUE;
      break;
    }
    n = c;
    char* copy = mem_strdup(e->d_name);
    if (!copy || !ptrlist_push(&found, copy)) {
      mem_free(copy);
      st = STATUS_NO_MEMORY;
      break;
    }
  }
  closedir(d);
  if (st == 0 && n == 0) {
    std::fprintf(stderr, "no shard report in '%s'\n  expected directories shard-I-of-N written by runs with --shard and --report\n", dir);
    st = STATUS_NOT_FOUND;
  }
  Shard* shards = st == 0 ? static_cast<Shard*>(mem_calloc(n, sizeof(Shard))) : nullptr;
  if (st == 0 && !shards) st = STATUS_NO_MEMORY;
  for (uint64_t i = 0; st == 0 && i < n; ++i) {
    char name[96];
    std::snprintf(name, sizeof name, "shard-%llu-of-%llu", static_cast<unsigned long long>(i),
                  static_cast<unsigned long long>(n));
    shards[i].index = i;
    if (!(shards[i].directory = mem_strdup(name))) st = STATUS_NO_MEMORY;
  }
  for (uint64_t i = 0; i < found.count; ++i) mem_free(found.items[i]);
  ptrlist_release(&found);
  if (st != 0) {
    for (uint64_t i = 0; shards && i < n; ++i) mem_free(shards[i].directory);
    mem_free(shards);
    return st;
  }
  *out = shards;
  *count = n;
  return 0;
}

void free_shards(Shard* shards, uint64_t n) {
  for (uint64_t i = 0; shards && i < n; ++i) {
    mem_free(shards[i].directory);
    node_free(shards[i].report);
  }
  mem_free(shards);
}

// Loads shard s's report: 0 (report may stay null: missing, warned), or 55
// / 5 after a line.
int load_shard(const char* dir, Shard* s, uint64_t count) {
  char* shard_dir = join_path(dir, s->directory);
  char* path = shard_dir ? join_path(shard_dir, "report.json") : nullptr;
  mem_free(shard_dir);
  if (!path) return STATUS_NO_MEMORY;
  FILE* probe = std::fopen(path, "rb");
  if (!probe) {
    std::fprintf(stderr, "warning: shard %llu of %llu has no report ('%s'); its groups are missing from the merge\n",
                 static_cast<unsigned long long>(s->index), static_cast<unsigned long long>(count), path);
    mem_free(path);
    return 0;
  }
  std::fclose(probe);
  const char* why = nullptr;
  int st = parse_file(path, &s->report, &why);
  int64_t index = -1, n = -1;
  const Node* shard = s->report ? member(s->report, "shard") : nullptr;
  if (st == 0 && (!integer_of(member(shard, "index"), &index) || !integer_of(member(shard, "count"), &n) ||
                  index != static_cast<int64_t>(s->index) || n != static_cast<int64_t>(count) ||
                  !member(s->report, "groups") || member(s->report, "groups")->kind != NODE_ARRAY)) {
    why = "is not the report of that shard (its \"shard\" member or its groups do not match)";
    st = STATUS_SYNTAX;
  }
  if (st != 0 && st != STATUS_NO_MEMORY) {
    std::fprintf(stderr, "could not merge '%s'\n  it %s\n", path, why ? why : "cannot be read");
    st = STATUS_SYNTAX;
  }
  mem_free(path);
  return st;
}

// The note at the top of the merged page about shards without a report or
// with a failure.
bool shard_note(TextBuffer* html, const uint64_t* missing, uint64_t nmissing, const uint64_t* failed,
                uint64_t nfailed, uint64_t count) {
  if (!nmissing && !nfailed) return true;
  TextBuffer note;
  text_init(&note);
  text_append(&note, "<p class=\"problem\">");
  if (nmissing) {
    text_appendf(&note, "Shards without a report (of %llu):", static_cast<unsigned long long>(count));
    for (uint64_t i = 0; i < nmissing; ++i) text_appendf(&note, " %llu", static_cast<unsigned long long>(missing[i]));
    text_append(&note, ". Their groups are missing. ");
  }
  if (nfailed) {
    text_append(&note, "Shards that failed:");
    for (uint64_t i = 0; i < nfailed; ++i) text_appendf(&note, " %llu", static_cast<unsigned long long>(failed[i]));
    text_append(&note, ".");
  }
  text_append(&note, "</p>\n");
  const char* at = html->data ? std::strstr(html->data, "</header>") : nullptr;
  bool ok = !note.failed && at;
  if (ok) {
    TextBuffer joined;
    text_init(&joined);
    text_append(&joined, html->data, static_cast<uint64_t>(at - html->data));
    text_append(&joined, note.data, note.length);
    text_append(&joined, at);
    ok = !joined.failed;
    if (ok) {
      TextBuffer old = *html;
      *html = joined;
      joined = old;
    }
    text_release(&joined);
  }
  text_release(&note);
  return ok;
}

}  // namespace

int report_read(const char* path, RunReport* out, const char** why) {
  *why = "cannot be read";
  if (!path || !out) return STATUS_BAD_ARGUMENT;
  Node* doc = nullptr;
  int st = parse_file(path, &doc, why);
  int64_t format = 0;
  const Node* groups = doc ? member(doc, "groups") : nullptr;
  if (st == 0 && (!integer_of(member(doc, "report_format"), &format) || format != 1 || !groups ||
                  groups->kind != NODE_ARRAY)) {
    *why = "is not a run report (no report_format 1 or no list of groups)";
    st = STATUS_SYNTAX;
  }
  RunReport record;
  report_init(&record);
  if (st == 0) {
    st = build_record(doc, &record, true);
    if (st == STATUS_SYNTAX) *why = "holds a child whose curves or spectrum do not match its frequency grid";
    if (st == STATUS_NO_MEMORY) *why = "needs more memory than there is";
  }
  node_free(doc);
  if (st == 0) {
    RunReport old = *out;
    *out = record;
    record = old;
  }
  report_release(&record);
  return st;
}

int merge_reports(const ToolConfig* cfg) {
  const char* dir = string_to_utf8(const_cast<String*>(&cfg->merge_reports));
  if (!dir) return STATUS_NO_MEMORY;
  Shard* shards = nullptr;
  uint64_t n = 0;
  int st = find_shards(dir, &shards, &n);
  if (st != 0) return st;
  uint64_t* missing = static_cast<uint64_t*>(mem_calloc(n, sizeof(uint64_t)));
  uint64_t* failed = static_cast<uint64_t*>(mem_calloc(n, sizeof(uint64_t)));
  uint64_t nmissing = 0, nfailed = 0, ngroups = 0;
  if (!missing || !failed) st = STATUS_NO_MEMORY;
  for (uint64_t i = 0; st == 0 && i < n; ++i) {
    st = load_shard(dir, &shards[i], n);
    if (st != 0) break;
    if (!shards[i].report) {
      missing[nmissing++] = i;
      continue;
    }
    int64_t status = -1;
    if (!integer_of(member(shards[i].report, "status"), &status) || status != 0) failed[nfailed++] = i;
    ngroups += member(shards[i].report, "groups")->items.count;
  }

  // Every group in the run's order, and no group twice.
  MergedGroup* groups = st == 0 ? static_cast<MergedGroup*>(mem_calloc(ngroups ? ngroups : 1, sizeof(MergedGroup))) : nullptr;
  const MergedGroup** by_name =
      groups ? static_cast<const MergedGroup**>(mem_calloc(ngroups ? ngroups : 1, sizeof(MergedGroup*))) : nullptr;
  if (st == 0 && (!groups || !by_name)) st = STATUS_NO_MEMORY;
  uint64_t k = 0;
  for (uint64_t i = 0; st == 0 && i < n; ++i) {
    Node* list = shards[i].report ? member(shards[i].report, "groups") : nullptr;
    for (uint64_t g = 0; list && g < list->items.count; ++g, ++k) {
      Node* group = static_cast<Node*>(list->items.items[g]);
      int64_t position = 0;
      if (!string_of(member(group, "name")) || !integer_of(member(group, "position"), &position)) {
        std::fprintf(stderr, "could not merge the report of shard %llu\n  a group has no name or no position\n",
                     static_cast<unsigned long long>(i));
        st = STATUS_SYNTAX;
        break;
      }
      groups[k] = MergedGroup{position, i, group};
    }
  }
  if (st == 0) {
    for (uint64_t i = 0; i < ngroups; ++i) by_name[i] = &groups[i];
    std::qsort(by_name, ngroups, sizeof(MergedGroup*), compare_names);
    for (uint64_t i = 1; i < ngroups; ++i) {
      if (compare_names(&by_name[i - 1], &by_name[i]) != 0) continue;
      std::fprintf(stderr, "group '%s' is in the reports of shards %llu and %llu\n  the shards are of different runs or configurations; nothing was merged\n",
                   string_of(member(by_name[i]->group, "name")), static_cast<unsigned long long>(by_name[i - 1]->shard),
                   static_cast<unsigned long long>(by_name[i]->shard));
      st = STATUS_EXISTS;
      break;
    }
    std::qsort(groups, ngroups, sizeof(MergedGroup), compare_groups);
  }
  const Shard* first = nullptr;
  for (uint64_t i = 0; i < n && !first; ++i)
    if (shards[i].report) first = &shards[i];
  if (st == 0 && !first) {
    std::fprintf(stderr, "no shard report in '%s'\n  every shard directory lacks its report.json\n", dir);
    st = STATUS_NOT_FOUND;
  }

  // The merged document: the first report's run members, the groups of all.
  Node* merged = nullptr;
  if (st == 0) {
    merged = first->report;
    Node* list = member(merged, "groups");
    Node* all = node_new(NODE_ARRAY);
    if (!all) st = STATUS_NO_MEMORY;
    for (uint64_t i = 0; st == 0 && i < ngroups; ++i) {
      Node* g = groups[i].group;
      const char* shard_dir = shards[groups[i].shard].directory;
      remove_member(g, "position");
      bool ok = rebase_files(member(g, "files"), shard_dir);
      Node* children = member(g, "children");
      for (uint64_t c = 0; ok && children && c < children->items.count; ++c)
        ok = rebase_files(member(static_cast<Node*>(children->items.items[c]), "files"), shard_dir);
      if (!ok || !ptrlist_push(&all->items, g)) st = STATUS_NO_MEMORY;
    }
    if (st == 0) {
      // The groups now belong to `all`: take them out of their shards' lists.
      for (uint64_t i = 0; i < n; ++i) {
        Node* l = shards[i].report ? member(shards[i].report, "groups") : nullptr;
        if (l) l->items.count = 0;
      }
      ptrlist_release(&list->items);
      list->items = all->items;
      ptrlist_init(&all->items);
      if (nfailed) {
        const Node* bad = shards[failed[0]].report;
        Node* status = member(merged, "status");
        Node* message = member(merged, "message");
        const Node* bad_status = member(bad, "status");
        const Node* bad_message = member(bad, "message");
        if (status && bad_status) {
          status->kind = bad_status->kind;
          status->integer = bad_status->integer;
        }
        if (message && bad_message && bad != merged) {
          mem_free(message->text);
          message->text = bad_message->text ? mem_strdup(bad_message->text) : nullptr;
          message->kind = message->text ? NODE_STRING : NODE_NULL;
        }
      }
      remove_member(merged, "shard");
      Node* info = node_new(NODE_OBJECT);
      Node* count = node_new(NODE_INTEGER);
      if (count) count->integer = static_cast<int64_t>(n);
      bool ok = info && count && insert_member(info, "count", count, "");
      if (!ok && !info) node_free(count);
      ok = ok && insert_member(info, "missing", index_list(missing, nmissing), "") &&
           insert_member(info, "failed", index_list(failed, nfailed), "");
      if (ok) ok = insert_member(merged, "shards", info, "grid_points_per_octave");
      else node_free(info);
      if (!ok) st = STATUS_NO_MEMORY;
    }
    if (st != 0 && all) all->items.count = 0;  // its groups still belong to their shards
    node_free(all);
  }

  // Plots, report.json, index.html: the order in which one run writes them.
  RunReport record;
  report_init(&record);
  uint64_t nchildren = 0;
  char** names = nullptr;
  if (st == 0) st = build_record(merged, &record);
  if (st == 0) {
    for (uint64_t i = 0; i < record.groups.count; ++i)
      nchildren += static_cast<ReportGroup* const*>(record.groups.data)[i]->children.count;
    names = static_cast<char**>(mem_calloc(nchildren ? nchildren : 1, sizeof(char*)));
    st = names ? move_plots(dir, shards, groups, ngroups, &record, names) : STATUS_NO_MEMORY;
  }
  TextBuffer doc;
  text_init(&doc);
  if (st == 0) {
    emit(&doc, merged, 0, false);
    text_append_char(&doc, '\n');
    st = doc.failed ? STATUS_NO_MEMORY : report_write_file(dir, "report.json", doc.data, doc.length);
  }
  if (st == 0) {
    doc.length = 0;
    st = report_html_build(&record, names, dir, &doc) && shard_note(&doc, missing, nmissing, failed, nfailed, n)
             ? report_write_file(dir, "index.html", doc.data, doc.length)
             : STATUS_NO_MEMORY;
  }
  if (st == 0) {
    std::printf("merged %llu of %llu shard reports (%llu groups) into '%s'\n",
                static_cast<unsigned long long>(n - nmissing), static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(ngroups), dir);
  } else if (st == STATUS_NO_MEMORY) {
    std::fprintf(stderr, "Not enough memory\n");
  } else if (st != STATUS_EXISTS && st != STATUS_SYNTAX && st != STATUS_NOT_FOUND && st != STATUS_BAD_VALUE) {
    std::fprintf(stderr, "could not write the merged report to '%s', error code: %d\n", dir, st);
  }
  text_release(&doc);
  for (uint64_t i = 0; names && i < nchildren; ++i) mem_free(names[i]);
  mem_free(names);
  report_release(&record);
  mem_free(by_name);
  mem_free(groups);
  mem_free(missing);
  mem_free(failed);
  free_shards(shards, n);
  return st;
}
