#include "simulate/simulate_events.h"

#include <algorithm>
#include <optional>

#include "platform/input.h"
#include "simulate/simulate_options.h"

namespace vorn::app::simulate {

namespace {

constexpr double kMaxScreenPoints = 100'000.0;

std::string inQuotes(std::string_view text) {
  return "'" + std::string(text) + "'";
}

template <auto Method>
void call(EventTarget& target, const Event&) {
  (target.application.*Method)();
}

void swipe(EventTarget& target, platform::SwipeDirection direction) {
  target.application.swipe(direction);
}

void remote(EventTarget& target, platform::RemoteCommandKind kind) {
  target.application.remoteCommand(kind);
}

}  // namespace

const std::vector<EventKind>& eventKinds() {
  using platform::RemoteCommandKind;
  static const std::vector<EventKind> kinds = {
      {"tap", "a tap on the screen", [](EventTarget& t, const Event&) { t.application.tap(); }},
      {"swipe-up", "a swipe up",
       [](EventTarget& t, const Event&) { swipe(t, platform::kSwipeUp); }},
      {"swipe-down", "a swipe down",
       [](EventTarget& t, const Event&) { swipe(t, platform::kSwipeDown); }},
      {"swipe-left", "a swipe left",
       [](EventTarget& t, const Event&) { swipe(t, platform::kSwipeLeft); }},
      {"swipe-right", "a swipe right",
       [](EventTarget& t, const Event&) { swipe(t, platform::kSwipeRight); }},
      {"play-pause-button", "the remote's play/pause button",
       [](EventTarget& t, const Event&) { t.application.pressPlayPause(); }},
      {"remote-play", "the media control's play command",
       [](EventTarget& t, const Event&) { remote(t, RemoteCommandKind::play); }},
      {"remote-pause", "the media control's pause command",
       [](EventTarget& t, const Event&) { remote(t, RemoteCommandKind::pause); }},
      {"remote-stop", "the media control's stop command",
       [](EventTarget& t, const Event&) { remote(t, RemoteCommandKind::stop); }},
      {"remote-toggle", "the media control's play/pause command",
       [](EventTarget& t, const Event&) { remote(t, RemoteCommandKind::togglePlayPause); }},
      {"resign-active", "the application becomes inactive",
       call<&common::ApplicationHost::resignActive>},
      {"background", "the application goes to the background (from inactive)",
       call<&common::ApplicationHost::enterBackground>},
      {"foreground", "the application comes back to the foreground, still inactive",
       call<&common::ApplicationHost::enterForeground>},
      {"become-active", "the application becomes active (re-attaches the picture)",
       call<&common::ApplicationHost::becomeActive>},
      {"screen-connect", "an external screen is connected",
       call<&common::ApplicationHost::screenConnected>},
      {"screen-disconnect", "the external screen is disconnected",
       call<&common::ApplicationHost::screenDisconnected>},
      {"memory-warning", "the system asks to free memory",
       call<&common::ApplicationHost::memoryWarning>},
      {"resize", "the screen becomes W by H points (resize:WxH)",
       [](EventTarget& t, const Event& e) { t.application.resize(e.size); }, true},
      {"remote-down", "remote downloads fail from then on",
       [](EventTarget& t, const Event&) { t.setRemoteReachable(false); }},
      {"remote-hang", "the remote address accepts and never answers (the fetch timeout applies)",
       [](EventTarget& t, const Event&) { t.hangRemote(); }},
      {"remote-up", "the remote address answers again (ends remote-down and remote-hang)",
       [](EventTarget& t, const Event&) { t.setRemoteReachable(true); }},
  };
  return kinds;
}

Event parseEvent(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    throw OptionError("--event: expected SECONDS:ACTION, got " + inQuotes(text));
  }
  Event event;
  event.at = parseSeconds("--event", text.substr(0, colon));
  const auto action = text.substr(colon + 1);
  const auto sizeColon = action.find(':');
  const auto name = action.substr(0, sizeColon);
  const auto& kinds = eventKinds();
  const auto found = std::find_if(kinds.begin(), kinds.end(), [&](const EventKind& kind) {
    return kind.name == name && kind.takesSize == (sizeColon != std::string_view::npos);
  });
  if (found == kinds.end()) {
    throw OptionError("--event: unknown action " + inQuotes(action));
  }
  event.kind = &*found;
  if (found->takesSize) {
    const auto size = action.substr(sizeColon + 1);
    const auto x = size.find('x');
    std::optional<double> width;
    std::optional<double> height;
    if (x != std::string_view::npos) {
      width = parseNumber(size.substr(0, x));
      height = parseNumber(size.substr(x + 1));
    }
    if (!width || !height || *width <= 0.0 || *height <= 0.0) {
      throw OptionError("--event: " + std::string(name) +
                        ": expected WxH with positive numbers, got " + inQuotes(size));
    }
    // No screen is this large; a size past it is a typing slip, and the layout's arithmetic
    // need not carry it.
    if (*width > kMaxScreenPoints || *height > kMaxScreenPoints) {
      throw OptionError("--event: " + std::string(name) + ": W and H must be at most " +
                        std::to_string(static_cast<int>(kMaxScreenPoints)) + " points, got " +
                        inQuotes(size));
    }
    event.size = {*width, *height};
  }
  return event;
}

std::string eventsHelp() {
  size_t width = 0;
  for (const auto& kind : eventKinds()) {
    width = std::max(width, kind.name.size() + (kind.takesSize ? 4 : 0));
  }
  std::string text;
  for (const auto& kind : eventKinds()) {
    const std::string name = std::string(kind.name) + (kind.takesSize ? ":WxH" : "");
    text += "  " + name + std::string(width - name.size() + 2, ' ') + std::string(kind.help) + '\n';
  }
  return text;
}

}  // namespace vorn::app::simulate
