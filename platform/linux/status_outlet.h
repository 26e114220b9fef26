#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "platform/channel_status.h"
#include "platform/linux/guard.h"
#include "platform/linux/system_log.h"

namespace vorn::linuxbackend {

// The kernel's answer on its clock: TIME_ERROR from adjtimex, or STA_UNSYNC among its flags,
// means not synchronised; a failing call, unknown.
platform::ClockSync clockSyncFrom(int adjtimexResult, int statusFlags);
platform::ClockSync kernelClockSync();

// The running channel's status, seen from outside the process: the status file (for `vorn
// status`), the metrics file, the service manager's one-line status and whoever else listens
// (the desktop's media controls). Each is written at every change and again every
// kRewriteInterval, so a reader can tell a live player from a stale file. Operator events go to
// the system log with their own prefix and priority. Main thread.
class LinuxStatusOutlet : public platform::StatusOutlet {
 public:
  static constexpr std::chrono::seconds kRewriteInterval{4};
  // While the status is settling, it is asked for again this soon.
  static constexpr std::chrono::milliseconds kSettleInterval{100};
  static constexpr const char* kEventPrefix = "EVENT: ";

  struct Options {
    std::string statusFile;   // none when empty
    std::string metricsFile;  // none when empty
  };
  LinuxStatusOutlet(asio::io_context& context, StderrSystemLog& log, Options options);
  // Removes the status file: a player that has ended is not running.
  ~LinuxStatusOutlet() override;
  LinuxStatusOutlet(const LinuxStatusOutlet&) = delete;
  LinuxStatusOutlet& operator=(const LinuxStatusOutlet&) = delete;

  void publish(const platform::ChannelStatus& status) override;
  void event(platform::EventPriority priority, std::string_view text) override;
  platform::ClockSync clockSynchronized() override { return kernelClockSync(); }
  void setSampler(std::function<platform::ChannelStatus()> sampler) override;

  // Called with the one-line status whenever it changes (the service manager's STATUS=).
  void setStatusLineSink(std::function<void(const std::string&)> sink);
  // Called with every status written.
  void setListener(std::function<void(const platform::ChannelStatus&)> listener) {
    listener_ = std::move(listener);
  }
  const std::optional<platform::ChannelStatus>& last() const { return last_; }
  // The operator named another metrics file (empty: none). The old one goes, so the collector
  // does not keep reporting a player that no longer writes it; the new one is written at once.
  void setMetricsFile(std::string path);
  // Stops the rewrites (before the main loop goes).
  void stop();

 private:
  void write(const platform::ChannelStatus& status);
  void writeFile(const std::string& path, const std::string& bytes, bool& failed);
  void armRewrite();
  void armSettle();

  asio::steady_timer timer_;
  StderrSystemLog& log_;
  Options options_;
  std::function<platform::ChannelStatus()> sampler_;
  std::function<void(const std::string&)> statusLineSink_;
  std::function<void(const platform::ChannelStatus&)> listener_;
  std::optional<platform::ChannelStatus> last_;
  std::string lastLine_;
  bool statusFailed_ = false;
  bool metricsFailed_ = false;
  bool rewriting_ = false;
  asio::steady_timer settleTimer_;
  bool settleArmed_ = false;
  Guard<LinuxStatusOutlet> guard_{*this};
};

}  // namespace vorn::linuxbackend
