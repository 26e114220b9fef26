#pragma once

#include <memory>

#include "platform/error.h"

namespace vorn::platform {

// The process's audio set-up: a playback category, then activation. Main thread.
class AudioSession {
 public:
  virtual ~AudioSession() = default;
  // Nothing on success, the reason otherwise.
  virtual std::shared_ptr<Error> setCategoryPlayback() = 0;
  virtual std::shared_ptr<Error> setActive(bool active) = 0;
};

}  // namespace vorn::platform
