#pragma once

#include <memory>
#include <string>

#include "platform/audio_session.h"

namespace vorn::linuxbackend {

// The stand-in for a phone's audio session. Linux has no process-wide audio category; what
// corresponds is how the player's audio stream presents itself to the sound server (a client
// name and the role "video"), which the player sets up when it opens its output. This object
// records the category and activation, in the phone's order: activation needs a category.
class LinuxAudioSession : public platform::AudioSession {
 public:
  // `hasAudioOutput` is false when playback runs without any audio device (headless).
  explicit LinuxAudioSession(bool hasAudioOutput);

  std::shared_ptr<platform::Error> setCategoryPlayback() override;
  std::shared_ptr<platform::Error> setActive(bool active) override;

  // "playback" once set, otherwise empty.
  const std::string& category() const { return category_; }
  bool isActive() const { return active_; }
  // The stream role the player should announce ("video" for the playback category).
  std::string streamRole() const { return category_ == "playback" ? "video" : ""; }
  bool hasAudioOutput() const { return hasAudioOutput_; }

 private:
  bool hasAudioOutput_;
  std::string category_;
  bool active_ = false;
};

}  // namespace vorn::linuxbackend
