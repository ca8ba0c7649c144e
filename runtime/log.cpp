#include "runtime/log.h"

#include <cstdarg>

namespace {

FILE* g_sink = nullptr;

// Sets the sink to standard error before main runs.
struct SinkSetup {
  SinkSetup() {
    if (!g_sink) g_sink = stderr;
  }
} g_sink_setup;

}  // namespace

FILE* log_set_sink(FILE* sink) {
  FILE* old = log_sink();
  g_sink = sink ? sink : stderr;
  return old;
}

// Also serves callers that run during static initialization, before the
// setup object above has been constructed.
FILE* log_sink() { return g_sink ? g_sink : stderr; }

void log_line(const char* format, ...) {
  FILE* out = log_sink();
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  std::fflush(out);
}
