#include "channel/vorn_av_player_item.h"

namespace vorn {

std::shared_ptr<VornAVPlayerItem> VornAVPlayerItem::initWithURL(const platform::Url& url,
                                                                double listed_duration,
                                                                JsonPtr playlist_info) {
  // One allocation for the item and its count: a queue holds an item per play of every entry.
  struct Made : VornAVPlayerItem {
    Made(std::shared_ptr<platform::Asset> asset, double duration, JsonPtr info)
        : VornAVPlayerItem(std::move(asset), duration, std::move(info)) {}
  };
  return std::make_shared<Made>(platform::Asset::assetWithUrl(url), listed_duration,
                                std::move(playlist_info));
}

}  // namespace vorn
