#pragma once

#include <cstdint>
#include <optional>

#include "platform/url_session.h"
#include "programme/json.h"

namespace vorn::playlist {

// The name the last good remote document is saved under in the state store, and the name of the
// validators (ETag, Last-Modified) of the answer that brought it.
inline constexpr const char* kSavedPlaylistName = "playlist.json";
inline constexpr const char* kSavedValidatorsName = "playlist.validators";

// Refreshes of a fleet are spread by up to this share of their delay either way.
inline constexpr double kRefreshJitter = 0.1;
// After a start on a fall-back copy the remote address is asked again after this, then after
// twice as long each time, up to the refresh interval.
inline constexpr double kFirstRemoteRetrySeconds = 10.0;

// The factor, within 1 ± kRefreshJitter, by which screen `screen` stretches the delay of its
// refresh number `refresh`; 1 for a screen with no identity.
double refreshJitter(std::optional<uint64_t> screen, uint64_t refresh);
// The delay before the next refresh, before the jitter: the interval, or while the remote address
// is retried after a fall-back (`backoffStep` 0, 1, ...) the retry's delay.
double refreshDelay(double interval, int backoffStep);

// Whether an answer is a success: a 2xx HTTP status, or a file read (status 0). Nothing answered
// is not one.
bool answeredWithSuccess(const platform::UrlResponse* response);

// Whether two parsed documents are the same value: same types, numbers, texts, elements and
// members in the same order. A refresh that brings such a document changes nothing.
bool sameDocument(const Json& a, const Json& b);

}  // namespace vorn::playlist
