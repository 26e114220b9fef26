#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {

using Environment = std::vector<std::pair<std::string, std::string>>;

// One log line of the channel: its UTC day seconds (TZ=UTC in the child) and the record.
struct LogLine {
  double daySeconds = 0;
  std::string record;
};

// The `vorn` executable as a child process with its standard output and error in `logFile`. It
// sees only the environment the test hands over (an entry with an empty value is removed), even
// when the tests run under a service manager or a desktop; with `journal`, JOURNAL_STREAM names the
// log file as a service manager names the journal's stream. The time limits only guard against
// hangs; nothing here is timed.
class ChannelProcess {
 public:
  ChannelProcess(const std::string& logFile, std::vector<std::string> arguments,
                 const Environment& environment, bool journal = false)
      : logFile_(logFile) {
    pid_ = fork();
    if (pid_ != 0) {
      return;
    }
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    dup2(fd, 1);
    setenv("TZ", "UTC", 1);
    // What the channel keeps between runs goes beside its log, never into the tester's home,
    // unless the test names a state folder itself.
    setenv("XDG_STATE_HOME", (logFile + ".state").c_str(), 1);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "JOURNAL_STREAM", "NOTIFY_SOCKET",
                             "WATCHDOG_USEC", "WATCHDOG_PID"}) {
      unsetenv(name);
    }
    if (journal) {
      struct stat info {};
      fstat(2, &info);
      const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
      setenv("JOURNAL_STREAM", stream.c_str(), 1);
    }
    for (const auto& [name, value] : environment) {
      value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv{const_cast<char*>(VORN_CHANNEL_BINARY)};
    for (auto& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    execv(VORN_CHANNEL_BINARY, argv.data());
    _exit(127);
  }
  ~ChannelProcess() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  ChannelProcess(const ChannelProcess&) = delete;
  ChannelProcess& operator=(const ChannelProcess&) = delete;

  std::vector<LogLine> lines() const {
    std::vector<LogLine> result;
    std::istringstream text(readFile(logFile_));
    static const std::regex shape(
        R"(^[A-Z][a-z]{2} [ 0-9]{2} (\d\d):(\d\d):(\d\d\.\d{3}) [^ ]+\[\d+\]: (.*)$)");
    std::string line;
    while (std::getline(text, line)) {
      std::smatch match;
      if (std::regex_match(line, match, shape)) {
        result.push_back(
            {std::stoi(match[1]) * 3600.0 + std::stoi(match[2]) * 60.0 + std::stod(match[3]),
             match[4]});
      }
    }
    return result;
  }
  std::vector<LogLine> linesContaining(const std::string& text) const {
    auto found = lines();
    std::erase_if(found,
                  [&](const LogLine& line) { return line.record.find(text) == std::string::npos; });
    return found;
  }
  // Waits until `count` lines contain `text`; false after `guard` or once it has exited without.
  bool waitFor(const std::string& text, size_t count = 1,
               std::chrono::seconds guard = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (std::chrono::steady_clock::now() < deadline) {
      if (linesContaining(text).size() >= count) {
        return true;
      }
      if (hasExited()) {
        return linesContaining(text).size() >= count;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  bool hasExited() {
    int status = 0;
    if (!status_ && waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_.has_value();
  }
  // Sends `signal` (0: none) and waits for the exit; the exit status, or nothing after `guard`.
  std::optional<int> stop(int signal, std::chrono::seconds guard = std::chrono::seconds(60)) {
    kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (!hasExited() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }
  std::string log() const { return readFile(logFile_); }
  pid_t pid() const { return pid_; }

 private:
  std::string logFile_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace vorn::linuxtest
