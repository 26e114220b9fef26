#include "programme/document.h"

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include <array>
#include <iterator>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "programme/entry.h"

namespace vorn::programme {
namespace {

enum ParseErrorCode : long {
  kSyntax = 1,
  kNotArrayOrObject = 2,
  kTooDeep = 3,
  kTooManyItems = 4,
  kTooManyValues = 5,
};

class TooDeep : public std::exception {};

// nlohmann's parser feeds events, not sizes, and a document's containers are made with their
// sizes known. The reference path reads the text twice: this pass counts each container's
// elements or members, in the order the containers open, and refuses what the parser refuses; the
// second fills the document. Building nlohmann's own tree and copying it cost about three times
// the memory of the document.
class ContainerSizes {
 public:
  std::vector<uint32_t> take() { return std::move(sizes_); }

  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(nlohmann::json::number_integer_t) { return value(); }
  bool number_unsigned(nlohmann::json::number_unsigned_t) { return value(); }
  bool number_float(nlohmann::json::number_float_t, const nlohmann::json::string_t&) {
    return value();
  }
  bool string(nlohmann::json::string_t&) { return value(); }
  bool binary(nlohmann::json::binary_t&) { return value(); }
  bool start_object(std::size_t) { return open(); }
  bool key(nlohmann::json::string_t&) { return true; }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(); }
  bool end_array() { return close(); }
  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& e) {
    throw e;
  }

 private:
  bool value() {
    if (!open_.empty()) {
      ++sizes_[open_.back()];
    }
    return true;
  }
  bool open() {
    value();
    if (open_.size() + 1 > kMaxNestingDepth) {
      throw TooDeep();
    }
    open_.push_back(sizes_.size());
    sizes_.push_back(0);
    return true;
  }
  bool close() {
    open_.pop_back();
    return true;
  }

  std::vector<uint32_t> sizes_;
  std::vector<size_t> open_;
};

// The second pass: each value goes straight to its place in the document. Members keep the text's
// order and repeats, as the fast path keeps them. The sizes come from the first pass over the same
// text; a value with no place left (which that pass rules out) stops the parse.
class DocumentFiller {
 public:
  DocumentFiller(JsonDocument& document, std::vector<uint32_t> sizes)
      : document_(document), sizes_(std::move(sizes)) {}

  bool null() { return place() != nullptr; }
  bool boolean(bool value) { return set(&JsonDocument::setBoolean, value); }
  bool number_integer(nlohmann::json::number_integer_t value) {
    return set(&JsonDocument::setInteger, int64_t{value});
  }
  bool number_unsigned(nlohmann::json::number_unsigned_t value) {
    return set(&JsonDocument::setUnsigned, uint64_t{value});
  }
  bool number_float(nlohmann::json::number_float_t value, const nlohmann::json::string_t&) {
    return set(&JsonDocument::setFloat, double{value});
  }
  bool string(nlohmann::json::string_t& value) {
    Json* out = place();
    if (out != nullptr) {
      document_.setString(*out, value);
    }
    return out != nullptr;
  }
  bool binary(nlohmann::json::binary_t&) { return place() != nullptr; }
  bool start_object(std::size_t) {
    Json* out = place();
    if (out == nullptr || next_ == sizes_.size()) {
      return false;
    }
    const auto members = document_.setObject(*out, sizes_[next_++]);
    open_.push_back({members.values, members.names});
    return true;
  }
  bool key(nlohmann::json::string_t& name) {
    if (open_.empty() || open_.back().filled == open_.back().values.size()) {
      return false;
    }
    open_.back().names[open_.back().filled] = document_.copyText(name);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) {
    Json* out = place();
    if (out == nullptr || next_ == sizes_.size()) {
      return false;
    }
    open_.push_back({document_.setArray(*out, sizes_[next_++]), {}});
    return true;
  }
  bool end_array() { return close(); }
  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& e) {
    throw e;
  }

 private:
  struct Open {
    std::span<Json> values;
    std::span<std::string_view> names;  // empty for an array
    size_t filled = 0;
  };

  // Where the next value goes: the root, or the next place of the innermost open container.
  Json* place() {
    if (open_.empty()) {
      if (rootTaken_) {
        return nullptr;
      }
      rootTaken_ = true;
      return &document_.root();
    }
    Open& container = open_.back();
    return container.filled < container.values.size() ? &container.values[container.filled++]
                                                      : nullptr;
  }
  template <typename T>
  bool set(void (*setter)(Json&, T), T value) {
    Json* out = place();
    if (out != nullptr) {
      setter(*out, value);
    }
    return out != nullptr;
  }
  bool close() {
    if (open_.empty() || open_.back().filled != open_.back().values.size()) {
      return false;
    }
    open_.pop_back();
    return true;
  }

  JsonDocument& document_;
  std::vector<uint32_t> sizes_;
  size_t next_ = 0;
  bool rootTaken_ = false;
  std::vector<Open> open_;
};

std::shared_ptr<platform::Error> tooDeepError() {
  return platform::Error::make(
      platform::kJsonErrorDomain, kTooDeep,
      "Nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels.");
}

std::shared_ptr<platform::Error> notArrayOrObjectError() {
  return platform::Error::make(
      platform::kJsonErrorDomain, kNotArrayOrObject,
      "JSON text did not start with array or object and option to allow fragments not set.");
}

// The first pass of parsePlaylist: nlohmann's parser with nothing built, throwing what the
// reference parser's builder throws (so a refusal reads the same), counting the cycle's items as
// the entries go by. Of each top-level element that is an object only the members an entry is
// read from are kept, in a small document of their own, and judged by readEntry as the parsed
// document's entries will be.
class CycleCounter {
 public:
  CycleCounter(const platform::Url* base, size_t maxItems) : base_(base), maxItems_(maxItems) {}

  bool tooMany() const { return items_ > maxItems_; }
  bool tooManyValues() const { return values_ > kMaxValues; }
  bool topLevelIsContainer() const { return topLevelIsContainer_; }

  bool null() { return scalar(nullptr); }
  bool boolean(bool value) { return scalar(value); }
  bool number_integer(nlohmann::json::number_integer_t value) { return scalar(int64_t{value}); }
  bool number_unsigned(nlohmann::json::number_unsigned_t value) { return scalar(uint64_t{value}); }
  bool number_float(nlohmann::json::number_float_t value, const nlohmann::json::string_t&) {
    return scalar(double{value});
  }
  bool string(nlohmann::json::string_t& value) { return scalar(std::move(value)); }
  bool binary(nlohmann::json::binary_t&) { return scalar(nullptr); }
  bool start_object(std::size_t) { return enter(true) && counted(); }
  bool key(nlohmann::json::string_t& name) {
    if (depth_ == 2 && inEntry_) {
      member_ = -1;
      for (size_t field = 0; field < std::size(kEntryFields); ++field) {
        if (name == kEntryFields[field]) {
          member_ = static_cast<int>(field);
        }
      }
    }
    return true;
  }
  bool end_object() { return leave(); }
  bool start_array(std::size_t) { return enter(false) && counted(); }
  bool end_array() { return leave(); }
  template <typename Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& e) {
    throw e;
  }

 private:
  // A member's value as the entry sees it: a container is neither a text nor a number.
  using Value = std::variant<std::nullptr_t, bool, int64_t, uint64_t, double, std::string>;

  bool enter(bool object) {
    if (++depth_ > kMaxNestingDepth) {
      throw TooDeep();
    }
    if (depth_ == 1) {
      topLevelIsContainer_ = true;
      inArray_ = !object;
    } else if (depth_ == 2 && inArray_ && object) {
      inEntry_ = true;
      members_ = {};
    } else if (depth_ == 3 && inEntry_) {
      take(nullptr);
    }
    return true;
  }

  bool leave() {
    if (depth_-- == 2 && inEntry_) {
      inEntry_ = false;
      items_ += entryPlays();
      // Past the limit the rest of the text does not matter.
      return !tooMany();
    }
    return true;
  }

  template <typename T>
  bool scalar(T&& value) {
    if (depth_ == 2 && inEntry_) {
      take(Value(std::forward<T>(value)));
    }
    return counted();
  }

  // Past the value limit the rest of the text does not matter either.
  bool counted() { return ++values_ <= kMaxValues; }

  void take(Value value) {
    if (member_ >= 0) {
      members_[static_cast<size_t>(member_)] = std::move(value);
    }
    member_ = -1;
  }

  size_t entryPlays() const {
    JsonDocument document;
    size_t count = 0;
    for (const auto& member : members_) {
      count += member.has_value() ? 1 : 0;
    }
    const auto target = document.setObject(document.root(), count);
    size_t i = 0;
    for (size_t m = 0; m < members_.size(); ++m) {
      if (!members_[m]) {
        continue;
      }
      target.names[i] = kEntryFields[m];
      Json& out = target.values[i++];
      std::visit(
          [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, bool>) {
              JsonDocument::setBoolean(out, value);
            } else if constexpr (std::is_same_v<T, int64_t>) {
              JsonDocument::setInteger(out, value);
            } else if constexpr (std::is_same_v<T, uint64_t>) {
              JsonDocument::setUnsigned(out, value);
            } else if constexpr (std::is_same_v<T, double>) {
              JsonDocument::setFloat(out, value);
            } else if constexpr (std::is_same_v<T, std::string>) {
              document.setString(out, value);
            }
          },
          *members_[m]);
    }
    const auto reading = readEntry(document.root(), base_);
    return reading ? static_cast<size_t>(reading->plays) : 0;
  }

  const platform::Url* base_;
  size_t maxItems_;
  size_t items_ = 0;
  size_t values_ = 0;
  size_t depth_ = 0;
  bool topLevelIsContainer_ = false;
  bool inArray_ = false;
  bool inEntry_ = false;
  int member_ = -1;
  std::array<std::optional<Value>, std::size(kEntryFields)> members_;
};

// A whole parsed text, checked as the reading options require: without options only an array or
// an object may stand at the top.
ParseResult acceptTopLevel(std::shared_ptr<JsonDocument> document) {
  const Json& root = document->root();
  if (!root.isArray() && !root.isObject()) {
    return notArrayOrObjectError();
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

}  // namespace

ParseResult parseDocument(std::string_view bytes) {
  // simdjson reads ordinary documents several times faster than the reference parser, but it
  // refuses some texts the reference takes (whole numbers past 64 bits) and words its errors
  // differently. Whatever it refuses, for whatever reason, goes to the reference, so what is
  // accepted, how it parses and how a refusal reads are the reference's.
  {
    // Scoped, so that the parser's buffers (several times the text) are gone before the reference
    // path builds its document.
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
  }
  return parseDocumentWithReferenceParser(bytes);
}

std::shared_ptr<platform::Error> tooManyItemsError() {
  return platform::Error::make(
      platform::kJsonErrorDomain, kTooManyItems,
      "The playlist's cycle would hold more than " + std::to_string(kMaxCycleItems) + " items.");
}

ParseResult parsePlaylist(std::string_view bytes, const platform::Url* base, size_t maxItems) {
  CycleCounter counter(base, maxItems);
  try {
    nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &counter);
  } catch (const TooDeep&) {
    return tooDeepError();
  } catch (const nlohmann::json::exception& e) {
    return platform::Error::make(platform::kJsonErrorDomain, kSyntax, e.what());
  }
  if (counter.tooMany()) {
    return tooManyItemsError();
  }
  if (counter.tooManyValues()) {
    return platform::Error::make(
        platform::kJsonErrorDomain, kTooManyValues,
        "The playlist holds more than " + std::to_string(kMaxValues) + " values.");
  }
  if (!counter.topLevelIsContainer()) {
    return notArrayOrObjectError();
  }
  return parseDocument(bytes);
}

bool isTooManyItems(const platform::Error& error) {
  return error.domain() == platform::kJsonErrorDomain && error.code() == kTooManyItems;
}

bool isTooLarge(const platform::Error& error) {
  return error.domain() == platform::kJsonErrorDomain &&
         (error.code() == kTooManyItems || error.code() == kTooManyValues);
}

ParseResult parseDocumentWithReferenceParser(std::string_view bytes) {
  auto document = std::make_shared<JsonDocument>();
  try {
    ContainerSizes sizes;
    nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &sizes);
    DocumentFiller filler(*document, sizes.take());
    if (!nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &filler)) {
      return platform::Error::make(platform::kJsonErrorDomain, kSyntax,
                                   "The text read differently the second time.");
    }
  } catch (const TooDeep&) {
    return tooDeepError();
  } catch (const nlohmann::json::exception& e) {
    return platform::Error::make(platform::kJsonErrorDomain, kSyntax, e.what());
  }
  return acceptTopLevel(std::move(document));
}

}  // namespace vorn::programme
