#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/common/file_state_store.h"
#include "platform/common/platform_base.h"
#include "platform/platform.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_services.h"
#include "platform/sim/sim_status.h"
#include "platform/sim/sim_text_metrics.h"
#include "platform/sim/sim_url_session.h"
#include "platform/sim/trace.h"

namespace vorn::sim {

struct WorldOptions {
  double startTime = 0.0;  // wall clock at construction, seconds since 1970 UTC
  platform::Size screenSize{1920.0, 1080.0};
  double defaultMediaLength = 60.0;  // length of a stream with no setLength
};

// A platform in virtual time, for tests and `vorn simulate`: the aggregate of one fake per
// service. The scheduler owns virtual time and all pending work; nothing runs until the test says
// so (world.scheduler().runUntilIdle(), advance()). Everything runs on the test's thread;
// post() and startDataTask() may still be called from another thread.
class World : public common::PlatformBase {
 public:
  explicit World(WorldOptions options = {});
  // Tears down in the shared order (see PlatformBase::shutdown): the application first, then the
  // boundary observers, the timers, the queued blocks and completions, and the actions registered
  // with the notification and command centres, while every service is still usable.
  ~World() override;
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Platform
  platform::MainQueue& mainQueue() override { return scheduler_; }
  SimTimerService& timers() override { return timers_; }
  const SimTimerService& timers() const { return timers_; }
  platform::Clock& clock() override { return scheduler_; }
  SimUrlSession& urlSession() override { return network_; }
  SimMediaService& media() override { return media_; }
  const SimMediaService& media() const { return media_; }
  platform::ViewFactory& views() override { return viewFactory_; }
  SimAudioSession& audioSession() override { return audioSession_; }
  SimBundle& bundle() override { return bundle_; }
  SimSystemLog& systemLog() override { return systemLog_; }
  // In memory, unless useStateFolder() has put a real folder in its place.
  platform::StateStore& stateStore() override {
    return stateFolder_ ? static_cast<platform::StateStore&>(*stateFolder_) : stateStore_;
  }

  // The fakes, by what a test does with them.
  Scheduler& scheduler() { return scheduler_; }
  const Scheduler& scheduler() const { return scheduler_; }
  SimUrlSession& network() { return network_; }
  const SimUrlSession& network() const { return network_; }
  SimInput& input() { return input_; }
  SimLifecycle& lifecycle() { return lifecycle_; }
  SimTrace& trace() { return trace_; }
  SimSystemLog& log() { return systemLog_; }
  SimStateStore& state() { return stateStore_; }
  // The state store keeps its blobs in `folder` on the real disk instead, so that runs can share
  // them. Before launch.
  void useStateFolder(const std::string& folder) {
    stateFolder_ = std::make_unique<common::FileStateStore>(folder);
  }
  const SimSystemLog& log() const { return systemLog_; }
  SimStatusOutlet& statusOutlet() override { return statusOutlet_; }

  const WorldOptions& options() const { return options_; }
  // The screen's bounds: the options' size until a resize.
  platform::Rect screenBounds() const { return application().screenBounds(); }
  // Starts the program on this platform with the screen's bounds (see ApplicationHost::launch).
  bool launch(const platform::ClassRegistry& registry, const std::string& delegateClassName,
              const platform::MainInterface& mainInterface,
              const std::function<void(platform::ViewController&)>& configureRootController = {});

 private:
  bool releasePendingWork() override;

  WorldOptions options_;
  // Declared first: every other service schedules on it, and players may cancel their entries
  // while the rest is torn down.
  Scheduler scheduler_;
  SimTrace trace_{scheduler_};
  SimTimerService timers_{scheduler_, trace_};
  SimUrlSession network_{scheduler_, trace_};
  SimMediaService media_;
  platform::ViewFactory viewFactory_{std::make_shared<SimTextMetrics>()};
  SimAudioSession audioSession_;
  SimBundle bundle_;
  SimSystemLog systemLog_{scheduler_, trace_};
  SimStateStore stateStore_;
  std::unique_ptr<common::FileStateStore> stateFolder_;
  SimInput input_{*this, trace_};
  SimLifecycle lifecycle_{*this, trace_};
  SimStatusOutlet statusOutlet_{trace_};
};

}  // namespace vorn::sim
