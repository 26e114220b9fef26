#pragma once

#include "channel/json.h"

namespace vorn::playlist {

// The name the last good remote document is saved under in the state store.
inline constexpr const char* kSavedPlaylistName = "playlist.json";

// Whether two parsed documents are the same value: same types, numbers, texts, elements and
// members in the same order. A refresh that brings such a document changes nothing.
bool sameDocument(const Json& a, const Json& b);

}  // namespace vorn::playlist
