#include "platform/linux/stderr_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace vorn::linuxbackend {

std::unique_ptr<StderrCapture> StderrCapture::start(StderrSystemLog& log, int fd) {
  const int saved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (saved < 0) {
    return nullptr;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    close(saved);
    return nullptr;
  }
  // The log goes on writing where the descriptor pointed before.
  if (log.fd() == fd) {
    log.useFd(saved);
  }
  if (dup2(ends[1], fd) < 0) {
    log.useFd(fd);
    close(saved);
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  close(ends[1]);
  return std::unique_ptr<StderrCapture>(new StderrCapture(log, fd, saved, ends[0]));
}

StderrCapture::StderrCapture(StderrSystemLog& log, int fd, int saved, int readEnd)
    : log_(log), fd_(fd), saved_(saved), readEnd_(readEnd) {
  reader_ = std::thread([this] { readLines(); });
}

StderrCapture::~StderrCapture() {
  // The descriptor points back where it did: the pipe's last writer is gone, the reader sees the
  // end and passes on what was left.
  dup2(saved_, fd_);
  reader_.join();
  if (log_.fd() == saved_) {
    log_.useFd(fd_);
  }
  close(saved_);
  close(readEnd_);
}

void StderrCapture::readLines() {
  std::string pending;
  char buffer[4096];
  while (true) {
    const ssize_t size = read(readEnd_, buffer, sizeof buffer);
    if (size < 0 && errno == EINTR) {
      continue;
    }
    if (size <= 0) {
      break;
    }
    pending.append(buffer, static_cast<size_t>(size));
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      if (end > start) {
        log_.write(kPrefix + pending.substr(start, end - start), 7);
      }
    }
    pending.erase(0, start);
    // A line without its end that keeps growing is passed on in pieces.
    if (pending.size() > platform::kMaxRecordBytes) {
      log_.write(kPrefix + pending, 7);
      pending.clear();
    }
  }
  if (!pending.empty()) {
    log_.write(kPrefix + pending, 7);
  }
}

}  // namespace vorn::linuxbackend
