#pragma once

#include <memory>

#include "platform/common/application_host.h"
#include "platform/platform.h"

namespace vorn::common {

// What both platforms share: the application host, the notification and remote-command centres,
// and the order in which a platform is torn down.
class PlatformBase : public platform::Platform {
 public:
  ApplicationHost& application() override { return *application_; }
  const ApplicationHost& application() const { return *application_; }
  platform::NotificationCenter& notificationCenter() override { return *notificationCenter_; }
  platform::RemoteCommandCenter& remoteCommandCenter() override { return *remoteCommandCenter_; }

 protected:
  PlatformBase();
  ~PlatformBase() override;
  PlatformBase(const PlatformBase&) = delete;
  PlatformBase& operator=(const PlatformBase&) = delete;

  // Tears down in an order that leaves nothing dangling; the most derived destructor calls it
  // first, while every service still exists:
  // 1. stopInput(): nothing calls into the application any more;
  // 2. the application (delegate, window, root controller) goes; an empty one takes its place
  //    beforehand, so that a destructor that reaches application() still finds one;
  // 3. in rounds until a round releases nothing (a destructor may post, schedule or register
  //    more): the centres are swapped for empty ones, releasePendingWork() lets go of what may
  //    still hold the logic's objects, then the old centres' actions go. An object that
  //    unregisters itself in its destructor so finds a working centre;
  // 4. closeServices(): the backend's own services, in their dependency order.
  void shutdown();

  virtual void stopInput() {}
  // Releases queued blocks, timers, completions and observers; true when anything was released.
  virtual bool releasePendingWork() = 0;
  virtual void closeServices() {}

 private:
  bool shutDown_ = false;
  std::unique_ptr<ApplicationHost> application_;
  std::unique_ptr<platform::NotificationCenter> notificationCenter_;
  std::unique_ptr<platform::RemoteCommandCenter> remoteCommandCenter_;
};

}  // namespace vorn::common
