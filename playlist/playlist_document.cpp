#include "playlist/playlist_document.h"

#include <simdjson.h>

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

// The top-level value of a parsed text, checked as the reading options require: without options
// only an array or an object may stand at the top.
ParseResult acceptTopLevel(std::shared_ptr<Json> document) {
  if (!document->is_array() && !document->is_object()) {
    return platform::Error::make(
        platform::kJsonErrorDomain, kNotArrayOrObject,
        "JSON text did not start with array or object and option to allow fragments not set.");
  }
  return JsonPtr(std::move(document));
}

// Copies a value of simdjson's tape into the tree, in the shape the reference parser gives:
// whole numbers not below 0 unsigned, a repeated key keeping its last value. Recursion is bounded
// by the parser's depth cap.
void copyInto(Json& out, simdjson::dom::element value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::ARRAY: {
      const simdjson::dom::array elements(value);
      out = Json::array();
      auto& target = out.get_ref<Json::array_t&>();
      target.reserve(elements.size());
      for (const simdjson::dom::element element : elements) {
        copyInto(target.emplace_back(), element);
      }
      return;
    }
    case element_type::OBJECT: {
      out = Json::object();
      auto& target = out.get_ref<Json::object_t&>();
      for (const simdjson::dom::key_value_pair field : simdjson::dom::object(value)) {
        copyInto(target[std::string(field.key)], field.value);
      }
      return;
    }
    case element_type::STRING:
      out = std::string(std::string_view(value));
      return;
    case element_type::INT64: {
      const int64_t number(value);
      if (number >= 0) {
        out = static_cast<uint64_t>(number);
      } else {
        out = number;
      }
      return;
    }
    case element_type::UINT64:
      out = uint64_t(value);
      return;
    case element_type::DOUBLE:
      out = double(value);
      return;
    case element_type::BOOL:
      out = bool(value);
      return;
    case element_type::NULL_VALUE:
      out = nullptr;
      return;
  }
}

}  // namespace

ParseResult parseDocument(std::string_view bytes) {
  // simdjson reads ordinary documents several times faster than the reference parser, but it
  // refuses some texts the reference takes (whole numbers past 64 bits) and words its errors
  // differently. Whatever it refuses, for whatever reason, goes to the reference, so what is
  // accepted, how it parses and how a refusal reads are the reference's.
  simdjson::dom::parser parser;
  if (parser.allocate(bytes.size(), kMaxNestingDepth) == simdjson::SUCCESS) {
    // The parser needs padding past the end of the text: the text is copied unless it has it.
    simdjson::dom::element root;
    if (parser.parse(bytes.data(), bytes.size(), true).get(root) == simdjson::SUCCESS) {
      auto document = std::make_shared<Json>();
      copyInto(*document, root);
      return acceptTopLevel(std::move(document));
    }
  }
  return parseDocumentWithReferenceParser(bytes);
}

ParseResult parseDocumentWithReferenceParser(std::string_view bytes) {
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
  return acceptTopLevel(std::move(document));
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
