#pragma once

#include <string_view>

namespace vorn::fuzz {

// Inputs made of several parts are cut at this line, which no part needs to hold.
inline constexpr std::string_view kSeparator = "\n%%\n";

// The text of `rest` up to the next separator, which is taken off `rest` with it; all of `rest`
// when there is none.
inline std::string_view takePart(std::string_view& rest) {
  const auto at = rest.find(kSeparator);
  if (at == std::string_view::npos) {
    const auto part = rest;
    rest = {};
    return part;
  }
  const auto part = rest.substr(0, at);
  rest.remove_prefix(at + kSeparator.size());
  return part;
}

}  // namespace vorn::fuzz
