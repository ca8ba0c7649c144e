#include "tool/config_file.h"

#include <cmath>
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
#include "tool/keywords.h"
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

// Text of a key for a message.
const char* key_text(const SettingRow* row) { return row->key; }

// BOOLEAN as is; FLOAT true above 0.5 (0.5 itself is false); INTEGER true
// when non-zero.
bool event_boolean(const DocumentEvent& e, bool* dst) {
  switch (e.kind) {
    case BOOLEAN: *dst = e.value.boolean != 0; return true;
    case FLOAT: *dst = e.value.real > 0.5; return true;
    case INTEGER: *dst = e.value.integer != 0; return true;
    default: return false;
  }
}

// An array of keywords OR-ed together; unknown ones are reported and
// ignored. The result replaces `produce` only once the array is complete.
int read_produce(Mapper* m, uint64_t* produce) {
  int st = next(m);
  if (st != STATUS_OK) return st;
  if (m->event.kind != ARRAY_BEGIN) return fail(m, STATUS_TYPE_MISMATCH, "'produce' must be a list of outputs");
  uint64_t acc = 0;
  for (;;) {
    st = next(m);
    if (st != STATUS_OK) return st;
    if (m->event.kind == ARRAY_END) break;
    if (m->event.kind != STRING) return fail(m, STATUS_TYPE_MISMATCH, "'produce' must be a list of outputs");
    uint64_t bits = 0;
    if (produce_keyword_find(&m->event.text, &bits)) {
      acc |= bits;
    } else {
      std::fprintf(stderr, "Warning: unknown flag '%s'\n", event_text(m));
      std::fflush(stderr);
    }
  }
  *produce = acc;
  return STATUS_OK;
}

// The allowed words of a keyword row, "a, b, c", for messages.
void keyword_list(const SettingRow* row, char* out, size_t size) {
  out[0] = '\0';
  for (uint32_t i = 0; i < row->keyword_count; ++i) {
    if (i) std::strncat(out, ", ", size - std::strlen(out) - 1);
    std::strncat(out, row->keywords[i].word, size - std::strlen(out) - 1);
  }
}

// A number of a float or level row: FLOAT or INTEGER, finite (a silent
// gain may be -Infinity where the row allows it) and in the row's range.
int read_number(Mapper* m, const SettingRow* row, float* dst) {
  double v = 0.0;
  if (m->event.kind == FLOAT) v = m->event.value.real;
  else if (m->event.kind == INTEGER) v = static_cast<double>(m->event.value.integer);
  else return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be a number", key_text(row));
  bool neg_inf_ok = (row->flags & SETTING_NEG_INFINITY) && std::isinf(v) && v < 0;
  if (!neg_inf_ok && !std::isfinite(v)) return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be a finite number", key_text(row));
  if (!neg_inf_ok && !setting_in_range(row, v)) {
    if (row->flags & SETTING_ZERO_TOO) {
      return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be 0 or lie between %.10g and %.10g", key_text(row), row->min,
                  row->max);
    }
    return fail(m, STATUS_TYPE_MISMATCH, "'%s' must lie between %.10g and %.10g", key_text(row), row->min, row->max);
  }
  *dst = static_cast<float>(v);
  return STATUS_OK;
}

// Reads the value of the setting `row` into the configuration.
int read_setting_value(Mapper* m, const SettingRow* row) {
  ToolConfig* cfg = m->cfg;
  if (row->kind == SETTING_PRODUCE) return read_produce(m, setting_field<uint64_t>(cfg, row));
  int st = next(m);
  if (st != STATUS_OK) return st;
  const DocumentEvent& e = m->event;
  if (e.kind == INTEGER && e.overflowed) {
    return fail(m, STATUS_BAD_FORMAT, "'%s' is an integer too large to be read (beyond the 64-bit range)", key_text(row));
  }
  switch (row->kind) {
    case SETTING_TEXT:
    case SETTING_TEMPLATE:
      if (e.kind != STRING) return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be a string", key_text(row));
      if (row->kind == SETTING_TEXT && string_has_nul(&e.text)) {
        return fail(m, STATUS_BAD_FORMAT, "'%s' contains a NUL character", key_text(row));
      }
      return string_assign(setting_field<String>(cfg, row), &e.text) ? STATUS_OK : STATUS_NO_MEMORY;
    case SETTING_FLOAT:
      return read_number(m, row, setting_field<float>(cfg, row));
    case SETTING_INTEGER:
      if (e.kind != INTEGER) return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be an integer", key_text(row));
      if (!setting_in_range(row, static_cast<double>(e.value.integer))) {
        return fail(m, STATUS_TYPE_MISMATCH, "'%s' must lie between %.10g and %.10g", key_text(row), row->min, row->max);
      }
      *setting_field<int64_t>(cfg, row) = e.value.integer;
      return STATUS_OK;
    case SETTING_RATE:
      if (e.kind == STRING && string_compare_cstr_nocase(&e.text, "source") == 0) {
        cfg->srate_source = true;
        cfg->srate_child = false;
        return STATUS_OK;
      }
      if (e.kind == STRING && string_compare_cstr_nocase(&e.text, "child") == 0) {
        cfg->srate_child = true;
        cfg->srate_source = false;
        return STATUS_OK;
      }
      if (e.kind != INTEGER || !setting_in_range(row, static_cast<double>(e.value.integer))) {
        return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be an integer from %.10g to %.10g, 'source' or 'child'", key_text(row),
                    row->min, row->max);
      }
      cfg->srate = static_cast<uint64_t>(e.value.integer);
      cfg->srate_source = false;
      cfg->srate_child = false;
      return STATUS_OK;
    case SETTING_BOOLEAN:
      if (!event_boolean(e, setting_field<bool>(cfg, row))) {
        return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be true or false", key_text(row));
      }
      return STATUS_OK;
    case SETTING_KEYWORD: {
      uint64_t value = 0;
      bool found = false;
      if (e.kind == STRING) {
        found = keyword_find(row->keywords, row->keyword_count, &e.text, &value);
      } else if (e.kind == INTEGER && (row->flags & SETTING_NUMERIC_WORDS)) {
        char digits[32];
        std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(e.value.integer));
        for (uint32_t i = 0; i < row->keyword_count; ++i) {
          if (std::strcmp(digits, row->keywords[i].word) == 0) {
            value = row->keywords[i].value;
            found = true;
          }
        }
      } else {
        return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be a string", key_text(row));
      }
      if (!found) {
        if (e.kind == STRING) {
          std::fprintf(stderr, "Error: unknown flag '%s'\n", event_text(m));
          std::fflush(stderr);
        }
        char words[128];
        keyword_list(row, words, sizeof words);
        return fail(m, STATUS_BAD_FORMAT, "'%s' must be one of %s", key_text(row), words);
      }
      *setting_field<uint64_t>(cfg, row) = value;
      return STATUS_OK;
    }
    case SETTING_LEVEL: {
      OptionalLevel* level = setting_field<OptionalLevel>(cfg, row);
      if (e.kind == NULL_VALUE || (e.kind == STRING && string_compare_cstr_nocase(&e.text, "off") == 0)) {
        level->on = false;
        return STATUS_OK;
      }
      if (e.kind != FLOAT && e.kind != INTEGER) {
        return fail(m, STATUS_TYPE_MISMATCH, "'%s' must be a number or 'off'", key_text(row));
      }
      st = read_number(m, row, &level->value);
      if (st != STATUS_OK) return st;
      level->on = !(level->value == 0.0f && (row->flags & SETTING_ZERO_OFF));
      if ((row->flags & SETTING_ZERO_WAS_OFF) && level->value == 0.0f) {
        // Files written when 0 switched the limit off would now forbid it.
        const char* what = std::strncmp(row->key, "max_", 4) == 0 ? row->key + 4 : row->key;
        log_line("[WRN] '%s' of 0 now means no %s at all; 'off' means no limit\n", row->key, what);
      }
      return STATUS_OK;
    }
    default:
      return document_reader_skip_value(&m->reader);
  }
}

// The same, recording that the file gave the setting.
int read_setting(Mapper* m, const SettingRow* row) {
  int st = read_setting_value(m, row);
  if (st == STATUS_OK) setting_mark_given(m->cfg, row);
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
    const SettingRow& row = SETTINGS[i];
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
