#include "platform/linux/system_log.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace vorn::linuxbackend {

bool journalOwns(int fd) {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) {
    return false;
  }
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) {
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    return false;
  }
  return static_cast<unsigned long long>(info.st_dev) == device &&
         static_cast<unsigned long long>(info.st_ino) == inode;
}

namespace {

void appendEscaped(std::string& line, std::string_view record) {
  for (char c : record) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "#%03o", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
}

}  // namespace

StderrSystemLog::StderrSystemLog(int fd, std::string processName)
    : fd_(fd),
      processName_(processName.empty() ? std::string(program_invocation_short_name)
                                       : std::move(processName)),
      pid_(static_cast<long>(getpid())),
      journal_(journalOwns(fd)) {}

std::string StderrSystemLog::formatLine(std::string_view record, double unixSeconds,
                                        std::optional<int> priority) const {
  std::string line;
  line.reserve(record.size() + 48);
  if (journal_ && priority) {
    line += '<' + std::to_string(*priority) + '>';
  } else if (journal_) {
    // The logic's two levels map to the journal's: ERROR records are errors, DEBUG records
    // debug. The process's own failures ("vorn: cannot start: ...", "vorn: cannot draw ...")
    // are errors too; what else it writes is information.
    if (record.rfind("ERROR: ", 0) == 0 || record.rfind("vorn: cannot ", 0) == 0) {
      line += "<3>";
    } else if (record.rfind("DEBUG: ", 0) == 0) {
      line += "<7>";
    } else {
      line += "<6>";
    }
  } else {
    long long totalMillis = std::llround(unixSeconds * 1000.0);
    auto seconds = static_cast<time_t>(totalMillis / 1000);
    int millis = static_cast<int>(totalMillis % 1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%s.%03d ", stamp, millis);
    line += prefix;
    line += processName_;
    line += '[' + std::to_string(pid_) + "]: ";
  }
  appendEscaped(line, record);
  return line;
}

int StderrSystemLog::fd() const {
  std::lock_guard lock(mutex_);
  return fd_;
}

void StderrSystemLog::useFd(int fd) {
  std::lock_guard lock(mutex_);
  fd_ = fd;
}

void StderrSystemLog::write(std::string_view record) {
  write(record, -1);
}

void StderrSystemLog::write(std::string_view record, int priority) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  double seconds = std::chrono::duration<double>(now).count();
  std::string line = formatLine(platform::capRecord(record), seconds,
                                priority >= 0 ? std::optional<int>(priority) : std::nullopt);
  line += '\n';
  std::lock_guard lock(mutex_);
  // One write per line (retried on a short write) keeps lines whole even when other writers
  // share the descriptor.
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace vorn::linuxbackend
