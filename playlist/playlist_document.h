#pragma once

#include "platform/url_session.h"

namespace vorn::playlist {

// Whether an answer is a success: a 2xx HTTP status, or a file read (status 0). Nothing answered
// is not one.
bool answeredWithSuccess(const platform::UrlResponse* response);

}  // namespace vorn::playlist
