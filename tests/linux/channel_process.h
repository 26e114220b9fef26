#pragma once

// The channel as a child process with its standard error (and output) in a file, and its log read
// back line by line.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {

// One log line of the channel: its UTC day seconds (TZ=UTC in the child) and the record.
struct LogLine {
  double daySeconds = 0;
  std::string record;
};

class ChannelProcess {
 public:
  // Starts `binary` with `arguments`; an environment entry with an empty value is removed.
  ChannelProcess(const std::string& binary, const std::string& logFile,
                 std::vector<std::string> arguments,
                 const std::vector<std::pair<std::string, std::string>>& environment)
      : logFile_(logFile) {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 2);
      dup2(fd, 1);
      setenv("TZ", "UTC", 1);
      unsetenv("DISPLAY");
      unsetenv("WAYLAND_DISPLAY");
      for (const auto& [name, value] : environment) {
        if (value.empty()) {
          unsetenv(name.c_str());
        } else {
          setenv(name.c_str(), value.c_str(), 1);
        }
      }
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(binary.c_str()));
      for (auto& argument : arguments) {
        argv.push_back(argument.data());
      }
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
  }
  ~ChannelProcess() {
    if (pid_ > 0 && !exited_) {
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
    std::vector<LogLine> found;
    for (auto& line : lines()) {
      if (line.record.find(text) != std::string::npos) {
        found.push_back(line);
      }
    }
    return found;
  }
  // Waits until `count` lines contain `text`; false after `guard` (a hang guard, not a timing
  // requirement) or once the process has ended without them.
  bool waitFor(const std::string& text, size_t count = 1,
               std::chrono::seconds guard = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + guard;
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
    if (exited_) {
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = status;
    }
    return exited_;
  }
  // Sends `signal` and waits for the exit; the exit status, or nothing if it did not exit in time.
  std::optional<int> stop(int signal, std::chrono::seconds guard = std::chrono::seconds(15)) {
    kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + guard;
    while (std::chrono::steady_clock::now() < deadline) {
      if (hasExited()) {
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
  }
  std::string log() const { return readFile(logFile_); }
  pid_t pid() const { return pid_; }

 private:
  std::string logFile_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace vorn::linuxtest
