#pragma once

#include <asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch.h"
#include "platform/linux/mpv_backend.h"
#include "platform/notification_center.h"

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

// An mpv backend whose wake-ups drain its events on `queue`, as the application's loop does; a
// wake-up still queued when the backend is gone drains nothing.
inline std::shared_ptr<linuxbackend::MpvBackend> makeDrainedBackend(
    PumpedQueue& queue, platform::NotificationCenter& center,
    const linuxbackend::MpvOptions& options) {
  auto self = std::make_shared<std::weak_ptr<linuxbackend::MpvBackend>>();
  auto pending = std::make_shared<std::atomic<bool>>(false);
  auto backend = std::make_shared<linuxbackend::MpvBackend>(queue, queue.context(), center, options,
                                                            [&queue, self, pending] {
                                                              if (!pending->exchange(true)) {
                                                                queue.post([self, pending] {
                                                                  pending->store(false);
                                                                  if (auto backend = self->lock()) {
                                                                    backend->drainEvents();
                                                                  }
                                                                });
                                                              }
                                                            });
  *self = backend;
  return backend;
}

}  // namespace vorn::linuxtest
