#include "runtime/signal_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace {

constexpr size_t kPathBytes = 4096;
char g_path[kPathBytes];
volatile sig_atomic_t g_registered = 0;
bool g_installed = false;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_signal(int sig) {
  if (g_registered) {
    g_registered = 0;
    unlink(g_path);
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

}  // namespace

bool signal_cleanup_install() {
  if (g_installed) return true;
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
  g_installed = ok;
  return ok;
}

bool signal_cleanup_register(const char* path) {
  size_t n = std::strlen(path);
  if (n >= kPathBytes) return false;
  g_registered = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memcpy(g_path, path, n + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  g_registered = 1;
  return true;
}

void signal_cleanup_clear() { g_registered = 0; }
