#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/application_host.h"
#include "platform/geometry.h"

// The events `vorn simulate --event SECONDS:ACTION` plays, one table row per action: its name,
// its help and what it does. The help text is made from the table.
namespace vorn::app::simulate {

// What an event acts on: the application's inputs and life cycle, and the remote playlist
// address's reachability.
struct EventTarget {
  common::ApplicationHost& application;
  // Up: the remote address answers (and a hang ends); down: it fails at once.
  std::function<void(bool reachable)> setRemoteReachable;
  // The remote address accepts requests and never answers them, until it is up or down again.
  std::function<void()> hangRemote;
};

struct Event;

struct EventKind {
  std::string_view name;
  std::string_view help;
  void (*perform)(EventTarget& target, const Event& event);
  bool takesSize = false;  // NAME:WxH
};

struct Event {
  double at = 0.0;  // seconds after launch
  const EventKind* kind = nullptr;
  platform::Size size;  // for the kinds that take one
};

const std::vector<EventKind>& eventKinds();

// "SECONDS:ACTION"; throws OptionError.
Event parseEvent(std::string_view text);

// The actions and their help, one per line, indented for the usage text.
std::string eventsHelp();

}  // namespace vorn::app::simulate
