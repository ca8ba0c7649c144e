// Arbitrary bytes as a command line: the input split at NUL bytes into
// arguments after the program name, through the collecting ("--name=value"
// included), the value parsers with their explanations, the presets and
// the checks of combined settings, into a fresh ToolConfig. A configuration
// file option is dropped with its value, so that no file is read (a path
// such as /dev/stdin would wait).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "tool/command_line.h"
#include "tool/tool_config.h"

namespace {

bool names_config(const std::string& arg) {
  return arg == "-c" || arg == "--config" || arg.rfind("--config=", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    // Help, listings and messages go nowhere.
    FILE* f = std::fopen("/dev/null", "w");
    if (f) log_set_sink(f);
    return std::freopen("/dev/null", "w", stdout) && std::freopen("/dev/null", "w", stderr);
  }();
  (void)quiet;

  std::vector<std::string> args = {"timbral"};
  const char* text = reinterpret_cast<const char*>(data);
  for (size_t at = 0; at <= size && args.size() < 64;) {
    const void* nul = std::memchr(text + at, 0, size - at);
    size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : size;
    std::string arg(text + at, end - at);
    if (names_config(arg)) {
      at = end + 1;
      // Its value goes too.
      const void* next = at < size ? std::memchr(text + at, 0, size - at) : nullptr;
      at = next ? static_cast<size_t>(static_cast<const char*>(next) - text) + 1 : size + 1;
      continue;
    }
    args.push_back(arg);
    at = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  ToolConfig cfg;
  if (toolconfig_init(&cfg) == 0) (void)parse_command_line(&cfg, static_cast<int>(args.size()), argv.data());
  toolconfig_release(&cfg);
  return 0;
}
