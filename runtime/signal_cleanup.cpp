#include "runtime/signal_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t kPathBytes = 4096;
// One slot per file being written at the same time (parallel jobs save at
// once; the jobs setting is at most 1024). A slot is free, being filled,
// creating (its file is about to be made or being made) or armed (its file
// exists). Lock-free atomics are safe to read in a signal handler.
constexpr int kSlots = 1024;
enum : int { kFree = 0, kFilling = 1, kArmed = 2, kCreating = 3 };
char g_paths[kSlots][kPathBytes];
std::atomic<int> g_state[kSlots];
thread_local int t_slot = -1;
// Set by the handler before it looks at the slots. A thread that learns of
// it while it registers or creates removes its own file and waits for the
// end, so no file is made after the handler has passed its slot.
std::atomic<int> g_dying{0};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

[[noreturn]] void wait_for_the_end() {
  for (;;) pause();
}

void on_signal(int sig) {
  g_dying.store(1);
  for (int i = 0; i < kSlots; ++i) {
    // Another thread between registering and knowing whether it created
    // its file finishes that step first (it cannot take long: an open).
    if (i != t_slot) {
      for (int waited = 0; waited < 2000; ++waited) {
        const int state = g_state[i].load();
        if (state != kFilling && state != kCreating) break;
        struct timespec pause_ms = {0, 1000000};
        nanosleep(&pause_ms, nullptr);
      }
    }
    const int state = g_state[i].load();
    if (state == kArmed || state == kCreating) {
      g_state[i].store(kFree);
      unlink(g_paths[i]);
    }
  }
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  // The signal is blocked while its handler runs; raise queues it and the
  // return below delivers it with the default action.
  raise(sig);
}

bool install_handlers() {
  bool ok = true;
  for (int sig : kSignals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0) {
      ok = false;
      continue;
    }
    if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO)) continue;
    struct sigaction act;
    std::memset(&act, 0, sizeof act);
    act.sa_handler = on_signal;
    sigemptyset(&act.sa_mask);
    for (int other : kSignals) sigaddset(&act.sa_mask, other);
    if (sigaction(sig, &act, nullptr) != 0) ok = false;
  }
  return ok;
}

}  // namespace

bool signal_cleanup_install() {
  // Once per process, even when several threads save at the same moment.
  static const bool installed = install_handlers();
  return installed;
}

bool signal_cleanup_register(const char* path) {
  size_t n = std::strlen(path);
  if (n >= kPathBytes) return false;
  if (t_slot < 0) {
    for (int i = 0; i < kSlots && t_slot < 0; ++i) {
      int expected = kFree;
      if (g_state[i].compare_exchange_strong(expected, kFilling)) t_slot = i;
    }
    if (t_slot < 0) return false;
  }
  g_state[t_slot].store(kFilling);
  std::memcpy(g_paths[t_slot], path, n + 1);
  g_state[t_slot].store(kCreating);
  if (g_dying.load()) {
    // The handler may have passed this slot already: make nothing.
    g_state[t_slot].store(kFree);
    wait_for_the_end();
  }
  return true;
}

void signal_cleanup_reopening() {
  if (t_slot < 0) return;
  g_state[t_slot].store(kCreating);
  if (g_dying.load()) {
    // The file exists already: the handler may have passed the slot
    // while it was armed and removed it, or not; either way it goes now.
    unlink(g_paths[t_slot]);
    g_state[t_slot].store(kFree);
    wait_for_the_end();
  }
}

void signal_cleanup_created() {
  if (t_slot < 0) return;
  if (g_dying.load()) {
    unlink(g_paths[t_slot]);
    g_state[t_slot].store(kFree);
    wait_for_the_end();
  }
  g_state[t_slot].store(kArmed);
}

void signal_cleanup_clear() {
  if (t_slot < 0) return;
  g_state[t_slot].store(kFree);
  t_slot = -1;
}
