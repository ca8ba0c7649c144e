#pragma once

#include <cstddef>
#include <cstdint>

struct String;
struct ToolConfig;

// The kinds of file a run writes, one row each: what asks for it, what
// names it, how the report lists it. The rows stand in the order a
// group's outputs are written (the master's, then each child's in turn).

// Outputs asked for by keyword (bits of ToolConfig::produce).
enum ProduceFlags : uint64_t {
  PRODUCE_IR = 1,
  PRODUCE_RAW = 2,
  PRODUCE_AUDIO = 4,
  PRODUCE_FRM = 8,
  PRODUCE_FRC = 16,
  PRODUCE_ALL = 31,  // "all"
};

enum OutputKind : uint32_t {
  OUTPUT_FR_MASTER = 0,  // the master's frequency response
  OUTPUT_FR_CHILD = 1,   // the child's frequency response
  OUTPUT_RAW_IR = 2,     // the raw impulse response
  OUTPUT_IR = 3,         // the trimmed impulse response
  OUTPUT_AUDIO = 4,      // the processed audio
  OUTPUT_REPORT = 5,     // a file of the run report
  OUTPUT_CURVE = 6,      // the applied correction as CSV
  OUTPUT_RECORD = 7,     // what a kept output was made from, hidden beside it
};

enum OutputOwner : uint8_t { OUTPUT_OF_MASTER, OUTPUT_OF_CHILD, OUTPUT_OF_RUN };

struct OutputKindRow {
  OutputKind kind;
  OutputOwner owner;    // one per group, one per child, or the run's own
  uint64_t produce;     // the bit asking for it; 0: its template alone does
  const char* keyword;  // the produce keyword, or its word in messages
  int32_t report_kind;  // the ReportFileKind it is listed as; -1: not listed
  size_t templ;         // offset of its template (a String) in ToolConfig; SIZE_MAX: none
};

extern const OutputKindRow OUTPUT_KINDS[];
extern const size_t OUTPUT_KIND_COUNT;

const OutputKindRow& output_kind_row(OutputKind kind);

// The template naming outputs of `row`; null for the run's own files.
const String* output_template(const ToolConfig* cfg, const OutputKindRow& row);

// Whether the configuration asks for outputs of `row`: its produce bit, or
// for a kind without one its template, is set.
bool output_wanted(const ToolConfig* cfg, const OutputKindRow& row);
