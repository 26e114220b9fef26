#include "cli/bounded_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::app {

BoundedFile readBoundedFile(const std::string& path, size_t maxBytes) {
  BoundedFile file;
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    file.error = errno;
    return file;
  }
  if (S_ISDIR(status.st_mode)) {
    file.error = EISDIR;
    return file;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    file.error = errno;
    return file;
  }
  char buffer[65536];
  while (file.contents.size() <= maxBytes) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      file.error = errno;
      break;
    }
    if (got == 0) {
      break;
    }
    file.contents.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  file.tooLarge = file.error == 0 && file.contents.size() > maxBytes;
  return file;
}

}  // namespace vorn::app
