#pragma once

#include <optional>
#include <string>

#include "platform/url.h"
#include "programme/json.h"

// Reading a playlist document for the operator's commands: a file path, or a file/http/https
// address fetched as the channel fetches it.
namespace vorn::app {

struct PlaylistInput {
  std::string playlist;  // a path or an address
  std::string caFile;    // an extra trusted authority for https; empty for none
  double fetchTimeout = 10.0;
};

// The parsed top-level value (an array or an object), or, when it cannot be read or parsed, null
// and `error` set to one line saying why. `address`, when given, receives the playlist's own
// address (a path as its file address), against which relative stream addresses resolve.
JsonPtr loadPlaylist(const PlaylistInput& input, std::string& error,
                     std::optional<platform::Url>* address = nullptr);

}  // namespace vorn::app
