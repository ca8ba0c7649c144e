// Arbitrary bytes as the report.json an earlier run left where a resumed
// run writes its report: read back into a record (children's measures on
// the file's grid included), then written again as a report in a scratch
// directory, which draws nothing for a record read back.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "report/report_writer.h"
#include "report/run_report.h"
#include "tool/report_merge.h"

namespace {

char g_scratch[64];  // the scratch directory, removed at exit

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string dir = [] {
    char tmpl[] = "/tmp/timbral-read-fuzz-XXXXXX";
    const char* made = mkdtemp(tmpl);
    std::string d = made ? made : "/tmp";
    std::snprintf(g_scratch, sizeof g_scratch, "%s", d.c_str());
    std::atexit([] { (void)!std::system((std::string("rm -rf '") + g_scratch + "'").c_str()); });
    return d;
  }();
  const std::string path = dir + "/earlier.json";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  RunReport r;
  report_init(&r);
  const char* why = nullptr;
  if (report_read(path.c_str(), &r, &why) == 0) (void)report_write(&r, (dir + "/out").c_str());
  report_release(&r);
  return 0;
}
