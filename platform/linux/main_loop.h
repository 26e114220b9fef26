#pragma once

#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace vorn::linuxbackend {

// The main queue on an asio io_context that runs on the thread that calls run(). Blocks posted from
// any thread run there one at a time in posting order (asio runs posted handlers FIFO on a single
// running thread). After each turn (a batch of ready handlers) the turn observers run, which is
// where the screen is redrawn and bus properties are refreshed.
class MainLoop : public platform::MainQueue {
 public:
  // The constructing thread is the main thread.
  MainLoop();
  ~MainLoop() override;

  void post(std::function<void()> block) override;
  bool isMainThread() const override;

  asio::io_context& context() { return *context_; }

  // Runs until stop(). Main thread.
  void run();
  // Makes run() return after the handler that is running now. Any thread.
  void stop();
  // Destroys every block that has not run yet (and whatever it holds) and ignores later posts.
  // Main thread, after run() returned.
  void shutdown();

  // Called on the main thread after every turn of run(). Main thread, before run().
  void addTurnObserver(std::function<void()> observer);

 private:
  std::thread::id mainThread_;
  mutable std::mutex mutex_;  // guards context_ against shutdown() while other threads post
  std::unique_ptr<asio::io_context> context_;
  bool shutDown_ = false;
  std::vector<std::function<void()>> turnObservers_;
};

}  // namespace vorn::linuxbackend
