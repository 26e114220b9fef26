#include "platform/common/file_state_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vorn::common {

namespace {

std::shared_ptr<platform::Error> failure(const std::string& what, const std::string& path,
                                         int code) {
  return platform::Error::make(platform::kStateErrorDomain, code,
                               what + " " + path + ": " + std::strerror(code));
}

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

FileStateStore::FileStateStore(std::string folder) : folder_(std::move(folder)) {
  if (!folder_.empty() && folder_.back() != '/') {
    folder_ += '/';
  }
}

std::string FileStateStore::location(const std::string& name) const {
  return folder_ + name;
}

platform::StateStore::ReadResult FileStateStore::read(const std::string& name) {
  if (folder_.empty()) {
    return {};
  }
  const std::string path = location(name);
  Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    if (errno == ENOENT) {
      return {};
    }
    return {std::nullopt, failure("cannot open", path, errno)};
  }
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) {
    return {std::nullopt, failure("cannot read", path, errno)};
  }
  if (!S_ISREG(status.st_mode)) {
    return {std::nullopt, failure("cannot read", path, EISDIR)};
  }
  if (static_cast<uint64_t>(status.st_size) > platform::kMaxStateBlobBytes) {
    return {std::nullopt, failure("cannot read", path, EFBIG)};
  }
  platform::Bytes data;
  char buffer[65536];
  while (true) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return {std::nullopt, failure("cannot read", path, errno)};
    }
    if (got == 0) {
      break;
    }
    data.append(buffer, static_cast<size_t>(got));
    // The file may have grown since it was measured.
    if (data.size() > platform::kMaxStateBlobBytes) {
      return {std::nullopt, failure("cannot read", path, EFBIG)};
    }
  }
  return {std::move(data), nullptr};
}

std::shared_ptr<platform::Error> FileStateStore::write(const std::string& name,
                                                       std::string_view bytes) {
  if (folder_.empty()) {
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (ec) {
    return failure("cannot make", folder_, ec.value());
  }
  const std::string path = location(name);
  const std::string temporary = path + ".new";
  {
    Descriptor file{::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (file.fd < 0) {
      return failure("cannot write", temporary, errno);
    }
    if (!writeAll(file.fd, bytes) || ::fsync(file.fd) != 0) {
      const int code = errno;
      ::unlink(temporary.c_str());
      return failure("cannot write", temporary, code);
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary.c_str());
    return failure("cannot replace", path, code);
  }
  // The rename itself is only lasting once the folder is on the disk.
  Descriptor folder{::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  if (folder.fd < 0 || ::fsync(folder.fd) != 0) {
    return failure("cannot flush", folder_, errno);
  }
  return nullptr;
}

}  // namespace vorn::common
