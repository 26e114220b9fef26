#include "playlist/playlist_document.h"

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include <iterator>

#include "channel/programme_clock.h"
#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn::playlist {
namespace {

enum ParseErrorCode : long { kSyntax = 1, kNotArrayOrObject = 2, kTooDeep = 3, kTooManyItems = 4 };

class TooDeep : public std::exception {};

// nlohmann's DOM builder with a depth limit. Parsing itself is iterative; the limit protects
// what comes after it.
class LimitedDomBuilder {
 public:
  explicit LimitedDomBuilder(nlohmann::json& result) : builder_(result, true) {}

  bool null() { return builder_.null(); }
  bool boolean(bool value) { return builder_.boolean(value); }
  bool number_integer(nlohmann::json::number_integer_t value) {
    return builder_.number_integer(value);
  }
  bool number_unsigned(nlohmann::json::number_unsigned_t value) {
    return builder_.number_unsigned(value);
  }
  bool number_float(nlohmann::json::number_float_t value, const nlohmann::json::string_t& text) {
    return builder_.number_float(value, text);
  }
  bool string(nlohmann::json::string_t& value) { return builder_.string(value); }
  bool binary(nlohmann::json::binary_t& value) { return builder_.binary(value); }
  bool start_object(std::size_t size) { return enter() && builder_.start_object(size); }
  bool key(nlohmann::json::string_t& value) { return builder_.key(value); }
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
  nlohmann::detail::json_sax_dom_parser<nlohmann::json> builder_;
  size_t depth_ = 0;
};

// A whole parsed text, checked as the reading options require: without options only an array or
// an object may stand at the top.
ParseResult acceptTopLevel(std::shared_ptr<JsonDocument> document) {
  const Json& root = document->root();
  if (!root.is_array() && !root.is_object()) {
    return platform::Error::make(
        platform::kJsonErrorDomain, kNotArrayOrObject,
        "JSON text did not start with array or object and option to allow fragments not set.");
  }
  return JsonPtr(std::move(document), &root);
}

// simdjson gives counts only up to 0xFFFFFF; past that they have to be counted.
template <typename Container>
size_t countOf(const Container& container) {
  const size_t count = container.size();
  if (count < 0xFFFFFF) {
    return count;
  }
  return static_cast<size_t>(std::distance(container.begin(), container.end()));
}

// Copies a value of simdjson's tape into the document. Recursion is bounded by the parser's depth
// cap.
void copyInto(JsonDocument& document, Json& out, simdjson::dom::element value) {
  using simdjson::dom::element_type;
  switch (value.type()) {
    case element_type::ARRAY: {
      const simdjson::dom::array elements(value);
      const auto target = document.setArray(out, countOf(elements));
      size_t i = 0;
      for (const simdjson::dom::element element : elements) {
        copyInto(document, target[i++], element);
      }
      return;
    }
    case element_type::OBJECT: {
      const simdjson::dom::object fields(value);
      const auto target = document.setObject(out, countOf(fields));
      size_t i = 0;
      for (const simdjson::dom::key_value_pair field : fields) {
        target.names[i] = document.copyText(field.key);
        copyInto(document, target.values[i++], field.value);
      }
      return;
    }
    case element_type::STRING:
      document.setString(out, std::string_view(value));
      return;
    case element_type::INT64:
      JsonDocument::setInteger(out, int64_t(value));
      return;
    case element_type::UINT64:
      JsonDocument::setUnsigned(out, uint64_t(value));
      return;
    case element_type::DOUBLE:
      JsonDocument::setFloat(out, double(value));
      return;
    case element_type::BOOL:
      JsonDocument::setBoolean(out, bool(value));
      return;
    case element_type::NULL_VALUE:
      return;
  }
}

// The same from the reference parser's tree.
void copyInto(JsonDocument& document, Json& out, const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::array: {
      const auto target = document.setArray(out, value.size());
      size_t i = 0;
      for (const auto& element : value) {
        copyInto(document, target[i++], element);
      }
      return;
    }
    case nlohmann::json::value_t::object: {
      const auto target = document.setObject(out, value.size());
      size_t i = 0;
      for (const auto& [name, member] : value.items()) {
        target.names[i] = document.copyText(name);
        copyInto(document, target.values[i++], member);
      }
      return;
    }
    case nlohmann::json::value_t::string:
      document.setString(out, value.get_ref<const std::string&>());
      return;
    case nlohmann::json::value_t::number_integer:
      JsonDocument::setInteger(out, value.get<int64_t>());
      return;
    case nlohmann::json::value_t::number_unsigned:
      JsonDocument::setUnsigned(out, value.get<uint64_t>());
      return;
    case nlohmann::json::value_t::number_float:
      JsonDocument::setFloat(out, value.get<double>());
      return;
    case nlohmann::json::value_t::boolean:
      JsonDocument::setBoolean(out, value.get<bool>());
      return;
    default:
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
      auto document = std::make_shared<JsonDocument>();
      copyInto(*document, document->root(), root);
      return acceptTopLevel(std::move(document));
    }
  }
  return parseDocumentWithReferenceParser(bytes);
}

std::shared_ptr<platform::Error> tooManyItemsError() {
  return platform::Error::make(platform::kJsonErrorDomain, kTooManyItems,
                               "The playlist's cycle would hold more than " +
                                   std::to_string(programme::kMaxCycleItems) + " items.");
}

ParseResult parseDocumentWithReferenceParser(std::string_view bytes) {
  nlohmann::json tree;
  try {
    LimitedDomBuilder builder(tree);
    nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder);
  } catch (const TooDeep&) {
    return platform::Error::make(
        platform::kJsonErrorDomain, kTooDeep,
        "Nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels.");
  } catch (const nlohmann::json::exception& e) {
    return platform::Error::make(platform::kJsonErrorDomain, kSyntax, e.what());
  }
  auto document = std::make_shared<JsonDocument>();
  copyInto(*document, document->root(), tree);
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
  std::optional<platform::Url> answered;
  if (urlresponse) {
    answered = urlresponse->url();
  }
  // Relative stream addresses are resolved against the address that answered.
  const std::optional<platform::Url> base = answered ? answered : playlistNSURL();
  const platform::Url* const basePointer = base ? &*base : nullptr;
  if (programme::countCycleItems(*document, basePointer) > programme::kMaxCycleItems) {
    this->error("Error parsing JSON: " + playlist::tooManyItemsError()->description());
    setTimerRetryUpdatePlaylist();
    return;
  }
  // A document with nothing to play never replaces one that has something: the programme on
  // screen goes on. Only a first document (or one replacing another unplayable one) is taken.
  if (const JsonPtr current = playlist();
      current && programme::countCycleItems(*document, basePointer, 0) == 0) {
    const auto currentBase = playlistAddressOf(current);
    if (programme::countCycleItems(*current, currentBase ? &*currentBase : nullptr, 0) > 0) {
      this->error(
          "updatePlaylistCompletionHandler: playlist has no playable entries; keeping the "
          "current playlist");
      return;
    }
  }
  playlistAccepted(*data, *document, answered);
  notePlaylistAddress(document, base);
  setPlaylist(std::move(document));
  debug("Loaded playlist from " + log::renderOptional(answered));
  loadVideos(false);
}

}  // namespace vorn
