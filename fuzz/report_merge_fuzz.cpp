// Arbitrary bytes as the report of shard 0 of 2, merged with a fixed report
// of shard 1 by --merge-reports in a scratch directory: the reading of the
// document into a tree, the checks of its members, the reordering, the
// rewriting of paths and plots, and the writing of the merged files.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/string.h"
#include "tool/report_merge.h"
#include "tool/tool_config.h"

namespace {

const char kOther[] =
    "{\"report_format\": 1, \"version\": \"0.2.0\", \"command_line\": [\"timbral\"], \"settings\": {},"
    " \"status\": 0, \"message\": null, \"shard\": {\"index\": 1, \"count\": 2}, \"grid_points_per_octave\": 24,"
    " \"groups\": [{\"name\": \"b\", \"position\": 2, \"outcome\": \"done\", \"status\": 0, \"message\": null,"
    " \"master\": {\"path\": \"m.wav\"}, \"files\": [{\"kind\": \"frm\", \"path\": \"../../b/frm.wav\"}],"
    " \"children\": [{\"outcome\": \"done\", \"input\": {\"path\": \"c.wav\"}, \"plot\": \"plot-1-1-c.svg\","
    " \"files\": [{\"kind\": \"audio\", \"path\": \"../../b/c.wav\"}]}]}]}";

char g_scratch[64];  // the scratch directory, removed at exit

void write_file(const std::string& path, const void* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string dir = [] {
    char tmpl[] = "/tmp/timbral-merge-fuzz-XXXXXX";
    const char* made = mkdtemp(tmpl);
    std::string d = made ? made : "/tmp";
    (void)!std::system(("mkdir -p '" + d + "/shard-0-of-2' '" + d + "/shard-1-of-2'").c_str());
    write_file(d + "/shard-1-of-2/report.json", kOther, sizeof kOther - 1);
    write_file(d + "/shard-1-of-2/plot-1-1-c.svg", "<svg/>", 6);
    std::snprintf(g_scratch, sizeof g_scratch, "%s", d.c_str());
    std::atexit([] { (void)!std::system((std::string("rm -rf '") + g_scratch + "'").c_str()); });
    return d;
  }();
  write_file(dir + "/shard-0-of-2/report.json", data, size);
  // The merge's lines are not what is tested here; libFuzzer's own go on.
  std::fflush(stdout);
  std::fflush(stderr);
  static const int null = open("/dev/null", O_WRONLY);
  const int saved_out = dup(1), saved_err = dup(2);
  dup2(null, 1);
  dup2(null, 2);
  ToolConfig cfg;
  if (toolconfig_init(&cfg) == 0 && string_from_utf8(&cfg.merge_reports, dir.c_str(), dir.size()))
    (void)merge_reports(&cfg);
  toolconfig_release(&cfg);
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(saved_out);
  close(saved_err);
  return 0;
}
