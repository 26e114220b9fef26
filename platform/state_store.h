#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/url_session.h"

namespace vorn::platform {

// Small named blobs the application keeps between runs (the last good playlist). Calls may wait
// on a disk: never call from the main thread. Thread-safe.
class StateStore {
 public:
  virtual ~StateStore() = default;

  struct ReadResult {
    std::optional<Bytes> data;     // the blob, when there is one and it could be read
    std::shared_ptr<Error> error;  // why it could not be read; neither when nothing was saved
  };
  virtual ReadResult read(const std::string& name) = 0;
  // Replaces the blob as a whole: a later read gets the old bytes or the new ones, never a mix,
  // also after a crash or a power cut. Nothing on success.
  virtual std::shared_ptr<Error> write(const std::string& name, std::string_view bytes) = 0;
  // Where the blob lives, for the log.
  virtual std::string location(const std::string& name) const = 0;
};

// Domain of the store's failures.
inline constexpr const char* kStateErrorDomain = "VornStateErrorDomain";
// A saved blob larger than this is refused as unreadable: it cannot be a playlist the channel
// would have accepted.
inline constexpr size_t kMaxStateBlobBytes = 16 * 1024 * 1024;

}  // namespace vorn::platform
