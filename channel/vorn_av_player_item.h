#pragma once

#include <memory>

#include "platform/media.h"
#include "platform/url.h"
#include "programme/json.h"

namespace vorn {

// A queue entry that also carries the playlist data it was made from: the listed duration (the
// item's share of the programme cycle, never the media's own length) and the playlist entry.
class VornAVPlayerItem : public platform::PlayerItem {
 public:
  // The only way to make one: a new, unloaded asset for the address.
  static std::shared_ptr<VornAVPlayerItem> initWithURL(const platform::Url& url,
                                                       double listed_duration,
                                                       JsonPtr playlist_info);

  virtual double listed_duration() const { return listed_duration_; }
  virtual void setListed_duration(double value) { listed_duration_ = value; }
  virtual const JsonPtr& playlist_info() const { return playlist_info_; }
  virtual void setPlaylist_info(JsonPtr value) { playlist_info_ = std::move(value); }

  std::string description() const override { return describeAs("VornAVPlayerItem"); }

 protected:
  VornAVPlayerItem(std::shared_ptr<platform::Asset> asset, double listed_duration,
                   JsonPtr playlist_info)
      : PlayerItem(std::move(asset)),
        listed_duration_(listed_duration),
        playlist_info_(std::move(playlist_info)) {}

 private:
  double listed_duration_;
  JsonPtr playlist_info_;
};

}  // namespace vorn
