#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <variant>

#include "platform/error.h"
#include "platform/url.h"
#include "programme/cycle.h"
#include "programme/json.h"

// Playlist bytes into a Json document: a fast parser, the reference parser it defers to, and the
// caps that refuse a body before its document is built.
namespace vorn::programme {

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

// A playlist document for the channel or the operator's commands: parseDocument's result, or
// tooManyItemsError() when the cycle (its usable entries resolved against `base`) would hold more
// than `maxItems` items. A first pass over the text counts the items and finds the reference
// parser's refusals without building anything, so a refused body costs a scan, not a document.
// A text of more than kMaxValues values (numbers, texts, arrays, objects...) is refused too: each
// costs about 60 bytes parsed, and no playlist within the item limit needs that many. The pass
// stops at the item or value past a limit: a text that is also malformed further on is refused as
// too large.
ParseResult parsePlaylist(std::string_view bytes, const platform::Url* base,
                          size_t maxItems = kMaxCycleItems);
inline constexpr size_t kMaxValues = 2'000'000;

// Whether `error` is tooManyItemsError(); whether it is that or the refusal of too many values.
bool isTooManyItems(const platform::Error& error);
bool isTooLarge(const platform::Error& error);

// The refusal of a document whose cycle holds more items than kMaxCycleItems, worded as a parse
// error: such a document is refused as a whole, as unreadable bytes are.
std::shared_ptr<platform::Error> tooManyItemsError();

}  // namespace vorn::programme
