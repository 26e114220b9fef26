#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/guard.h"

namespace vorn::linuxbackend {

// Tells the service manager that started the process how it is doing: ready once the channel is
// up, then a watchdog ping at half the interval the manager asked for. The pings come from a timer
// on the main loop itself, so a main loop that hangs stops them and the manager restarts the
// process. Inert when the process was not started by a service manager (no NOTIFY_SOCKET).
// Main thread.
class ServiceNotifier {
 public:
  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID as they are now.
  explicit ServiceNotifier(asio::io_context& context);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Sends READY=1 and starts the watchdog pings, if the manager wants them.
  void ready();
  // Sends STOPPING=1 and stops the pings.
  void stopping();
  // Sends STATUS= with `line`, the one line the manager shows for the service.
  void status(const std::string& line);

  bool active() const { return active_; }
  // The manager's watchdog interval, when it asked for pings from this process.
  std::optional<std::chrono::microseconds> watchdogInterval() const { return watchdog_; }

 private:
  void schedulePing();
  void send(const char* state);

  asio::steady_timer timer_;
  bool active_ = false;
  std::optional<std::chrono::microseconds> watchdog_;
  // steady_timer::cancel() does not stop a handler that is already due: the handler checks this,
  // through the guard, as this object may be gone by then.
  bool pinging_ = false;
  Guard<ServiceNotifier> guard_{*this};
};

}  // namespace vorn::linuxbackend
