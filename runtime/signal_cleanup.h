#pragma once

// Removal of a half-written file when the process is interrupted.
//
// While a file is being written under a temporary name, its path is
// registered here. Should SIGINT, SIGTERM or SIGHUP arrive, the handler
// unlinks the registered file, restores the signal's default action and
// raises it again, so the process still dies of that signal (the shell
// sees the usual status) and leaves nothing behind. Signals that were
// ignored when the handlers were installed (nohup) stay ignored, and
// handlers the program installed itself are left alone.
//
// One file is registered at a time per thread (parallel jobs each save
// their own); the paths are kept in fixed buffers so the handler needs no
// allocation and calls only async-signal-safe functions.

// Installs the handlers once per process; later calls do nothing. Returns
// false when sigaction fails (the save then goes on unprotected).
bool signal_cleanup_install();

// Registers `path` (NUL-terminated, at most 4095 bytes) as the file to
// remove, before the file is created; false (nothing registered) when it
// is longer. Then create the file and call signal_cleanup_created, or
// signal_cleanup_clear when it was not created. A handler that runs in
// between waits for that step (threads save at the same time), so a file
// made by any thread is removed. Should the process be dying of a signal
// already, this call (and signal_cleanup_created) do not return.
bool signal_cleanup_register(const char* path);

// The registered file was created.
void signal_cleanup_created();

// The registered file, which exists, is about to be opened again by its
// name (a library that opens by name creates it anew should it be gone);
// call signal_cleanup_created after the open.
void signal_cleanup_reopening();

// Forgets the calling thread's registered file; call it before renaming or removing it.
void signal_cleanup_clear();
