#include "playlist/playlist_document.h"

#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn::playlist {
namespace {

enum ParseErrorCode : long { kSyntax = 1, kNotArrayOrObject = 2, kTooDeep = 3 };

class TooDeep : public std::exception {};

// nlohmann's DOM builder with a depth limit. Parsing itself is iterative; the limit protects
// what comes after it.
class LimitedDomBuilder {
 public:
  explicit LimitedDomBuilder(Json& result) : builder_(result, true) {}

  bool null() { return builder_.null(); }
  bool boolean(bool value) { return builder_.boolean(value); }
  bool number_integer(Json::number_integer_t value) { return builder_.number_integer(value); }
  bool number_unsigned(Json::number_unsigned_t value) { return builder_.number_unsigned(value); }
  bool number_float(Json::number_float_t value, const Json::string_t& text) {
    return builder_.number_float(value, text);
  }
  bool string(Json::string_t& value) { return builder_.string(value); }
  bool binary(Json::binary_t& value) { return builder_.binary(value); }
  bool start_object(std::size_t size) { return enter() && builder_.start_object(size); }
  bool key(Json::string_t& value) { return builder_.key(value); }
  bool end_object() {
    --depth_;
    return builder_.end_object();
  }
  bool start_array(std::size_t size) { return enter() && builder_.start_array(size); }
  bool end_array() {
    --depth_;
    return builder_.end_array();
  }
  template <typename Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& e) {
    return builder_.parse_error(position, token, e);
  }

 private:
  bool enter() {
    if (++depth_ > kMaxNestingDepth) {
      throw TooDeep();
    }
    return true;
  }
  nlohmann::detail::json_sax_dom_parser<Json> builder_;
  size_t depth_ = 0;
};

}  // namespace

ParseResult parseDocument(std::string_view bytes) {
  auto document = std::make_shared<Json>();
  try {
    LimitedDomBuilder builder(*document);
    Json::sax_parse(bytes.begin(), bytes.end(), &builder);
  } catch (const TooDeep&) {
    return platform::Error::make(
        platform::kJsonErrorDomain, kTooDeep,
        "Nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels.");
  } catch (const Json::exception& e) {
    return platform::Error::make(platform::kJsonErrorDomain, kSyntax, e.what());
  }
  // Without reading options only an array or an object may stand at the top.
  if (!document->is_array() && !document->is_object()) {
    return platform::Error::make(
        platform::kJsonErrorDomain, kNotArrayOrObject,
        "JSON text did not start with array or object and option to allow fragments not set.");
  }
  return JsonPtr(std::move(document));
}

}  // namespace vorn::playlist

namespace vorn {

void VornViewController::updatePlaylistCompletionHandler(
    std::optional<platform::Bytes> data, std::shared_ptr<platform::UrlResponse> urlresponse,
    std::shared_ptr<platform::Error> error) {
  debug("updatePlaylistCompletionHandler:");
  if (!data || error) {
    this->error("Error fetching playlist: " + log::renderOptional(error));
    setTimerRetryUpdatePlaylist();
    return;
  }
  auto parsed = playlist::parseDocument(*data);
  if (auto* parseError = std::get_if<std::shared_ptr<platform::Error>>(&parsed)) {
    this->error("Error parsing JSON: " + (*parseError)->description());
    setTimerRetryUpdatePlaylist();
    return;
  }
  auto document = std::get<JsonPtr>(std::move(parsed));
  if (!document->is_array()) {
    setTimerRetryUpdatePlaylist();
    return;
  }
  setPlaylist(std::move(document));
  std::optional<platform::Url> answered;
  if (urlresponse) {
    answered = urlresponse->url();
  }
  debug("Loaded playlist from " + log::renderOptional(answered));
  loadVideos(false);
}

}  // namespace vorn
