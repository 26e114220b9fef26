#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::platform {

// An absolute address. Made only through parse() or fileUrlWithPath(), so every Url in the program
// is well formed. The text form is the text it was made from.
class Url {
 public:
  // Parses an absolute URL with a scheme; nothing for an empty text, a relative reference, spaces
  // or a missing host where the scheme needs one. Any thread.
  static std::optional<Url> parse(std::string_view text);
  // The same outcome from curl's parser alone. parse() answers ordinary web addresses itself and
  // asks curl about every other text; this is what it must agree with.
  static std::optional<Url> parseWithCurl(std::string_view text);
  // The file URL of an absolute file-system path ("file:///a/b.json"), percent-encoding where
  // needed.
  static Url fileUrlWithPath(std::string_view path);
  // `reference` as an address: itself when it parses as one, else resolved against `base` as a
  // browser resolves a relative link ("a/b.m3u8", "/x/y.m3u8", "../b.m3u8", "//host/p"). Nothing
  // when neither gives a well-formed address. Any thread.
  static std::optional<Url> resolve(std::string_view reference, const Url& base);

  const std::string& text() const { return *text_; }
  const std::string& description() const { return *text_; }
  std::string scheme() const;
  bool isFileUrl() const { return scheme() == "file"; }
  // The decoded path of a file URL.
  std::string filePath() const;

  bool operator==(const Url& other) const { return *text_ == *other.text_; }

 private:
  explicit Url(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}
  // Shared: a queue holds one copy of an address per play of every entry.
  std::shared_ptr<const std::string> text_;
};

}  // namespace vorn::platform
