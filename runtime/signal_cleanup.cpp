#include "runtime/signal_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace {

constexpr size_t kPathBytes = 4096;
// One slot per file being written at the same time (parallel jobs save at
// once; the jobs setting is at most 1024). A slot is free (0), being filled
// (1) or armed (2); the handler removes the armed ones. Lock-free atomics
// are safe to read in a signal handler.
constexpr int kSlots = 1024;
char g_paths[kSlots][kPathBytes];
std::atomic<int> g_state[kSlots];
thread_local int t_slot = -1;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_signal(int sig) {
  for (int i = 0; i < kSlots; ++i) {
    if (g_state[i].load() == 2) {
      g_state[i].store(0);
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
      int expected = 0;
      if (g_state[i].compare_exchange_strong(expected, 1)) t_slot = i;
    }
    if (t_slot < 0) return false;
  }
  g_state[t_slot].store(1);
  std::memcpy(g_paths[t_slot], path, n + 1);
  g_state[t_slot].store(2);
  return true;
}

void signal_cleanup_clear() {
  if (t_slot < 0) return;
  g_state[t_slot].store(0);
  t_slot = -1;
}
