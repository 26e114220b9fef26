#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vorn {

// A parsed playlist value. Values never change once parsed and live in their document's few large
// blocks (nodes, member names and text side by side), never in a heap allocation of their own: a
// document of 100,000 entries is built and freed in a few dozen allocations instead of about a
// million, which is most of what a first load of a new document used to cost.
//
// A value is handled by reference or through a JsonPtr, an aliasing pointer into its document
// that keeps the whole document alive (an entry handed to a player item is one). Reading works as
// with the reference parser's values (get<T>, find, operator[], begin and end).
class Json {
 public:
  enum class Type : uint8_t {
    null,
    boolean,
    signedInteger,    // a whole number below 0
    unsignedInteger,  // a whole number from 0
    floating,         // a number written with a fraction or an exponent
    string,
    array,
    object,
  };

  Json() = default;  // null
  Json(const Json&) = delete;
  Json& operator=(const Json&) = delete;

  Type type() const { return type_; }
  bool isNull() const { return type_ == Type::null; }
  bool isBoolean() const { return type_ == Type::boolean; }
  bool isNumber() const { return isInteger() || isFloat(); }
  // Whole numbers, signed or not.
  bool isInteger() const { return type_ == Type::signedInteger || type_ == Type::unsignedInteger; }
  bool isUnsigned() const { return type_ == Type::unsignedInteger; }
  bool isFloat() const { return type_ == Type::floating; }
  bool isString() const { return type_ == Type::string; }
  bool isArray() const { return type_ == Type::array; }
  bool isObject() const { return type_ == Type::object; }

  // The value as T: bool from a boolean; int64_t, uint64_t or double from any number (as
  // static_cast does, but a fraction past an integer's range gives its nearer end); std::string or
  // string_view (into the document) from a string. Anything else throws std::domain_error.
  template <typename T>
  T get() const;

  // The elements of an array, or the member values of an object, in document order; nothing for
  // any other value. (A name that repeats in the text is a member each time it appears; find()
  // gives the last value.)
  size_t size() const { return isArray() || isObject() ? size_ : 0; }
  const Json* begin() const { return items_; }
  const Json* end() const { return items_ + size(); }

  // The value of the member named `key` (the last one when the name repeats, as the reference
  // parser keeps it), or end() when there is none or this is not an object.
  const Json* find(std::string_view key) const;
  // The same, or a null value; an array's element, or a null value when out of range.
  const Json& operator[](std::string_view key) const;
  const Json& operator[](size_t index) const;
  // The name of member `index` (below size()) of an object.
  std::string_view key(size_t index) const { return keys_[index]; }

 private:
  friend class JsonDocument;

  Type type_ = Type::null;
  uint32_t size_ = 0;  // text length, elements or members
  union {
    bool boolean_;
    int64_t integer_ = 0;
    uint64_t unsigned_;
    double float_;
    const char* text_;
  };
  const Json* items_ = nullptr;             // elements or member values
  const std::string_view* keys_ = nullptr;  // member names, beside items_
};
static_assert(std::is_trivially_destructible_v<Json>);

template <>
bool Json::get<bool>() const;
template <>
int64_t Json::get<int64_t>() const;
template <>
uint64_t Json::get<uint64_t>() const;
template <>
double Json::get<double>() const;
template <>
std::string Json::get<std::string>() const;
template <>
std::string_view Json::get<std::string_view>() const;

// The storage of one parsed document, filled once by the parser and never changed after. Blocks
// are only ever added, so a value's address is fixed from when it is made.
class JsonDocument {
 public:
  JsonDocument() = default;
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  Json& root() { return root_; }

  // Building, by the parser, each value once. Texts are copied into the document; a container
  // gets `count` null values (and names) to fill.
  static void setBoolean(Json& value, bool boolean);
  static void setInteger(Json& value, int64_t number);
  static void setUnsigned(Json& value, uint64_t number);
  static void setFloat(Json& value, double number);
  void setString(Json& value, std::string_view text);
  std::span<Json> setArray(Json& value, size_t count);
  struct Members {
    std::span<std::string_view> names;  // fill with copyText()
    std::span<Json> values;
  };
  Members setObject(Json& value, size_t count);
  std::string_view copyText(std::string_view text);

 private:
  // Raw storage for `bytes`, aligned for any of the node types.
  std::byte* allocate(size_t bytes);
  Json* makeNodes(size_t count);

  Json root_;
  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* free_ = nullptr;
  size_t left_ = 0;
  size_t nextBlockBytes_ = 4096;
};

using JsonPtr = std::shared_ptr<const Json>;

}  // namespace vorn
