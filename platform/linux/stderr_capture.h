#pragma once

#include <memory>
#include <thread>

#include "platform/linux/system_log.h"

namespace vorn::linuxbackend {

// Libraries the player loads (hardware decoder and sound server probes) write to standard error
// directly, one unprefixed line at a time, which the journal would file at info. While this
// object lives, what anyone else writes to `fd` goes through `log` at debug priority instead,
// line by line; the log itself writes to the original descriptor. Made on the main thread before
// the libraries start; its destructor puts the descriptor back and waits for the last line.
class StderrCapture {
 public:
  // Nothing when the descriptor cannot be taken over (the log then writes as before).
  static std::unique_ptr<StderrCapture> start(StderrSystemLog& log, int fd = 2);
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  static constexpr const char* kPrefix = "stderr: ";

 private:
  StderrCapture(StderrSystemLog& log, int fd, int saved, int readEnd);
  void readLines();

  StderrSystemLog& log_;
  int fd_;
  int saved_;
  int readEnd_;
  std::thread reader_;
};

}  // namespace vorn::linuxbackend
