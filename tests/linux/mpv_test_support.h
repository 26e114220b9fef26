#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch.h"

namespace vorn::linuxtest {

// A main queue the test thread pumps itself, so a test can run until a condition holds. Its
// asio context (the backend's timers) runs on the same thread, between batches.
class PumpedQueue : public platform::MainQueue {
 public:
  PumpedQueue() : mainThread_(std::this_thread::get_id()) {}

  void post(std::function<void()> block) override {
    {
      std::lock_guard lock(mutex_);
      blocks_.push_back(std::move(block));
    }
    ready_.notify_one();
  }
  bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }
  asio::io_context& context() { return context_; }

  // Runs posted blocks (and `afterTurn` after each batch) until `done` holds or `timeout`
  // passes; returns whether `done` held.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                const std::function<void()>& afterTurn = {}) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
      std::deque<std::function<void()>> batch;
      {
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !blocks_.empty(); });
        batch.swap(blocks_);
      }
      for (auto& block : batch) {
        block();
      }
      if (context_.stopped()) {
        context_.restart();
      }
      context_.poll();
      if (afterTurn) {
        afterTurn();
      }
    }
    return true;
  }

  // Runs blocks for `duration` whatever happens.
  void runFor(std::chrono::milliseconds duration, const std::function<void()>& afterTurn = {}) {
    runUntil([] { return false; }, duration, afterTurn);
  }

 private:
  std::thread::id mainThread_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> blocks_;
  asio::io_context context_;
};

// Where the project's scripts live (set by the build).
inline std::string sourceDir() {
  return VORN_SOURCE_DIR;
}

}  // namespace vorn::linuxtest
