#include "channel/vorn_av_player_item.h"

namespace vorn {

std::shared_ptr<VornAVPlayerItem> VornAVPlayerItem::initWithURL(const platform::Url& url,
                                                                double listed_duration,
                                                                JsonPtr playlist_info) {
  return std::shared_ptr<VornAVPlayerItem>(new VornAVPlayerItem(
      platform::Asset::assetWithUrl(url), listed_duration, std::move(playlist_info)));
}

}  // namespace vorn
