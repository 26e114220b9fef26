#include "platform/sim/world.h"

#include <utility>

namespace vorn::sim {

World::World(WorldOptions options)
    : options_(options),
      scheduler_(options.startTime),
      media_(scheduler_, trace_, *this, options.defaultMediaLength),
      application_(std::make_unique<platform::Application>(*this)) {
  application_->setScreenBounds({0.0, 0.0, options.screenSize.width, options.screenSize.height});
  scheduler_.setAfterMainTurn([this] { trace_.viewTreeMaybeChanged(); });
}

bool World::launch(const platform::ClassRegistry& registry, const std::string& delegateClassName,
                   const platform::MainInterface& mainInterface,
                   const std::function<void(platform::ViewController&)>& configureRootController) {
  const bool launched = application_->launch(registry, delegateClassName, mainInterface,
                                             screenBounds(), configureRootController);
  trace_.viewTreeMaybeChanged();
  return launched;
}

World::~World() {
  // A tracer or hook may refer to objects that are already gone.
  trace_.clear();
  // The application first: delegate, window and controller. An empty one takes its place
  // beforehand, so that a destructor that reaches application() still finds one.
  auto application = std::exchange(application_, std::make_unique<platform::Application>(*this));
  application_->setScreenBounds(application->screenBounds());
  application.reset();
  // Then everything that may still hold the logic's objects, released while every service is
  // still in place (a destructor may post, schedule or register more; a few rounds settle that).
  // The centres are swapped for empty ones before their actions are released, so that an object
  // that unregisters itself in its destructor finds a working centre.
  for (int round = 0; round < 16; ++round) {
    std::unique_ptr<platform::NotificationCenter> notifications;
    if (notificationCenter_->registrationCount() != 0) {
      notifications =
          std::exchange(notificationCenter_, std::make_unique<platform::NotificationCenter>());
    }
    std::unique_ptr<platform::RemoteCommandCenter> commands;
    if (round == 0) {
      commands =
          std::exchange(remoteCommandCenter_, std::make_unique<platform::RemoteCommandCenter>());
    }
    auto observers = media_.dropObservers();
    auto held = network_.dropHeld();
    auto drained = scheduler_.drain();
    const bool empty =
        !notifications && !commands && observers.empty() && held.empty() && drained.empty();
    for (auto& work : drained.work) {
      if (work.discard) {
        work.discard();
      }
    }
    observers.clear();
    held.clear();
    drained = {};
    notifications.reset();
    commands.reset();
    if (empty) {
      break;
    }
  }
}

}  // namespace vorn::sim
