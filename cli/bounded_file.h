#pragma once

#include <cstddef>
#include <string>

namespace vorn::app {

struct BoundedFile {
  std::string contents;
  int error = 0;          // the system's errno when the file could not be read; EISDIR for a folder
  bool tooLarge = false;  // more than the bound: `contents` holds only a part
};

// Reads the whole file at `path`, but never more than `maxBytes` and a little: an operator's path
// may name a device or a pipe that never ends. Any thread.
BoundedFile readBoundedFile(const std::string& path, size_t maxBytes);

}  // namespace vorn::app
