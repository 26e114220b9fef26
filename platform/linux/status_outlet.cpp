#include "platform/linux/status_outlet.h"

#include <sys/timex.h>
#include <unistd.h>

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
    : timer_(context), log_(log), options_(std::move(options)) {}

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

void LinuxStatusOutlet::write(const platform::ChannelStatus& status) {
  last_ = status;
  if (!options_.statusFile.empty()) {
    writeFile(options_.statusFile, platform::statusJson(status), statusFailed_);
  }
  if (!options_.metricsFile.empty()) {
    writeFile(options_.metricsFile, platform::metricsText(status), metricsFailed_);
  }
  if (statusLineSink_) {
    std::string line = platform::statusLine(status);
    if (line != lastLine_) {
      lastLine_ = line;
      statusLineSink_(line);
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
