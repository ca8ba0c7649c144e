#pragma once

#include <cstdio>

// Process-wide log sink for error lines that must reach the user at once
// (the "[ERR]" lines of the configuration file). Every line is written with
// one call and flushed immediately. The sink is standard error from static
// initialization on; tests may point it at a file of their own.

// Replaces the sink; null restores standard error. Returns the previous sink.
FILE* log_set_sink(FILE* sink);

// The current sink (never null).
FILE* log_sink();

// printf-formatted text to the sink, then a flush. The text is passed as
// given: callers encode arguments in the locale's character set first.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
