#include "platform/linux/audio_session.h"

namespace vorn::linuxbackend {

LinuxAudioSession::LinuxAudioSession(bool hasAudioOutput) : hasAudioOutput_(hasAudioOutput) {}

std::shared_ptr<platform::Error> LinuxAudioSession::setCategoryPlayback() {
  category_ = "playback";
  return nullptr;
}

std::shared_ptr<platform::Error> LinuxAudioSession::setActive(bool active) {
  if (active && category_.empty()) {
    return platform::Error::make(platform::kAudioErrorDomain, 1,
                                 "The audio session cannot be activated without a category");
  }
  // Without an audio device (headless) the session still activates: playback runs silently by
  // design, which is not a failure of the set-up.
  active_ = active;
  return nullptr;
}

}  // namespace vorn::linuxbackend
