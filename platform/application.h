#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/geometry.h"
#include "platform/object.h"
#include "platform/views.h"

namespace vorn::platform {

class Platform;
class Application;

// Runs a completion once a size change has finished.
class TransitionCoordinator {
 public:
  // `animation` may be empty; `completion` runs on the main thread after the new size is in place.
  void animateAlongsideTransition(std::function<void()> animation,
                                  std::function<void()> completion);
  std::vector<std::function<void()>> takeCompletions() { return std::move(completions_); }

 private:
  std::vector<std::function<void()>> completions_;
};

// What the start-up description hands a controller made from it.
struct Coder {
  bool decodable = true;  // false: the base decoding initialiser yields nothing
};

// Base of the screen controllers: owns the root view, made when the view is first asked for.
// Main thread.
class ViewController : public std::enable_shared_from_this<ViewController> {
 public:
  explicit ViewController(Platform& platform) : platform_(platform) {}
  virtual ~ViewController() = default;

  Platform& platform() const { return platform_; }
  // The root view; loads it (and calls viewDidLoad) on first use.
  std::shared_ptr<View> view();
  bool isViewLoaded() const { return view_ != nullptr; }
  void loadViewIfNeeded() { view(); }

  // Events, each overridable; the base versions do nothing.
  virtual void viewDidLoad() {}
  virtual void viewDidAppear(bool animated) { (void)animated; }
  virtual void viewWillTransitionToSize(const Size& size, TransitionCoordinator& coordinator) {
    (void)size;
    (void)coordinator;
  }
  virtual void didReceiveMemoryWarning() {}

 private:
  Platform& platform_;
  std::shared_ptr<View> view_;
};

class Window {
 public:
  explicit Window(const Rect& frame) : frame_(frame) {}
  const Rect& frame() const { return frame_; }
  void setFrame(const Rect& frame) { frame_ = frame; }
  void setRootViewController(std::shared_ptr<ViewController> controller) {
    rootViewController_ = std::move(controller);
  }
  const std::shared_ptr<ViewController>& rootViewController() const { return rootViewController_; }

 private:
  Rect frame_;
  std::shared_ptr<ViewController> rootViewController_;
};

// The application's delegate protocol. Callbacks arrive on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual std::shared_ptr<Window> window() = 0;
  virtual void setWindow(std::shared_ptr<Window> window) = 0;
  virtual bool applicationDidFinishLaunchingWithOptions(Application& application) = 0;
  virtual void applicationWillResignActive(Application& application) = 0;
  virtual void applicationDidEnterBackground(Application& application) = 0;
  virtual void applicationWillEnterForeground(Application& application) = 0;
  virtual void applicationDidBecomeActive(Application& application) = 0;
  virtual void applicationWillTerminate(Application& application) = 0;
  // An external screen came or went.
  virtual void screenDidConnect(Application& application) { (void)application; }
  virtual void screenDidDisconnect(Application& application) { (void)application; }
};

// Classes the platform makes by name: the delegate, and the root controller that the start-up
// description names.
struct ClassRegistry {
  std::map<std::string, std::function<std::shared_ptr<ApplicationDelegate>(Platform&)>> delegates;
  std::map<std::string, std::function<std::shared_ptr<ViewController>(Platform&, const Coder&)>>
      controllers;
};

// The start-up description: the root controller's class.
struct MainInterface {
  std::string rootControllerClass;
};

enum class ApplicationState { notRunning, inactive, active, background, terminated };

// The shared application, as its delegate and the controllers see it. Main thread.
class Application {
 public:
  virtual ~Application() = default;
  virtual const std::shared_ptr<ApplicationDelegate>& delegate() const = 0;
  // The screen's bounds: the frame a root view is made with.
  virtual const Rect& screenBounds() const = 0;
  virtual std::shared_ptr<ViewController> rootViewController() const = 0;
  virtual ApplicationState state() const = 0;
};

}  // namespace vorn::platform
