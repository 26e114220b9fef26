#include "platform/linux/status_outlet.h"

#include <sys/timex.h>
#include <unistd.h>

#include <cmath>

namespace vorn::linuxbackend {

platform::ClockSync clockSyncFrom(int adjtimexResult, int statusFlags) {
  if (adjtimexResult < 0) {
    return platform::ClockSync::unknown;
  }
  if (adjtimexResult == TIME_ERROR || (statusFlags & STA_UNSYNC) != 0) {
    return platform::ClockSync::no;
  }
  return platform::ClockSync::yes;
}

platform::ClockSync kernelClockSync() {
  struct timex state {};
  state.modes = 0;  // only read
  const int result = adjtimex(&state);
  return clockSyncFrom(result, state.status);
}

LinuxStatusOutlet::LinuxStatusOutlet(asio::io_context& context, StderrSystemLog& log,
                                     Options options)
    : timer_(context), log_(log), options_(std::move(options)), settleTimer_(context) {}

LinuxStatusOutlet::~LinuxStatusOutlet() {
  stop();
  if (!options_.statusFile.empty() && last_) {
    ::unlink(options_.statusFile.c_str());
  }
}

void LinuxStatusOutlet::stop() {
  rewriting_ = false;
  sampler_ = nullptr;
  timer_.cancel();
  settleArmed_ = false;
  settleTimer_.cancel();
}

void LinuxStatusOutlet::publish(const platform::ChannelStatus& status) {
  write(status);
  if (!rewriting_) {
    rewriting_ = true;
    armRewrite();
  }
}

void LinuxStatusOutlet::setSampler(std::function<platform::ChannelStatus()> sampler) {
  sampler_ = std::move(sampler);
}

void LinuxStatusOutlet::setStatusLineSink(std::function<void(const std::string&)> sink) {
  statusLineSink_ = std::move(sink);
  lastLine_.clear();
  if (last_) {
    write(*last_);
  }
}

void LinuxStatusOutlet::setMetricsFile(std::string path) {
  if (path == options_.metricsFile) {
    return;
  }
  if (!options_.metricsFile.empty()) {
    ::unlink(options_.metricsFile.c_str());
  }
  options_.metricsFile = std::move(path);
  metricsFailed_ = false;
  if (sampler_) {
    write(sampler_());
  } else if (last_) {
    write(*last_);
  }
}

void LinuxStatusOutlet::event(platform::EventPriority priority, std::string_view text) {
  std::string record = kEventPrefix;
  record += text;
  log_.write(record, static_cast<int>(priority));
}

void LinuxStatusOutlet::armRewrite() {
  timer_.expires_after(kRewriteInterval);
  timer_.async_wait([outlet = guard_.weak()](const std::error_code& error) {
    LinuxStatusOutlet* self = outlet.get();
    if (error || self == nullptr || !self->rewriting_) {
      return;
    }
    // Positions and times move on: ask for the status as it stands now.
    if (self->sampler_) {
      self->write(self->sampler_());
    } else if (self->last_) {
      self->write(*self->last_);
    }
    self->armRewrite();
  });
}

void LinuxStatusOutlet::armSettle() {
  if (settleArmed_ || !sampler_) {
    return;
  }
  settleArmed_ = true;
  settleTimer_.expires_after(kSettleInterval);
  settleTimer_.async_wait([outlet = guard_.weak()](const std::error_code& error) {
    LinuxStatusOutlet* self = outlet.get();
    if (error || self == nullptr || !self->settleArmed_) {
      return;
    }
    self->settleArmed_ = false;
    if (self->sampler_) {
      self->write(self->sampler_());
    }
  });
}

void LinuxStatusOutlet::write(const platform::ChannelStatus& status) {
  last_ = status;
  if (status.settling) {
    armSettle();
  }
  if (!options_.statusFile.empty()) {
    writeFile(options_.statusFile, platform::statusJson(status), statusFailed_);
  }
  if (!options_.metricsFile.empty()) {
    writeFile(options_.metricsFile, platform::metricsText(status), metricsFailed_);
  }
  if (statusLineSink_) {
    // The offset moves by hundredths all the time; the manager hears of it when the picture goes
    // on or off the clock, not at every rewrite (a manager that reads slowly would otherwise hold
    // up the main loop on a full socket).
    platform::ChannelStatus coarse = status;
    if (coarse.clockOffset) {
      coarse.clockOffset = std::fabs(*coarse.clockOffset) <= platform::kOnTheClockSeconds
                               ? 0.0
                               : std::copysign(99.0, *coarse.clockOffset);
    }
    if (std::string key = platform::statusLine(coarse); key != lastLine_) {
      lastLine_ = std::move(key);
      statusLineSink_(platform::statusLine(status));
    }
  }
  if (listener_) {
    listener_(status);
  }
}

void LinuxStatusOutlet::writeFile(const std::string& path, const std::string& bytes, bool& failed) {
  const auto failure = platform::writeFileAtomically(path, bytes);
  // One line when writing starts to fail, not one every few seconds.
  if (failure && !failed) {
    log_.write("vorn: cannot write " + path + ": " + *failure);
  }
  failed = failure.has_value();
}

}  // namespace vorn::linuxbackend
