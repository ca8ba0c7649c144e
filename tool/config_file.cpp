#include "tool/config_file.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "config/document_reader.h"
#include "runtime/char_reader.h"
#include "runtime/file_reader.h"
#include "runtime/log.h"
#include "runtime/status.h"
#include "runtime/status_text.h"
#include "runtime/suggest.h"
#include "tool/settings.h"

namespace {

// Mark limit of the marking input over the file. The document reader never
// returns to the mark.
constexpr int64_t kMarkLimit = 4096;

struct Mapper {
  ToolConfig* cfg;
  DocumentReader reader;
  DocumentEvent event;
  ConfigError* error;  // may be null
};

int next(Mapper* m) { return document_reader_next(&m->reader, &m->event); }

void reader_position(const DocumentReader* reader, int64_t* line, int64_t* column) {
  uint32_t l = 0, c = 0;
  document_reader_position(reader, &l, &c);
  *line = l;
  *column = c;
}

// Text of the current event for a message, in the locale's character set.
const char* event_text(Mapper* m) {
  const char* text = string_to_locale(&m->event.text);
  if (!text) text = string_to_utf8(&m->event.text);
  return text ? text : "";
}

// Records the first mistake of the document for the line after "Error
// parsing configuration file", with the position of the current event.
int fail(Mapper* m, int status, const char* format, ...) __attribute__((format(printf, 3, 4)));
int fail(Mapper* m, int status, const char* format, ...) {
  if (m->error && m->error->text[0] == '\0') {
    reader_position(&m->reader, &m->error->line, &m->error->column);
    va_list args;
    va_start(args, format);
    std::vsnprintf(m->error->text, sizeof m->error->text, format, args);
    va_end(args);
  }
  return status;
}

// Reads the value of the setting `row` into the configuration, recording
// that the file gave it.
int read_setting(Mapper* m, const SettingRow* row) {
  SettingInput in{&m->reader, &m->event, {}};
  int st = setting_codec(row)->from_document(m->cfg, row, &in);
  if (st == STATUS_OK) setting_mark_given(m->cfg, row);
  else if (in.why[0]) fail(m, st, "%s", in.why);
  return st;
}

// Warns about a key that is not known here and skips its value.
int skip_unknown(Mapper* m, const char* const* known, size_t count) {
  const char* key = event_text(m);
  int64_t index = suggest_closest(&m->event.text, known, count);
  const char* best = index >= 0 ? known[index] : nullptr;
  if (best) log_line("[WRN] Unknown key '%s' skipped; did you mean '%s'?\n", key, best);
  else log_line("[WRN] Unknown key '%s' skipped\n", key);
  return document_reader_skip_value(&m->reader);
}

// Configuration keys of one object of the table ("ir" or the root), for
// suggestions; `extra` words are added first.
size_t known_keys(bool in_ir, const char** out, size_t size, std::initializer_list<const char*> extra) {
  size_t n = 0;
  for (const char* w : extra) out[n++] = w;
  for (size_t i = 0; i < SETTINGS_COUNT && n < size; ++i) {
    const SettingRow& row = *setting_in_help_order(i);
    if (row.key && ((row.flags & SETTING_IN_IR) != 0) == in_ir) out[n++] = row.key;
  }
  return n;
}

bool is_key(Mapper* m, const char* key) { return string_compare_cstr(&m->event.text, key) == 0; }

int expect_object(Mapper* m, const char* what) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind == OBJECT_BEGIN) return STATUS_OK;
  return fail(m, STATUS_TYPE_MISMATCH, "%s must be an object", what);
}

int map_ir(Mapper* m) {
  int st = expect_object(m, "'ir'");
  if (st != STATUS_OK) return st;
  const char* known[64];
  size_t count = known_keys(true, known, 64, {});
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == OBJECT_END) return STATUS_OK;
    if (m->event.kind != PROPERTY) return STATUS_BAD_FORMAT;
    const SettingRow* row = setting_by_key(&m->event.text, true);
    st = row ? read_setting(m, row) : skip_unknown(m, known, count);
    if (st != STATUS_OK) return st;
  }
}

int map_group_files(Mapper* m, Group* g) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != ARRAY_BEGIN) return fail(m, STATUS_TYPE_MISMATCH, "'files' must be a list of file names");
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == ARRAY_END) return STATUS_OK;
    if (m->event.kind != STRING) return fail(m, STATUS_BAD_FORMAT, "'files' must be a list of file names");
    if (string_has_nul(&m->event.text)) return fail(m, STATUS_BAD_FORMAT, "a file name contains a NUL character");
    st = group_add_file(g, &m->event.text);
    if (st != STATUS_OK) return st;
  }
}

// "master": a file name, or a list of them (several references; the first
// names the outputs).
int map_group_masters(Mapper* m, Group* g) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  const bool list = m->event.kind == ARRAY_BEGIN;
  for (uint64_t n = 0;; ++n) {
    if (list) {
      st = next(m);
      if (st != STATUS_OK) return st;
      if (m->event.kind == ARRAY_END) {
        if (n == 0) return fail(m, STATUS_BAD_FORMAT, "'master' must name at least one file");
        return STATUS_OK;
      }
    }
    if (m->event.kind != STRING) return fail(m, STATUS_BAD_FORMAT, "'master' must be a file name or a list of them");
    if (string_has_nul(&m->event.text)) return fail(m, STATUS_BAD_FORMAT, "'master' contains a NUL character");
    st = n == 0 ? group_set_master(g, &m->event.text) : group_add_reference(g, &m->event.text);
    if (st != STATUS_OK || !list) return st;
  }
}

// The value of one group, after its name: an object with "master" and
// "files", each at most once.
int map_group_body(Mapper* m, Group* g) {
  int st = expect_object(m, "a group");
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
      st = map_group_masters(m, g);
      master_seen = true;
    } else if (is_key(m, "files")) {
      if (files_seen) {
        log_line("[ERR] Duplicate 'files' property\n");
        return STATUS_BAD_FORMAT;
      }
      st = map_group_files(m, g);
      files_seen = true;
    } else {
      static const char* const kGroupKeys[] = {"master", "files"};
      st = skip_unknown(m, kGroupKeys, 2);
    }
    if (st != STATUS_OK) return st;
  }
}

// Each group is inserted as soon as its name is read; a group that fails
// part-way stays in the map with what it had received.
int map_groups(Mapper* m) {
  int st = expect_object(m, "'groups'");
  if (st != STATUS_OK) return st;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == OBJECT_END) return STATUS_OK;
    if (m->event.kind != PROPERTY) return STATUS_BAD_FORMAT;
    // A NUL would cut the name short in every line and in the report.
    if (string_has_nul(&m->event.text)) return fail(m, STATUS_BAD_FORMAT, "a group name contains a NUL character");
    Group* g = nullptr;
    st = group_create(m->cfg, &m->event.text, &g);
    if (st == STATUS_EXISTS) {
      log_line("[ERR] Duplicate group name: %s\n", event_text(m));
      return fail(m, STATUS_BAD_FORMAT, "group '%s' is defined twice", event_text(m));
    }
    if (st != STATUS_OK) return STATUS_NO_MEMORY;
    st = map_group_body(m, g);
    if (st != STATUS_OK) return st;
  }
}

// Root keys: "groups", "ir" and the settings of the table; others are
// skipped with their whole value and a warning.
int map_root_property(Mapper* m) {
  if (is_key(m, "groups")) return map_groups(m);
  if (is_key(m, "ir")) return map_ir(m);
  if (const SettingRow* row = setting_by_key(&m->event.text, false)) return read_setting(m, row);
  const char* known[64];
  size_t count = known_keys(false, known, 64, {"groups", "ir"});
  return skip_unknown(m, known, count);
}

int map_root(Mapper* m) {
  int st = expect_object(m, "the document");
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

int config_map_document(ToolConfig* cfg, CharReader* input, ConfigError* error) {
  Mapper m;
  m.cfg = cfg;
  m.error = error;
  if (error) *error = ConfigError{};
  document_reader_init(&m.reader);
  document_event_init(&m.event);
  int st = document_reader_open(&m.reader, input, DOCUMENT_LEVEL_JSON5, 0);
  if (st == STATUS_OK) {
    st = map_root(&m);
    if (st != STATUS_OK && error && error->text[0] == '\0') {
      // A mistake of the syntax: the reader knows where and what.
      DocumentError why;
      if (document_reader_error(&m.reader, &why)) {
        error->line = why.line;
        error->column = why.column;
        std::snprintf(error->text, sizeof error->text, "%s", why.message);
      } else {
        std::snprintf(error->text, sizeof error->text, "%s", status_text(st));
      }
    }
    int close_st = document_reader_close(&m.reader);
    if (st == STATUS_OK) st = close_st;
  }
  document_event_release(&m.event);
  document_reader_release(&m.reader);
  return st;
}

int config_map_document(ToolConfig* cfg, CharReader* input) { return config_map_document(cfg, input, nullptr); }

int load_config_file(ToolConfig* cfg, const char* path_utf8) { return load_config_file(cfg, path_utf8, nullptr); }

int load_config_file(ToolConfig* cfg, const char* path_utf8, ConfigError* error) {
  if (error) *error = ConfigError{};
  FileReader file;
  int st = file.open(path_utf8, nullptr);
  if (st != STATUS_OK) {
    if (error) std::snprintf(error->text, sizeof error->text, "%s", status_text(st));
    return st;
  }

  MarkingReader marking;
  st = marking.attach(&file, false);
  if (st == STATUS_OK) st = marking.mark(kMarkLimit);
  if (st != STATUS_OK) {
    (void)marking.close();
    (void)file.close();
    return st;
  }

  int result = config_map_document(cfg, &marking, error) == STATUS_OK ? STATUS_OK : STATUS_BAD_FORMAT;
  int close_st = marking.close();
  if (result == STATUS_OK) result = close_st;
  close_st = file.close();
  if (result == STATUS_OK) result = close_st;
  return result;
}
