#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/url.h"

// How values are written inside log messages. Every message that joins literal pieces with
// values renders them here, so the same value always reads the same way.
namespace vorn::log {

std::string renderBool(bool value);
std::string renderInteger(int64_t value);
// printf's general format with 6 (single) or 15 (double) significant digits, with ".0" appended
// when the result has no point, exponent or letter n: 1 -> "1.0", 3600 -> "3600.0".
std::string renderFloat(float value);
std::string renderDouble(double value);
// A text as a string literal: quoted, with backslash, quote, line feed, carriage return and tab
// escaped (other control characters as \u{XX}).
std::string debugText(std::string_view text);

inline constexpr const char* kAbsent = "nil";

inline std::string renderOptional(const std::optional<float>& value) {
  return value ? "Optional(" + renderFloat(*value) + ")" : kAbsent;
}
inline std::string renderOptional(const std::optional<std::string>& value) {
  return value ? "Optional(" + debugText(*value) + ")" : kAbsent;
}
inline std::string renderOptional(const std::optional<platform::Url>& value) {
  return value ? "Optional(" + value->description() + ")" : kAbsent;
}
// Platform objects (errors, responses, player items, ...) by their own description.
template <typename T>
std::string renderOptional(const std::shared_ptr<T>& object) {
  return object ? "Optional(" + object->description() + ")" : kAbsent;
}

}  // namespace vorn::log
