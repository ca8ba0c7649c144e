#include "tool/config_file.h"

#include <cstdio>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/file_reader.h"
#include "runtime/log.h"
#include "runtime/status.h"
#include "tool/keywords.h"

namespace {

// Mark limit of the marking input over the file. The document reader never
// returns to the mark.
constexpr int64_t kMarkLimit = 4096;

struct Mapper {
  ToolConfig* cfg;
  DocumentReader reader;
  DocumentEvent event;
};

int next(Mapper* m) { return document_reader_next(&m->reader, &m->event); }

// Text of the current event for a message, in the locale's character set.
const char* event_text(Mapper* m) {
  const char* text = string_to_locale(&m->event.text);
  if (!text) text = string_to_utf8(&m->event.text);
  return text ? text : "";
}

int read_string(Mapper* m, String* dst) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != STRING) return STATUS_TYPE_MISMATCH;
  return string_assign(dst, &m->event.text) ? STATUS_OK : STATUS_NO_MEMORY;
}

int read_integer(Mapper* m, int64_t* dst) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != INTEGER) return STATUS_TYPE_MISMATCH;
  *dst = m->event.value.integer;
  return STATUS_OK;
}

// FLOAT rounded to single precision, INTEGER converted from 64 bits.
int read_float(Mapper* m, float* dst) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind == FLOAT) *dst = static_cast<float>(m->event.value.real);
  else if (m->event.kind == INTEGER) *dst = static_cast<float>(m->event.value.integer);
  else return STATUS_TYPE_MISMATCH;
  return STATUS_OK;
}

// BOOLEAN as is; FLOAT true above 0.5 (0.5 itself is false); INTEGER true
// when non-zero.
int read_boolean(Mapper* m, bool* dst) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  switch (m->event.kind) {
    case BOOLEAN: *dst = m->event.value.boolean != 0; break;
    case FLOAT: *dst = m->event.value.real > 0.5; break;
    case INTEGER: *dst = m->event.value.integer != 0; break;
    default: return STATUS_TYPE_MISMATCH;
  }
  return STATUS_OK;
}

// An array of keywords OR-ed together; unknown ones are reported and
// ignored. The result replaces `produce` only once the array is complete.
int read_produce(Mapper* m) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != ARRAY_BEGIN) return STATUS_TYPE_MISMATCH;
  uint64_t acc = 0;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == ARRAY_END) break;
    if (m->event.kind != STRING) return STATUS_TYPE_MISMATCH;
    uint64_t bits = 0;
    if (produce_keyword_find(&m->event.text, &bits)) {
      acc |= bits;
    } else {
      std::fprintf(stderr, "Warning: unknown flag '%s'\n", event_text(m));
      std::fflush(stderr);
    }
  }
  m->cfg->produce = acc;
  return STATUS_OK;
}

int read_normalize(Mapper* m) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != STRING) return STATUS_TYPE_MISMATCH;
  uint64_t mode = 0;
  if (!normalize_keyword_find(&m->event.text, &mode)) {
    std::fprintf(stderr, "Error: unknown flag '%s'\n", event_text(m));
    std::fflush(stderr);
    return STATUS_BAD_FORMAT;
  }
  m->cfg->normalize = mode;
  return STATUS_OK;
}

bool is_key(Mapper* m, const char* key) { return string_compare_cstr(&m->event.text, key) == 0; }

int expect_object(Mapper* m) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  return m->event.kind == OBJECT_BEGIN ? STATUS_OK : STATUS_TYPE_MISMATCH;
}

int map_ir(Mapper* m) {
  int st = expect_object(m);
  if (st != STATUS_OK) return st;
  IrConfig* ir = &m->cfg->ir;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == OBJECT_END) return STATUS_OK;
    if (m->event.kind != PROPERTY) return STATUS_BAD_FORMAT;
    if (is_key(m, "head_cut")) st = read_float(m, &ir->trim.head_cut);
    else if (is_key(m, "tail_cut")) st = read_float(m, &ir->trim.tail_cut);
    else if (is_key(m, "fade_in")) st = read_float(m, &ir->trim.fade_in);
    else if (is_key(m, "fade_out")) st = read_float(m, &ir->trim.fade_out);
    else if (is_key(m, "file")) st = read_string(m, &ir->file);
    else if (is_key(m, "raw")) st = read_string(m, &ir->raw);
    else if (is_key(m, "fr_master")) st = read_string(m, &ir->fr_master);
    else if (is_key(m, "fr_child")) st = read_string(m, &ir->fr_child);
    else st = document_reader_skip_value(&m->reader);
    if (st != STATUS_OK) return st;
  }
}

int map_group_files(Mapper* m, Group* g) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != ARRAY_BEGIN) return STATUS_TYPE_MISMATCH;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == ARRAY_END) return STATUS_OK;
    if (m->event.kind != STRING) return STATUS_BAD_FORMAT;
    st = group_add_file(g, &m->event.text);
    if (st != STATUS_OK) return st;
  }
}

// The value of one group, after its name: an object with "master" and
// "files", each at most once.
int map_group_body(Mapper* m, Group* g) {
  int st = expect_object(m);
  if (st != STATUS_OK) return st;
  bool master_seen = false;
  bool files_seen = false;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == OBJECT_END) return STATUS_OK;
    if (m->event.kind != PROPERTY) return STATUS_BAD_FORMAT;
    if (is_key(m, "master")) {
      if (master_seen) {
        log_line("[ERR] Duplicate 'master' property\n");
        return STATUS_BAD_FORMAT;
      }
      st = next(m);
      if (st != STATUS_OK) return st;
      if (m->event.kind != STRING) return STATUS_BAD_FORMAT;
      st = group_set_master(g, &m->event.text);
      master_seen = true;
    } else if (is_key(m, "files")) {
      if (files_seen) {
        log_line("[ERR] Duplicate 'files' property\n");
        return STATUS_BAD_FORMAT;
      }
      st = map_group_files(m, g);
      files_seen = true;
    } else {
      st = document_reader_skip_value(&m->reader);
    }
    if (st != STATUS_OK) return st;
  }
}

// Each group is inserted as soon as its name is read; a group that fails
// part-way stays in the map with what it had received.
int map_groups(Mapper* m) {
  int st = expect_object(m);
  if (st != STATUS_OK) return st;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == OBJECT_END) return STATUS_OK;
    if (m->event.kind != PROPERTY) return STATUS_BAD_FORMAT;
    Group* g = nullptr;
    st = group_create(m->cfg, &m->event.text, &g);
    if (st == STATUS_EXISTS) {
      log_line("[ERR] Duplicate group name: %s\n", event_text(m));
      return STATUS_BAD_FORMAT;
    }
    if (st != STATUS_OK) return STATUS_NO_MEMORY;
    st = map_group_body(m, g);
    if (st != STATUS_OK) return st;
  }
}

// Root keys in the order they are tested; unknown keys are skipped with
// their whole value.
int map_root_property(Mapper* m) {
  ToolConfig* cfg = m->cfg;
  if (is_key(m, "groups")) return map_groups(m);
  if (is_key(m, "ir")) return map_ir(m);
  if (is_key(m, "src_path")) return read_string(m, &cfg->src_path);
  if (is_key(m, "dst_path")) return read_string(m, &cfg->dst_path);
  if (is_key(m, "file")) return read_string(m, &cfg->file);
  if (is_key(m, "srate")) {
    int64_t v = 0;
    int st = read_integer(m, &v);
    if (st == STATUS_OK) cfg->srate = static_cast<uint64_t>(v);
    return st;
  }
  if (is_key(m, "gain_range")) return read_float(m, &cfg->gain_range);
  if (is_key(m, "fft_rank")) return read_integer(m, &cfg->fft_rank);
  if (is_key(m, "produce")) return read_produce(m);
  if (is_key(m, "dry")) return read_float(m, &cfg->dry);
  if (is_key(m, "wet")) return read_float(m, &cfg->wet);
  if (is_key(m, "mastering")) return read_boolean(m, &cfg->mastering);
  if (is_key(m, "norm_gain")) return read_float(m, &cfg->norm_gain);
  if (is_key(m, "latency_compensation")) return read_boolean(m, &cfg->latency_compensation);
  if (is_key(m, "match_length")) return read_boolean(m, &cfg->match_length);
  if (is_key(m, "normalize")) return read_normalize(m);
  return document_reader_skip_value(&m->reader);
}

int map_root(Mapper* m) {
  int st = expect_object(m);
  if (st != STATUS_OK) return st;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == OBJECT_END) break;
    if (m->event.kind != PROPERTY) return STATUS_BAD_FORMAT;
    st = map_root_property(m);
    if (st != STATUS_OK) return st;
  }
  // Only the end of the document may follow the root object.
  st = next(m);
  if (st != STATUS_OK && st != STATUS_END_OF_STREAM) return st;
  return STATUS_OK;
}

}  // namespace

int config_map_document(ToolConfig* cfg, CharReader* input) {
  Mapper m;
  m.cfg = cfg;
  document_reader_init(&m.reader);
  document_event_init(&m.event);
  int st = document_reader_open(&m.reader, input, DOCUMENT_LEVEL_JSON5, 0);
  if (st == STATUS_OK) {
    st = map_root(&m);
    int close_st = document_reader_close(&m.reader);
    if (st == STATUS_OK) st = close_st;
  }
  document_event_release(&m.event);
  document_reader_release(&m.reader);
  return st;
}

int load_config_file(ToolConfig* cfg, const char* path_utf8) {
  FileReader file;
  int st = file.open(path_utf8, nullptr);
  if (st != STATUS_OK) return st;

  MarkingReader marking;
  st = marking.attach(&file, false);
  if (st == STATUS_OK) st = marking.mark(kMarkLimit);
  if (st != STATUS_OK) {
    (void)marking.close();
    (void)file.close();
    return st;
  }

  int result = config_map_document(cfg, &marking) == STATUS_OK ? STATUS_OK : STATUS_BAD_FORMAT;
  int close_st = marking.close();
  if (result == STATUS_OK) result = close_st;
  close_st = file.close();
  if (result == STATUS_OK) result = close_st;
  return result;
}
