#pragma once

#include <memory>
#include <string_view>
#include <variant>

#include "channel/json.h"
#include "platform/error.h"

namespace vorn::playlist {

// Deeper nesting than any playlist needs is refused as a parse error: the parsed value would
// otherwise be copied and destroyed recursively.
inline constexpr size_t kMaxNestingDepth = 512;

// The bytes of a playlist document as JSON: the top-level value (an array or an object; anything
// else is a parse error, as are invalid UTF-8, numbers out of range and nesting past the cap), or
// the parser's error.
using ParseResult = std::variant<JsonPtr, std::shared_ptr<platform::Error>>;
ParseResult parseDocument(std::string_view bytes);

// The same with nlohmann's parser alone: several times slower, but the authority on which texts
// are refused and how the refusal reads. parseDocument hands it every text it does not accept
// itself.
ParseResult parseDocumentWithReferenceParser(std::string_view bytes);

// The refusal of a document whose cycle holds more items than programme::kMaxCycleItems, worded
// as a parse error: such a document is refused as a whole, as unreadable bytes are.
std::shared_ptr<platform::Error> tooManyItemsError();

}  // namespace vorn::playlist
