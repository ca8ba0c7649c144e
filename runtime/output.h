#pragma once

#include <cstddef>

// The program's lines on standard output and standard error. They are
// printed at once, unless the calling thread has an active capture: then
// they are kept, in order and with the stream each belongs to, until the
// owner prints the capture in one piece. Parallel work uses this to print
// each piece of work's lines together and in a fixed order.

struct OutputCapture {
  char* data;       // records of (stream byte, 4-byte length, text); mem_alloc'd
  size_t size;
  size_t capacity;
};

void output_capture_init(OutputCapture* c);
// Frees the kept text; accepts a zeroed record; idempotent.
void output_capture_release(OutputCapture* c);

// The calling thread's lines go into `c` until output_capture_end.
void output_capture_begin(OutputCapture* c);
void output_capture_end();

// Writes the kept lines to their streams in the order they were made and
// empties the capture. Standard output is flushed before each switch to
// standard error and at the end, so the two keep their order.
void output_capture_flush(OutputCapture* c);

// printf to standard output or standard error, or into the thread's
// capture. Should the capture run out of memory, the text is printed at
// once instead, so nothing is lost.
int out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
int err_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
