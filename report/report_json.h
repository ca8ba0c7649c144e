#pragma once

#include "report/run_report.h"
#include "report/text_buffer.h"

// Appends report.json for `r` to `out`: one JSON document (UTF-8, numbers
// as numbers, non-finite values as null). `plot_names[i]` is the SVG file of
// the i-th child in report order (groups, then their children), or null for
// a child without a plot. False when memory runs out.
bool report_json_build(const RunReport* r, const char* const* plot_names, TextBuffer* out);

// Points per octave of the grid report.json gives the curves on.
constexpr int kJsonGridPerOctave = 24;
