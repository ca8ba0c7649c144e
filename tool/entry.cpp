#include "tool/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "dsp/dsp.h"
#include "runtime/log.h"
#include "runtime/status.h"
#include "tool/command_line.h"
#include "tool/pipeline.h"
#include "tool/report_merge.h"
#include "tool/tool_config.h"

namespace {

// The configuration file's error lines go to standard error from the start.
struct LogSinkInit {
  LogSinkInit() { log_set_sink(stderr); }
} g_log_sink_init;

// Quiet runs print nothing on standard output: it is pointed at /dev/null
// (standard error is left alone).
void silence_standard_output() {
  std::fflush(stdout);
  int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  (void)dup2(fd, STDOUT_FILENO);
  close(fd);
}

}  // namespace

int tool_main(int argc, char** argv) {
  // Progress lines go out as they are made, so that a log of standard
  // output and standard error together keeps their order.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
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
    if (cfg.quiet) silence_standard_output();
    dsp_init();
    const DspTable& table = dsp();
    DspFpState fp{};
    table.dsp_start(&fp);
    status = cfg.merge_reports.length > 0 ? merge_reports(&cfg) : run_groups(&cfg, argc, argv);
    table.dsp_finish(&fp);
  }
  toolconfig_release(&cfg);
  std::fflush(stdout);
  return status;
}
