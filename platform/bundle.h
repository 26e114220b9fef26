#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vorn/build_config.h"

namespace vorn::platform {

// The application's packaged resources. Any thread.
class Bundle {
 public:
  virtual ~Bundle() = default;
  // The file-system path of resource `name` of type `type` ("vorn-vimeo-playlist", "json"), or
  // nothing when the resources hold no such file.
  virtual std::optional<std::string> pathForResource(const std::string& name,
                                                     const std::string& type) const = 0;

  // The address the channel fetches its playlist from: the operator's setting, else the one fixed
  // at build time. Set before the application launches; read from any thread afterwards.
  const std::string& remotePlaylistAddress() const { return remotePlaylistAddress_; }
  void setRemotePlaylistAddress(std::string address) {
    remotePlaylistAddress_ = std::move(address);
  }
  // Seconds between background fetches of that address while the channel runs: the operator's
  // setting. Set before the application launches.
  double playlistRefreshInterval() const { return playlistRefreshInterval_; }
  void setPlaylistRefreshInterval(double seconds) { playlistRefreshInterval_ = seconds; }
  // A number that tells this screen from the others of a fleet and stays the same from run to
  // run; their background fetches are spread apart by it. Nothing: every fetch keeps the interval
  // exactly. Set before the application launches.
  std::optional<uint64_t> screenIdentity() const { return screenIdentity_; }
  void setScreenIdentity(std::optional<uint64_t> identity) { screenIdentity_ = identity; }
  // Whether players keep the picture on the clock to the frame (placed at each load, drift
  // corrected while playing) or only as the whole second each load seeks to. Set before the
  // application launches.
  bool frameSync() const { return frameSync_; }
  void setFrameSync(bool on) { frameSync_ = on; }

 private:
  std::string remotePlaylistAddress_ = build::kRemotePlaylistAddress;
  double playlistRefreshInterval_ = 600.0;
  std::optional<uint64_t> screenIdentity_;
  bool frameSync_ = true;
};

}  // namespace vorn::platform
