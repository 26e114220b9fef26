#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

// The build sets VORN_SEQUENCE_CHECKS (the CMake option of that name: on in Debug builds and in
// every build the tests run from). Without the build's word, checks are on where asserts are.
#ifndef VORN_SEQUENCE_CHECKS
#ifdef NDEBUG
#define VORN_SEQUENCE_CHECKS 0
#else
#define VORN_SEQUENCE_CHECKS 1
#endif
#endif

namespace vorn::platform {

// Asserts that state meant for one thread is only touched from one thread. The first thread to
// check owns the state from then on; a check from any other thread writes which state and where
// to standard error and aborts, because the touch is a data race whose harm would show later and
// elsewhere. A check costs one atomic load and a thread-id compare; with checks off it does
// nothing, and the object's size is the same either way. check() may be called from any thread.
class SequenceChecker {
 public:
  // `what` names the guarded state; `file` and `line` say where the check stands.
  void check(const char* what, const char* file, int line) const {
#if VORN_SEQUENCE_CHECKS
    const auto self = std::this_thread::get_id();
    auto owner = owner_.load(std::memory_order_relaxed);
    if (owner == self) {
      return;
    }
    if (owner == std::thread::id() &&
        owner_.compare_exchange_strong(owner, self, std::memory_order_relaxed)) {
      return;
    }
    std::fprintf(stderr,
                 "sequence check failed: %s touched at %s:%d from a thread other than the one "
                 "that owns it\n",
                 what, file, line);
    std::fflush(stderr);
    std::abort();
#else
    (void)what;
    (void)file;
    (void)line;
#endif
  }

 private:
  mutable std::atomic<std::thread::id> owner_{};
};

}  // namespace vorn::platform

// Checks `checker` here, naming the state it guards.
#define VORN_CHECK_SEQUENCE(checker, what) (checker).check(what, __FILE__, __LINE__)
