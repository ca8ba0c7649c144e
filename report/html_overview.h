#pragma once

#include "report/run_report.h"
#include "report/text_buffer.h"

// Appends index.html for `r`: one self-contained page (inline CSS, no
// scripts, nothing fetched from the network) with a section per group and a
// card per child holding its plot, its numbers and links to its files;
// failures and skips are shown in place. `plot_names` is as for
// report_json_build. When `report_dir` is given, files of the record that
// do not exist there are listed without a link, so the page never points
// at a missing file. False when memory runs out.
bool report_html_build(const RunReport* r, const char* const* plot_names, const char* report_dir,
                       TextBuffer* out);
