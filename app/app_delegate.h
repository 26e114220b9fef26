#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channel/controller_holder.h"
#include "log/diagnostic_history.h"
#include "platform/platform.h"

namespace vorn {

// The application's delegate: turns life-cycle events into actions on the channel controller
// (pause on leaving the foreground, detach and re-attach the picture, refetch on return) and keeps
// the external-screen flag.
class AppDelegate : public platform::ApplicationDelegate, public ControllerHolder {
 public:
  // init; `platform` is where the delegate's log lines go.
  explicit AppDelegate(platform::Platform& platform);
  ~AppDelegate() override;

  std::shared_ptr<platform::Window> window() override;
  void setWindow(std::shared_ptr<platform::Window> value) override;
  virtual std::shared_ptr<VornViewController> vornViewController() const;
  void setVornViewController(std::shared_ptr<VornViewController> value) override;
  virtual bool airPlayScreenConnected() const;
  virtual void setAirPlayScreenConnected(bool value);

  bool applicationDidFinishLaunchingWithOptions(platform::Application& application) override;
  void applicationWillResignActive(platform::Application& application) override;
  void applicationDidEnterBackground(platform::Application& application) override;
  void applicationWillEnterForeground(platform::Application& application) override;
  virtual void handleScreenDidConnectNotification(const platform::Notification& notification);
  virtual void handleScreenDidDisconnectNotification(const platform::Notification& notification);
  void applicationDidBecomeActive(platform::Application& application) override;
  void applicationWillTerminate(platform::Application& application) override;

  virtual std::vector<std::string> debugmsgs() const;
  virtual void setDebugmsgs(const std::vector<std::string>& value);
  virtual void debug(const std::string& message);
  virtual std::vector<std::string> errors() const;
  virtual void setErrors(const std::vector<std::string>& value);
  virtual void error(const std::string& message);

  // The history appends behind debug and error, overridable as the histories' accessors are.
  virtual void appendDebugmsg(const std::string& message);
  virtual void appendError(const std::string& message);

  // The platform's external-screen events reach the two screen operations.
  void screenDidConnect(platform::Application& application) override;
  void screenDidDisconnect(platform::Application& application) override;

 private:
  platform::Platform& platform_;
  mutable std::mutex mutex_;
  std::shared_ptr<platform::Window> window_;
  std::shared_ptr<VornViewController> vornViewController_;
  bool airPlayScreenConnected_ = false;
  log::DiagnosticHistory debugmsgs_;
  log::DiagnosticHistory errors_;
};

}  // namespace vorn
