#include "platform/url.h"

#include <curl/curl.h>

#include <algorithm>
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

// Whether `text` is an ordinary web address curl's parser is certain to accept: "http" or
// "https", "://", a host name of letter-digit-hyphen labels that starts with a letter (so it is
// never read as a numeric IPv4 address), no user or port, then path, query and fragment made only
// of the characters an address may carry unescaped, and well short of curl's length limit.
// Anything else is left to curl, so this only has to be right about what it takes. Checking a
// playlist's addresses this way costs a few percent of asking curl.
bool isOrdinaryWebAddress(std::string_view text) {
  constexpr size_t kMaxLength = 8000;
  constexpr size_t kMaxHostLength = 253;
  constexpr size_t kMaxLabelLength = 63;
  if (text.size() > kMaxLength) {
    return false;
  }
  size_t at;
  if (text.starts_with("https://")) {
    at = 8;
  } else if (text.starts_with("http://")) {
    at = 7;
  } else {
    return false;
  }
  const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const size_t hostStart = at;
  if (at == text.size() || !isLetter(text[at])) {
    return false;
  }
  size_t label = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (isLetter(c) || isDigit(c) || c == '-') {
      if (++label > kMaxLabelLength) {
        return false;
      }
    } else if (c == '.' && label > 0) {
      label = 0;
    } else {
      break;
    }
  }
  if (label == 0 || at - hostStart > kMaxHostLength) {
    return false;
  }
  if (at == text.size()) {
    return true;
  }
  if (text[at] != '/' && text[at] != '?' && text[at] != '#') {
    return false;
  }
  static constexpr std::string_view kPunctuation = "-._~!$&'()*+,;=:@/?#%";
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (!isLetter(c) && !isDigit(c) && kPunctuation.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  if (isOrdinaryWebAddress(text)) {
    return Url(std::string(text));
  }
  return parseWithCurl(text);
}

std::optional<Url> Url::parseWithCurl(std::string_view text) {
  // curl's parser is strict enough for what a download can use: it refuses empty texts, relative
  // references, spaces and a missing host. It needs a terminated string, and an embedded NUL
  // would silently cut the text short.
  if (text.empty() || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  // A handle per thread: making a handle per address costs as much as the parse.
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

std::optional<Url> Url::resolve(std::string_view reference, const Url& base) {
  if (auto absolute = parse(reference)) {
    return absolute;
  }
  // A reference never holds spaces or control characters; curl would quietly escape them.
  if (reference.empty() || std::any_of(reference.begin(), reference.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
      })) {
    return std::nullopt;
  }
  // Setting a relative reference on a handle that holds a URL resolves it against that URL.
  UrlHandle handle(curl_url());
  const std::string relative(reference);
  char* raw = nullptr;
  if (!handle ||
      curl_url_set(handle.get(), CURLUPART_URL, base.text().c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_URL, relative.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK ||
      curl_url_get(handle.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  std::unique_ptr<char, CurlFree> resolved(raw);
  // What curl writes back must stand as an address on its own, as every Url does.
  return resolved ? parse(resolved.get()) : std::nullopt;
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
