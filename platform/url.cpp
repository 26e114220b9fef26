#include "platform/url.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>

namespace vorn::platform {
namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

struct CurlFree {
  void operator()(char* text) const { curl_free(text); }
};

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  // curl's parser is strict enough for what a download can use: it refuses empty texts, relative
  // references, spaces and a missing host. It needs a terminated string, and an embedded NUL
  // would silently cut the text short.
  if (text.empty() || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  // A handle per thread: queue loading parses every entry of a playlist, and making a handle per
  // address costs as much as the parse.
  // A handle keeps its last URL and would resolve the next text against it: clear it first.
  thread_local UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, nullptr, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  std::string owned(text);
  if (curl_url_set(handle.get(), CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    return std::nullopt;
  }
  return Url(std::move(owned));
}

Url Url::fileUrlWithPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "file://";
  if (path.empty() || path.front() != '/') {
    text += '/';
  }
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      text += static_cast<char>(c);
    } else {
      text += '%';
      text += kHex[c >> 4];
      text += kHex[c & 15];
    }
  }
  return Url(std::move(text));
}

std::string Url::scheme() const {
  const auto colon = text_->find(':');
  std::string scheme = text_->substr(0, colon == std::string::npos ? 0 : colon);
  for (char& c : scheme) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return scheme;
}

std::string Url::filePath() const {
  UrlHandle handle(curl_url());
  char* raw = nullptr;
  if (!handle ||
      curl_url_set(handle.get(), CURLUPART_URL, text_->c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK ||
      curl_url_get(handle.get(), CURLUPART_PATH, &raw, CURLU_URLDECODE) != CURLUE_OK) {
    return {};
  }
  std::unique_ptr<char, CurlFree> path(raw);
  return path ? std::string(path.get()) : std::string();
}

}  // namespace vorn::platform
