#pragma once

#include "report/run_report.h"

struct String;

// Writes the run report into `directory` (created with its parents when
// missing): one SVG plot per child that has something to plot, then
// report.json, then index.html, which links to both. Each file is written to
// a hidden temporary beside it and renamed into place, so a reader never
// sees half a file. The record may be in any state (a run that stopped
// part-way reports what it got to).
// Returns 0; 13 for a missing argument; 5 when memory runs out; the status
// of make_directories for the directory; and for a file that cannot be
// written 22 (permission), 6 (missing), 18 (no space), 46 (read-only), 19
// (a component is not a directory), 42 (a directory is in the way) or 23.
// The first failure stops the writing.
[[nodiscard]] int report_write(const RunReport* r, const char* directory_utf8);
[[nodiscard]] int report_write(const RunReport* r, const String* directory);

// Writes `count` bytes to directory/name through a temporary and a rename;
// statuses as above.
[[nodiscard]] int report_write_file(const char* directory_utf8, const char* name, const char* data,
                                    uint64_t count);
