#include "tool/entry.h"

#include <cstdio>

#include "dsp/dsp.h"
#include "runtime/log.h"
#include "runtime/status.h"
#include "tool/command_line.h"
#include "tool/pipeline.h"
#include "tool/tool_config.h"

namespace {

// The configuration file's error lines go to standard error from the start.
struct LogSinkInit {
  LogSinkInit() { log_set_sink(stderr); }
} g_log_sink_init;

}  // namespace

int tool_main(int argc, char** argv) {
  ToolConfig cfg;
  int status = toolconfig_init(&cfg);
  if (status != 0) {
    std::fprintf(stderr, "Not enough memory\n");
    toolconfig_release(&cfg);
    return status;
  }
  status = parse_command_line(&cfg, argc, argv);
  if (status != 0) {
    if (status == STATUS_HELP_SHOWN) status = 0;
  } else {
    dsp_init();
    const DspTable& table = dsp();
    DspFpState fp{};
    table.dsp_start(&fp);
    status = process_groups(&cfg);
    table.dsp_finish(&fp);
  }
  toolconfig_release(&cfg);
  std::fflush(stdout);
  return status;
}
