#include "tool/output_kinds.h"

#include <cstdint>

#include "report/run_report.h"
#include "tool/keywords.h"
#include "tool/tool_config.h"

constexpr OutputKindRow OUTPUT_KINDS[] = {
    {OUTPUT_FR_MASTER, OUTPUT_OF_MASTER, PRODUCE_FRM, "frm", REPORT_FILE_FRM, offsetof(ToolConfig, ir.fr_master)},
    {OUTPUT_FR_CHILD, OUTPUT_OF_CHILD, PRODUCE_FRC, "frc", REPORT_FILE_FRC, offsetof(ToolConfig, ir.fr_child)},
    {OUTPUT_RAW_IR, OUTPUT_OF_CHILD, PRODUCE_RAW, "raw", REPORT_FILE_RAW, offsetof(ToolConfig, ir.raw)},
    {OUTPUT_CURVE, OUTPUT_OF_CHILD, 0, "curve", -1, offsetof(ToolConfig, export_curve)},
    {OUTPUT_IR, OUTPUT_OF_CHILD, PRODUCE_IR, "ir", REPORT_FILE_IR, offsetof(ToolConfig, ir.file)},
    {OUTPUT_AUDIO, OUTPUT_OF_CHILD, PRODUCE_AUDIO, "audio", REPORT_FILE_AUDIO, offsetof(ToolConfig, file)},
    {OUTPUT_REPORT, OUTPUT_OF_RUN, 0, "report", -1, SIZE_MAX},
    {OUTPUT_RECORD, OUTPUT_OF_RUN, 0, "record", -1, SIZE_MAX},
};

const size_t OUTPUT_KIND_COUNT = sizeof OUTPUT_KINDS / sizeof OUTPUT_KINDS[0];

namespace {

constexpr const OutputKindRow& row_of(OutputKind kind) {
  for (const OutputKindRow& row : OUTPUT_KINDS)
    if (row.kind == kind) return row;
  return OUTPUT_KINDS[OUTPUT_KIND_COUNT - 1];
}

constexpr KeywordEntry word_of(OutputKind kind) { return {row_of(kind).keyword, row_of(kind).produce}; }

constexpr bool all_is_every_bit() {
  uint64_t bits = 0;
  for (const OutputKindRow& row : OUTPUT_KINDS) bits |= row.produce;
  return bits == PRODUCE_ALL;
}
static_assert(all_is_every_bit(), "\"all\" asks for every output a keyword asks for");

}  // namespace

// The produce keywords in the order the help and the manual list them.
const KeywordEntry PRODUCE_KEYWORDS[6] = {
    word_of(OUTPUT_IR),   word_of(OUTPUT_RAW_IR),    word_of(OUTPUT_AUDIO),
    {"all", PRODUCE_ALL}, word_of(OUTPUT_FR_MASTER), word_of(OUTPUT_FR_CHILD),
};

const OutputKindRow& output_kind_row(OutputKind kind) { return row_of(kind); }

const String* output_template(const ToolConfig* cfg, const OutputKindRow& row) {
  if (row.templ == SIZE_MAX) return nullptr;
  return reinterpret_cast<const String*>(reinterpret_cast<const unsigned char*>(cfg) + row.templ);
}

bool output_wanted(const ToolConfig* cfg, const OutputKindRow& row) {
  const String* templ = output_template(cfg, row);
  if (!templ) return false;
  return row.produce ? (cfg->produce & row.produce) != 0 : templ->length > 0;
}
