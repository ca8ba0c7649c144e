#pragma once

#include <pthread.h>

// A thread that the system may refuse, as it does when a process reaches
// its limit of threads: start() then says so and the caller does the work
// itself, where std::thread would end the program. The callable must
// outlive the thread; join() (or the destructor) waits for it.
class Thread {
 public:
  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  ~Thread() { join(); }

  // Runs (*fn)() on a new thread; false when the system refuses one.
  template <class F>
  bool start(F* fn) {
    if (started_) return false;
    started_ = pthread_create(&id_, nullptr, &call<F>, fn) == 0;
    return started_;
  }

  // Waits for the thread when one was started.
  void join() {
    if (started_) pthread_join(id_, nullptr);
    started_ = false;
  }

  bool started() const { return started_; }

 private:
  template <class F>
  static void* call(void* fn) {
    (*static_cast<F*>(fn))();
    return nullptr;
  }

  pthread_t id_{};
  bool started_ = false;
};
