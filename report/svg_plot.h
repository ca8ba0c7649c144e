#pragma once

#include <cstdint>

#include "report/run_report.h"
#include "report/text_buffer.h"

// The per-child plot: master's and child's long-term spectra (1/6-octave
// smoothed, left dB axis) and the applied correction per channel (right dB
// axis) over a logarithmic frequency axis from 20 Hz to the Nyquist
// frequency, with a legend and a caption of file names and key numbers.
// The series are <path> elements with the ids "spectrum-master",
// "spectrum-child" and "correction-applied-<channel>" (from 1), so tools and
// tests can find them. When the true-peak limiter ran, a panel under the
// caption shows its gain over time (the path "limiter-gain").

// Whether the child has anything of its own to plot (its spectrum or an
// applied curve reaching above 20 Hz, or a plot kept from an earlier
// report); the master's spectrum alone is not a plot of the child.
bool report_child_has_plot(const ReportGroup* g, const ReportChild* c);

// Appends the plot's file name: "plot-<group>-<child>-<stem>.svg" with
// 1-based indexes and the child's file stem reduced to [A-Za-z0-9_-] (at
// most 40 bytes), so it is unique within a report and safe in any URL.
bool report_plot_file_name(uint64_t group_index, uint64_t child_index, const ReportChild* c,
                           TextBuffer* out);
// The same name from the child's path as the run names it (UTF-8), so that
// a run can plan the plots before it has a record of them.
bool report_plot_file_name(uint64_t group_index, uint64_t child_index, const char* child_path, TextBuffer* out);

// Appends the SVG document (a kept plot as it is). False when memory runs
// out.
bool report_svg_build(const ReportGroup* g, const ReportChild* c, TextBuffer* out);

// Series colours, shared with the HTML legend and the screenshot check of
// scripts/render_report.sh.
constexpr const char* kColourMaster = "#1f77b4";
constexpr const char* kColourChild = "#d62728";
constexpr const char* kColourCurve = "#2ca02c";

// Caption helpers shared with the HTML overview: "12.3 Hz", "1.25 kHz".
bool report_append_hz(TextBuffer* b, double hz);
// "+3.2 dB at 1.25 kHz"; "n/a" when unknown.
bool report_append_db_at(TextBuffer* b, double db, double hz);
