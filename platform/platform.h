#pragma once

#include "platform/application.h"
#include "platform/audio_session.h"
#include "platform/bundle.h"
#include "platform/channel_status.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/input.h"
#include "platform/media.h"
#include "platform/notification_center.h"
#include "platform/state_store.h"
#include "platform/system_log.h"
#include "platform/timers.h"
#include "platform/url_session.h"
#include "platform/views.h"

namespace vorn::platform {

// Everything the channel's logic reaches outside itself. One is made at start-up (the simulation
// per test, the real backend per process) and handed to the constructors; it outlives every
// object of the logic.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual MainQueue& mainQueue() = 0;
  virtual TimerService& timers() = 0;
  virtual Clock& clock() = 0;
  virtual UrlSession& urlSession() = 0;
  virtual NotificationCenter& notificationCenter() = 0;
  virtual MediaService& media() = 0;
  virtual ViewFactory& views() = 0;
  virtual RemoteCommandCenter& remoteCommandCenter() = 0;
  virtual AudioSession& audioSession() = 0;
  virtual Bundle& bundle() = 0;
  virtual SystemLog& systemLog() = 0;
  virtual StateStore& stateStore() = 0;
  virtual Application& application() = 0;
  // Where the channel's status and the operator's events go; nowhere unless a backend says.
  virtual StatusOutlet& statusOutlet() {
    static StatusOutlet none;
    return none;
  }
};

}  // namespace vorn::platform
