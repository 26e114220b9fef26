#include "platform/linux/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace vorn::linuxbackend {

ServiceNotifier::ServiceNotifier(asio::io_context& context) : timer_(context) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  if (!active_) {
    return;
  }
  // Also checks WATCHDOG_PID: a watchdog meant for another process (a parent shell) is not ours.
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    watchdog_ = std::chrono::microseconds(usec);
  }
}

ServiceNotifier::~ServiceNotifier() {
  pinging_ = false;
  timer_.cancel();
}

void ServiceNotifier::ready() {
  if (!active_) {
    return;
  }
  send(watchdog_ ? "READY=1\nWATCHDOG=1" : "READY=1");
  if (watchdog_ && !pinging_) {
    pinging_ = true;
    schedulePing();
  }
}

void ServiceNotifier::stopping() {
  if (!active_) {
    return;
  }
  pinging_ = false;
  timer_.cancel();
  send("STOPPING=1");
}

void ServiceNotifier::status(const std::string& line) {
  if (!active_) {
    return;
  }
  std::string state = "STATUS=";
  for (const char c : line) {
    state += c == '\n' ? ' ' : c;
  }
  send(state.c_str());
}

void ServiceNotifier::schedulePing() {
  timer_.expires_after(*watchdog_ / 2);
  timer_.async_wait([notifier = guard_.weak()](const std::error_code& error) {
    ServiceNotifier* self = notifier.get();
    if (error || self == nullptr || !self->pinging_) {
      return;
    }
    self->send("WATCHDOG=1");
    self->schedulePing();
  });
}

void ServiceNotifier::send(const char* state) {
  // A manager that went away is no reason to stop the channel: the result is not acted on.
  (void)sd_notify(0, state);
}

}  // namespace vorn::linuxbackend
