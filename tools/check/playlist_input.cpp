#include "tools/check/playlist_input.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <future>
#include <optional>
#include <string_view>

#include "platform/linux/url_session.h"
#include "programme/document.h"

namespace vorn::app {
namespace {

// An address rather than a path: a scheme the channel fetches.
bool looksLikeAddress(const std::string& text) {
  for (const std::string_view scheme : {"http:", "https:", "file:"}) {
    if (text.size() >= scheme.size() &&
        std::equal(scheme.begin(), scheme.end(), text.begin(), [](char a, char b) {
          return a == std::tolower(static_cast<unsigned char>(b));
        })) {
      return true;
    }
  }
  return false;
}

struct Fetched {
  std::optional<platform::Bytes> data;
  long status = 0;
  std::string error;
};

Fetched fetch(const platform::Url& url, const PlaylistInput& input) {
  linuxbackend::UrlSessionOptions options;
  if (!input.caFile.empty()) {
    options.extraCaFile = input.caFile;
  }
  options.totalTimeoutSeconds = input.fetchTimeout;
  options.connectTimeoutSeconds =
      std::min(options.connectTimeoutSeconds, options.totalTimeoutSeconds);
  std::promise<Fetched> done;
  auto result = done.get_future();
  {
    linuxbackend::CurlUrlSession session(options);
    session.startDataTask(url, [&done](std::optional<platform::Bytes> data,
                                       std::shared_ptr<platform::UrlResponse> response,
                                       std::shared_ptr<platform::Error> error) {
      Fetched fetched;
      if (error) {
        fetched.error = error->message();
      } else {
        fetched.data = std::move(data);
        fetched.status = response ? response->statusCode() : 0;
      }
      done.set_value(std::move(fetched));
    });
    result.wait();
  }
  return result.get();
}

}  // namespace

JsonPtr loadPlaylist(const PlaylistInput& input, std::string& error,
                     std::optional<platform::Url>* address) {
  std::optional<platform::Url> url;
  if (looksLikeAddress(input.playlist)) {
    url = platform::Url::parse(input.playlist);
    if (!url) {
      error = "the playlist address \"" + input.playlist + "\" does not parse";
      return nullptr;
    }
  } else {
    if (input.playlist.empty()) {
      error = "no playlist given";
      return nullptr;
    }
    // A path goes through the same reader as a file address, with the same size cap.
    std::string path = input.playlist;
    if (path.front() != '/') {
      std::error_code failed;
      path = std::filesystem::absolute(path, failed).string();
    }
    std::error_code failed;
    if (!std::filesystem::is_regular_file(path, failed)) {
      error = "cannot read the playlist " + input.playlist +
              (std::filesystem::exists(path, failed) ? ": not a file" : ": no such file");
      return nullptr;
    }
    url = platform::Url::fileUrlWithPath(path);
  }
  if (address) {
    *address = url;
  }
  const Fetched fetched = fetch(*url, input);
  if (!fetched.data) {
    error = "cannot read the playlist " + input.playlist + ": " + fetched.error;
    return nullptr;
  }
  // The channel's item limit holds here too: what it would refuse is not a programme.
  auto parsed = programme::parsePlaylist(*fetched.data, &*url);
  if (auto* failure = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    if (programme::isTooLarge(**failure)) {
      error = "the playlist " + input.playlist +
              " is too large for the channel: " + (*failure)->message();
      return nullptr;
    }
    error = "the playlist " + input.playlist + " is not JSON: " + (*failure)->message();
    if (fetched.status >= 400) {
      error += " (the server answered HTTP " + std::to_string(fetched.status) + ")";
    }
    return nullptr;
  }
  return std::get<JsonPtr>(parsed);
}

}  // namespace vorn::app
