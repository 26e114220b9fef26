#include "platform/linux/main_loop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

namespace vorn::linuxbackend {
namespace {
// Bounds one turn so that blocks which keep posting more blocks cannot starve the redraw.
constexpr int kMaxHandlersPerTurn = 256;
}  // namespace

MainLoop::MainLoop()
    : mainThread_(std::this_thread::get_id()), context_(std::make_unique<asio::io_context>(1)) {}

MainLoop::~MainLoop() {
  shutdown();
}

void MainLoop::post(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  if (shutDown_ || !block) {
    return;
  }
  asio::post(*context_, std::move(block));
}

bool MainLoop::isMainThread() const {
  return std::this_thread::get_id() == mainThread_;
}

void MainLoop::run() {
  auto guard = asio::make_work_guard(*context_);
  context_->restart();
  while (!context_->stopped()) {
    if (context_->run_one() == 0) {
      break;
    }
    for (int i = 1; i < kMaxHandlersPerTurn && context_->poll_one() > 0; ++i) {
    }
    for (auto& observer : turnObservers_) {
      observer();
    }
  }
}

void MainLoop::stop() {
  std::lock_guard lock(mutex_);
  if (context_) {
    context_->stop();
  }
}

void MainLoop::shutdown() {
  std::unique_ptr<asio::io_context> doomed;
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) {
      return;
    }
    shutDown_ = true;
    doomed = std::move(context_);
  }
  // Destroying the context destroys the pending handlers outside the lock, so a block whose
  // destruction posts again does not deadlock.
  doomed.reset();
}

void MainLoop::addTurnObserver(std::function<void()> observer) {
  turnObservers_.push_back(std::move(observer));
}

}  // namespace vorn::linuxbackend
