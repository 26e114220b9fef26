#include "platform/sim/world.h"

#include <utility>

namespace vorn::sim {

World::World(WorldOptions options)
    : options_(options),
      scheduler_(options.startTime),
      media_(scheduler_, trace_, *this, options.defaultMediaLength) {
  application().setScreenBounds({0.0, 0.0, options.screenSize.width, options.screenSize.height});
  scheduler_.setAfterMainTurn([this] { trace_.viewTreeMaybeChanged(); });
  network_.setStreamAnswers([this](const std::string& url) { return !media_.isBroken(url); });
}

bool World::launch(const platform::ClassRegistry& registry, const std::string& delegateClassName,
                   const platform::MainInterface& mainInterface,
                   const std::function<void(platform::ViewController&)>& configureRootController) {
  const bool launched = application().launch(registry, delegateClassName, mainInterface,
                                             screenBounds(), configureRootController);
  trace_.viewTreeMaybeChanged();
  return launched;
}

World::~World() {
  // A tracer or hook may refer to objects that are already gone.
  trace_.clear();
  shutdown();
}

bool World::releasePendingWork() {
  auto observers = media_.dropObservers();
  auto held = network_.dropHeld();
  auto drained = scheduler_.drain();
  const bool released = !observers.empty() || !held.empty() || !drained.empty();
  for (auto& work : drained.work) {
    if (work.discard) {
      work.discard();
    }
  }
  return released;
}

}  // namespace vorn::sim
