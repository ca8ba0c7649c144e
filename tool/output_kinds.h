#pragma once

#include <cstddef>
#include <cstdint>

struct String;
struct ToolConfig;

// The kinds of file a run writes, in one table: what asks for each (a
// produce keyword or its template), what names it (its template setting),
// how the report lists it, and in which order a child's outputs are
// written. The parser, the plan, the writers and the report all read it.

// Outputs asked for by keyword (bit set in ToolConfig::produce).
enum ProduceFlags : uint64_t {
  PRODUCE_IR = 1,
  PRODUCE_RAW = 2,
  PRODUCE_AUDIO = 4,
  PRODUCE_FRM = 8,
  PRODUCE_FRC = 16,
  PRODUCE_ALL = 31,  // "all": every output asked for by keyword
};

enum OutputKind : uint32_t {
  OUTPUT_FR_MASTER = 0,  // the master's frequency response, once per group
  OUTPUT_FR_CHILD = 1,   // the child's frequency response
  OUTPUT_RAW_IR = 2,     // the raw impulse response
  OUTPUT_IR = 3,         // the trimmed impulse response
  OUTPUT_AUDIO = 4,      // the processed audio
  OUTPUT_REPORT = 5,     // a file of the run report (no group, no source)
  OUTPUT_CURVE = 6,      // the applied correction as CSV
  OUTPUT_RECORD = 7,     // what an output was made from (kept outputs): beside it, hidden
};

// Whose output a kind is.
enum OutputOwner : uint8_t {
  OUTPUT_OF_MASTER,  // one per group, made from its master
  OUTPUT_OF_CHILD,   // one per child
  OUTPUT_OF_RUN,     // the run's own files (the report, the records)
};

struct OutputKindRow {
  OutputKind kind;
  OutputOwner owner;
  uint64_t produce;     // the bit that asks for it; 0: asked for by a set template alone
  const char* keyword;  // its produce keyword, or the word that names it in messages
  int32_t report_kind;  // the ReportFileKind it is listed as; -1: not listed
  size_t templ;         // offset of its name template (a String) in ToolConfig; SIZE_MAX: none
};

// Every kind, in the order a group's outputs are written: the master's
// response, then per child its rows in turn; the run's files last.
extern const OutputKindRow OUTPUT_KINDS[];
extern const size_t OUTPUT_KIND_COUNT;

// The row of `kind` (every kind has one).
const OutputKindRow& output_kind_row(OutputKind kind);

// The word of a kind in messages and listings ("frm", "audio", "curve").
const char* output_kind_keyword(OutputKind kind);

// The template naming outputs of `row`; null for the run's own files.
const String* output_template(const ToolConfig* cfg, const OutputKindRow& row);

// Whether the configuration asks for outputs of `row`: its produce bit is
// set, or, for a kind without one, its template is.
bool output_wanted(const ToolConfig* cfg, const OutputKindRow& row);
