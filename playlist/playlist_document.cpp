#include "playlist/playlist_document.h"

namespace vorn::playlist {

bool answeredWithSuccess(const platform::UrlResponse* response) {
  // Status 0 is a file read, which has no status.
  return response && (response->statusCode() == 0 ||
                      (response->statusCode() >= 200 && response->statusCode() <= 299));
}

}  // namespace vorn::playlist
