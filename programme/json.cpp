#include "programme/json.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace vorn {
namespace {

const Json kNull{};

constexpr size_t kAlignment = alignof(Json);
static_assert(alignof(std::string_view) <= kAlignment);
constexpr size_t kLargestBlockBytes = size_t{1} << 20;

uint32_t checkedSize(size_t size) {
  // A document is at most a few tens of megabytes; simdjson refuses texts past 4 GiB.
  if (size > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("JSON value too large");
  }
  return static_cast<uint32_t>(size);
}

// static_cast of a double outside the integer's range is undefined (a playlist may hold 1e300):
// such a value gives the nearer end of the range, NaN gives 0.
template <typename Integer>
Integer saturated(double value) {
  constexpr auto lowest = std::numeric_limits<Integer>::min();
  constexpr auto highest = std::numeric_limits<Integer>::max();
  if (std::isnan(value)) {
    return 0;
  }
  if (value <= static_cast<double>(lowest)) {
    return lowest;
  }
  // The largest value rounds up to the power of two just past the range.
  if (value >= static_cast<double>(highest)) {
    return highest;
  }
  return static_cast<Integer>(value);
}

[[noreturn]] void wrongType(const char* wanted) {
  throw std::domain_error(std::string("JSON value is not ") + wanted);
}

}  // namespace

template <>
bool Json::get<bool>() const {
  if (!isBoolean()) {
    wrongType("a boolean");
  }
  return boolean_;
}

template <>
double Json::get<double>() const {
  switch (type_) {
    case Type::signedInteger:
      return static_cast<double>(integer_);
    case Type::unsignedInteger:
      return static_cast<double>(unsigned_);
    case Type::floating:
      return float_;
    default:
      wrongType("a number");
  }
}

template <>
int64_t Json::get<int64_t>() const {
  switch (type_) {
    case Type::signedInteger:
      return integer_;
    case Type::unsignedInteger:
      return static_cast<int64_t>(unsigned_);
    case Type::floating:
      return saturated<int64_t>(float_);
    default:
      wrongType("a number");
  }
}

template <>
uint64_t Json::get<uint64_t>() const {
  switch (type_) {
    case Type::signedInteger:
      return static_cast<uint64_t>(integer_);
    case Type::unsignedInteger:
      return unsigned_;
    case Type::floating:
      return saturated<uint64_t>(float_);
    default:
      wrongType("a number");
  }
}

template <>
std::string_view Json::get<std::string_view>() const {
  if (!isString()) {
    wrongType("a string");
  }
  return {text_, size_};
}

template <>
std::string Json::get<std::string>() const {
  return std::string(get<std::string_view>());
}

const Json* Json::find(std::string_view key) const {
  if (!isObject()) {
    return end();
  }
  // Entries have a handful of members: a scan beats any index. From the back, so a repeated name
  // finds its last value.
  for (size_t i = size_; i-- > 0;) {
    if (keys_[i] == key) {
      return items_ + i;
    }
  }
  return end();
}

const Json& Json::operator[](std::string_view key) const {
  const Json* found = find(key);
  return found == end() ? kNull : *found;
}

const Json& Json::operator[](size_t index) const {
  return isArray() && index < size_ ? items_[index] : kNull;
}

void JsonDocument::setBoolean(Json& value, bool boolean) {
  value.type_ = Json::Type::boolean;
  value.boolean_ = boolean;
}

void JsonDocument::setInteger(Json& value, int64_t number) {
  if (number >= 0) {
    setUnsigned(value, static_cast<uint64_t>(number));
    return;
  }
  value.type_ = Json::Type::signedInteger;
  value.integer_ = number;
}

void JsonDocument::setUnsigned(Json& value, uint64_t number) {
  value.type_ = Json::Type::unsignedInteger;
  value.unsigned_ = number;
}

void JsonDocument::setFloat(Json& value, double number) {
  value.type_ = Json::Type::floating;
  value.float_ = number;
}

void JsonDocument::setString(Json& value, std::string_view text) {
  const std::string_view copy = copyText(text);
  value.type_ = Json::Type::string;
  value.size_ = checkedSize(copy.size());
  value.text_ = copy.data();
}

std::span<Json> JsonDocument::setArray(Json& value, size_t count) {
  Json* items = makeNodes(count);
  value.type_ = Json::Type::array;
  value.size_ = checkedSize(count);
  value.items_ = items;
  return {items, count};
}

JsonDocument::Members JsonDocument::setObject(Json& value, size_t count) {
  Json* items = makeNodes(count);
  auto* names = reinterpret_cast<std::string_view*>(allocate(count * sizeof(std::string_view)));
  std::uninitialized_default_construct_n(names, count);
  value.type_ = Json::Type::object;
  value.size_ = checkedSize(count);
  value.items_ = items;
  value.keys_ = names;
  return {{names, count}, {items, count}};
}

Json* JsonDocument::makeNodes(size_t count) {
  auto* nodes = reinterpret_cast<Json*>(allocate(count * sizeof(Json)));
  std::uninitialized_default_construct_n(nodes, count);
  return nodes;
}

std::string_view JsonDocument::copyText(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  auto* copy = reinterpret_cast<char*>(allocate(text.size()));
  std::memcpy(copy, text.data(), text.size());
  return {copy, text.size()};
}

std::byte* JsonDocument::allocate(size_t bytes) {
  if (bytes == 0) {
    return nullptr;
  }
  bytes = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  // A large request gets a block of its own, so the current block keeps its room.
  if (bytes > kLargestBlockBytes / 4) {
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
    return blocks_.back().get();
  }
  if (bytes > left_) {
    // Blocks grow with the document, so a small one stays small.
    const size_t size = std::max(nextBlockBytes_, bytes);
    nextBlockBytes_ = std::min(nextBlockBytes_ * 2, kLargestBlockBytes);
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
    free_ = blocks_.back().get();
    left_ = size;
  }
  std::byte* result = free_;
  free_ += bytes;
  left_ -= bytes;
  return result;
}

}  // namespace vorn
