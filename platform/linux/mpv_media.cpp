#include "platform/linux/mpv_media.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>

namespace vorn::linuxbackend {

using platform::MediaTime;
using platform::PlayerItem;
using platform::QueuePlayer;
using platform::TimeObserverToken;

namespace {

// By the first frame of an item mpv has closed the previous item's stream, demuxer and decoders,
// whose threads freed their memory into the allocator's arenas; the whole free pages go back to the
// system instead of staying there for good. A few milliseconds, once per item.
void releaseFreedMemory() {
#ifdef __GLIBC__
  malloc_trim(0);
#endif
}

std::string formatSeconds(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", seconds);
  return text;
}

}  // namespace

// MpvQueuePlayer

MpvQueuePlayer::MpvQueuePlayer(MpvServiceLink link, platform::MainQueue& mainQueue,
                               platform::NotificationCenter& center,
                               std::vector<std::shared_ptr<PlayerItem>> items)
    : link_(std::move(link)),
      mainQueue_(mainQueue),
      center_(center),
      items_(std::move(items)),
      entryIds_(items_.size(), -1) {}

MpvQueuePlayer::~MpvQueuePlayer() {
  if (MpvMediaService* svc = service()) {
    svc->retireObservers(observers_.takeAll());
    svc->playerDropped(this);
  }
}

MpvMediaService* MpvQueuePlayer::service() const {
  return link_.get();
}

bool MpvQueuePlayer::drivesMpv() const {
  MpvMediaService* svc = service();
  return loaded_ && svc != nullptr && svc->isActive(this);
}

void MpvQueuePlayer::play() {
  wantsPlay_ = true;
  rate_ = 1.0f;
  if (drivesMpv()) {
    service()->core().setFlag("pause", false);
    // Time spent paused is no stall.
    service()->restartStallClock();
  }
}

void MpvQueuePlayer::pause() {
  wantsPlay_ = false;
  rate_ = 0.0f;
  if (drivesMpv()) {
    service()->core().setFlag("pause", true);
  }
}

std::shared_ptr<PlayerItem> MpvQueuePlayer::currentItem() const {
  return current_ < items_.size() ? items_[current_] : nullptr;
}

std::vector<std::shared_ptr<PlayerItem>> MpvQueuePlayer::items() const {
  if (current_ >= items_.size()) {
    return {};
  }
  return {items_.begin() + static_cast<std::ptrdiff_t>(current_), items_.end()};
}

void MpvQueuePlayer::advanceToNextItem() {
  if (current_ >= items_.size()) {
    return;
  }
  ++current_;
  restarted_ = false;
  shownFrame_ = false;
  if (drivesMpv()) {
    // "force" also leaves the last entry (mpv then goes idle) instead of failing.
    service()->core().commandStrings({"playlist-next", "force"});
    service()->restartStallClock();
  } else {
    // Not loaded yet: the commit loads from the new current item; its start offset goes with
    // the dropped one.
    pendingStart_.reset();
  }
}

void MpvQueuePlayer::removeAllItems() {
  const bool driving = drivesMpv();
  items_.clear();
  entryIds_.clear();
  current_ = 0;
  pendingStart_.reset();
  restarted_ = false;
  shownFrame_ = false;
  if (driving) {
    // Events of the stopped entries find no item any more and are dropped.
    service()->core().commandStrings({"stop"});
  }
}

void MpvQueuePlayer::seekToTime(const MediaTime& time) {
  if (!time.isNumeric()) {
    return;
  }
  const double seconds = std::max(0.0, time.seconds());
  if (!loaded_) {
    pendingStart_ = seconds;
    return;
  }
  if (drivesMpv()) {
    restarted_ = false;
    service()->restartStallClock();
    if (seconds > 0.0) {
      service()->core().commandStrings({"seek", formatSeconds(seconds), "absolute+exact"});
    } else {
      // Any seek to 0 on a stream without B-frames lands on the second keyframe (as a start
      // offset of 0 does); restarting the entry plays it from its first frame.
      service()->core().commandStrings({"playlist-play-index", "current"});
    }
  }
}

std::shared_ptr<TimeObserverToken> MpvQueuePlayer::addBoundaryTimeObserver(
    const std::vector<MediaTime>& times, std::function<void()> block) {
  return observers_.add(times, std::move(block));
}

void MpvQueuePlayer::removeTimeObserver(const std::shared_ptr<TimeObserverToken>& token) {
  // The block (and what it holds) is released once the list is consistent again.
  const auto released = observers_.remove(token);
}

void MpvQueuePlayer::load(MpvCore& core) {
  loaded_ = true;
  core.setFlag("pause", !wantsPlay_);
  bool first = true;
  for (size_t i = current_; i < items_.size(); ++i) {
    const auto& asset = items_[i]->asset();
    if (!asset) {
      continue;
    }
    MpvMap options;
    // No offset at all for the very start: mpv's start of 0 on a stream without B-frames lands
    // on the second keyframe, seconds in.
    if (first && pendingStart_ && *pendingStart_ > 0.0) {
      options.push_back({"start", formatSeconds(*pendingStart_)});
    }
    // mpv ends the entry there as at the media's end (an end-of-file, the next entry follows),
    // exactly and without a timer of ours.
    if (const auto& end = items_[i]->forwardPlaybackEndTime(); end.isNumeric()) {
      options.push_back({"end", formatSeconds(std::max(0.0, end.seconds()))});
    }
    MpvMap command{{"name", std::string("loadfile")},
                   {"url", asset->url().text()},
                   {"flags", std::string(first ? "replace" : "append")},
                   {"options", options}};
    auto [error, result] = core.command(command);
    if (error >= 0) {
      entryIds_[i] = result.integer("playlist_entry_id").value_or(-1);
      first = false;
    }
  }
  pendingStart_.reset();
  if (first) {
    // Nothing could be queued: make sure an earlier queue does not keep playing.
    core.commandStrings({"stop"});
  }
}

std::optional<size_t> MpvQueuePlayer::indexOfEntry(int64_t entryId) const {
  if (entryId < 0) {
    return std::nullopt;
  }
  const auto found = std::find(entryIds_.begin(), entryIds_.end(), entryId);
  if (found == entryIds_.end()) {
    return std::nullopt;
  }
  return static_cast<size_t>(found - entryIds_.begin());
}

bool MpvQueuePlayer::onStartFile(int64_t entryId) {
  const auto index = indexOfEntry(entryId);
  if (!index) {
    return false;
  }
  current_ = std::max(current_, *index);
  startedEntry_ = true;
  restarted_ = false;
  shownFrame_ = false;
  return true;
}

void MpvQueuePlayer::onEndFile(int64_t entryId, mpv_end_file_reason reason) {
  const auto index = indexOfEntry(entryId);
  if (!index) {
    return;
  }
  if (reason == MPV_END_FILE_REASON_EOF || reason == MPV_END_FILE_REASON_ERROR) {
    // Delivered in a later turn so that observers never run inside the event drain; a player
    // that has been dropped or replaced by then stays silent.
    std::weak_ptr<MpvQueuePlayer> weakSelf = weak_from_this();
    std::shared_ptr<PlayerItem> item = items_[*index];
    const char* name = reason == MPV_END_FILE_REASON_EOF
                           ? platform::kPlayerItemDidPlayToEndTimeNotification
                           : platform::kPlayerItemFailedToPlayToEndTimeNotification;
    mainQueue_.post([weakSelf, item, name]() {
      const auto self = weakSelf.lock();
      if (!self || !self->drivesMpv()) {
        return;
      }
      self->center_.post({name, item});
    });
  }
  // An item that ended by itself (or failed) hands over to the next; a stop (advance, replace)
  // has already moved the queue on.
  if (reason == MPV_END_FILE_REASON_EOF || reason == MPV_END_FILE_REASON_ERROR) {
    if (*index >= current_) {
      current_ = *index + 1;
      restarted_ = false;
      shownFrame_ = false;
    }
  }
}

void MpvQueuePlayer::onPlaybackRestart(std::optional<double> position) {
  if (!startedEntry_) {
    return;
  }
  restarted_ = true;
  shownFrame_ = true;
  lastTime_ = position.value_or(0.0);
}

std::optional<double> MpvQueuePlayer::currentPosition() const {
  // Only the player on screen, once its current item has shown a frame, knows where it stands.
  if (!restarted_ || !drivesMpv() || current_ >= items_.size()) {
    return std::nullopt;
  }
  return lastTime_;
}

void MpvQueuePlayer::onPlaybackTime(double seconds) {
  if (!restarted_) {
    return;
  }
  if (seconds != lastTime_) {
    if (MpvMediaService* svc = service()) {
      svc->noteFrame();
    }
  }
  if (seconds <= lastTime_) {
    lastTime_ = seconds;
    return;
  }
  const double from = lastTime_;
  lastTime_ = seconds;
  std::weak_ptr<MpvQueuePlayer> weakSelf = weak_from_this();
  for (auto& crossing : observers_.crossings(from, seconds)) {
    mainQueue_.post([weakSelf, crossing = std::move(crossing)]() {
      const auto self = weakSelf.lock();
      if (!self || !self->drivesMpv()) {
        return;
      }
      // Removed in the meantime: the block must not run any more.
      if (const auto block = self->observers_.blockOf(crossing); block && *block) {
        (*block)();
      }
    });
  }
}

// MpvPlayerLayer

MpvPlayerLayer::MpvPlayerLayer(MpvServiceLink link, std::shared_ptr<QueuePlayer> player)
    : link_(std::move(link)), player_(std::move(player)) {}

void MpvPlayerLayer::setPlayer(std::shared_ptr<QueuePlayer> player) {
  player_ = std::move(player);
  if (MpvMediaService* service = link_.get()) {
    service->scheduleCommit();
  }
}

bool MpvPlayerLayer::isReadyForDisplay() const {
  const MpvMediaService* service = link_.get();
  const auto* player = dynamic_cast<const MpvQueuePlayer*>(player_.get());
  return service && player && service->isActive(player) && player->hasShownFrame();
}

// MpvMediaService

MpvMediaService::MpvMediaService(MpvCore& core, platform::MainQueue& mainQueue,
                                 asio::io_context& context, platform::NotificationCenter& center,
                                 bool hasVideoOutput)
    : core_(core),
      mainQueue_(mainQueue),
      center_(center),
      hasVideoOutput_(hasVideoOutput),
      stallTimer_(std::in_place, context) {}

MpvMediaService::~MpvMediaService() {
  stopTimers();
  guard_.release();
}

void MpvMediaService::stopTimers() {
  stallTimer_.reset();
  stallTimerArmed_ = false;
}

std::shared_ptr<QueuePlayer> MpvMediaService::makeQueuePlayer(
    std::vector<std::shared_ptr<PlayerItem>> items) {
  auto player =
      std::make_shared<MpvQueuePlayer>(guard_.weak(), mainQueue_, center_, std::move(items));
  active_ = player;
  activePlayer_ = player.get();
  scheduleCommit();
  return player;
}

std::shared_ptr<platform::PlayerLayer> MpvMediaService::makePlayerLayer(
    std::shared_ptr<QueuePlayer> player) {
  auto layer = std::make_shared<MpvPlayerLayer>(guard_.weak(), std::move(player));
  std::erase_if(layers_, [](const auto& weak) { return weak.expired(); });
  layers_.push_back(layer);
  scheduleCommit();
  return layer;
}

bool MpvMediaService::isActive(const MpvQueuePlayer* player) const {
  const auto active = active_.lock();
  return active && active.get() == player;
}

void MpvMediaService::scheduleCommit() {
  if (commitPending_) {
    return;
  }
  commitPending_ = true;
  mainQueue_.post([link = guard_.weak()]() {
    if (MpvMediaService* service = link.get()) {
      service->commit();
    }
  });
}

void MpvMediaService::retireObservers(std::vector<common::BoundaryObservers::Block> blocks) {
  if (blocks.empty()) {
    return;
  }
  retiredBlocks_.push_back(std::move(blocks));
  if (retiredBlocks_.size() > kRetiredPlayers) {
    // Released in a later turn: what a block holds may drop more players as it goes.
    mainQueue_.post([old = std::move(retiredBlocks_.front())]() {});
    retiredBlocks_.pop_front();
  }
}

void MpvMediaService::playerDropped(const MpvQueuePlayer* player) {
  if (player == activePlayer_) {
    // Stopped now rather than after the turn: the next entry, which mpv may already have opened
    // (the logic drops a player from inside its end or failure report), is never heard.
    activePlayer_ = nullptr;
    if (mpvHasQueue_) {
      core_.commandStrings({"stop"});
      mpvHasQueue_ = false;
    }
  }
  scheduleCommit();
}

void MpvMediaService::restartStallClock() {
  lastFrame_ = Clock::now();
  stallReported_ = false;
  armStallTimer(lastFrame_ +
                std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(platform::kPlaybackStallTimeoutSeconds)));
}

void MpvMediaService::noteFrame() {
  lastFrame_ = Clock::now();
  if (stallReported_) {
    // Frames flow again: the next stall is a new one.
    restartStallClock();
  }
}

void MpvMediaService::armStallTimer(Clock::time_point at) {
  if (stallTimerArmed_ || !stallTimer_) {
    // The armed check comes no later than this one would; it re-arms from the last frame.
    return;
  }
  stallTimerArmed_ = true;
  stallTimer_->expires_at(at);
  stallTimer_->async_wait([link = guard_.weak()](const std::error_code& error) {
    if (error) {
      return;
    }
    if (MpvMediaService* service = link.get()) {
      service->stallTimerArmed_ = false;
      service->checkStall();
    }
  });
}

void MpvMediaService::checkStall() {
  const auto active = active_.lock();
  if (!active || !active->expectsFrames() || stallReported_) {
    // Nothing to watch (or already reported): the next play, item or frame arms the check.
    return;
  }
  // Opening a stream (its playlist and first segments, over a slow link perhaps) may take longer
  // than the pause between two frames may.
  const double limit = active->hasShownFrame()
                           ? platform::kPlaybackStallTimeoutSeconds
                           : kOpeningStallFactor * platform::kPlaybackStallTimeoutSeconds;
  const auto due = lastFrame_ + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(limit));
  if (Clock::now() < due) {
    armStallTimer(due);
    return;
  }
  stallReported_ = true;
  // The logic may drop the player from inside the notification; `active` keeps it until then.
  center_.post({platform::kPlayerItemPlaybackStalledNotification, active->currentItem()});
}

void MpvMediaService::commit() {
  commitPending_ = false;
  const auto active = active_.lock();
  if (!active) {
    if (mpvHasQueue_) {
      core_.commandStrings({"stop"});
      mpvHasQueue_ = false;
    }
  } else if (!active->loaded_) {
    active->load(core_);
    mpvHasQueue_ = true;
    restartStallClock();
  }
  // The picture shows while some layer in use holds the player that drives mpv.
  std::erase_if(layers_, [](const auto& weak) { return weak.expired(); });
  bool attached = false;
  for (const auto& weak : layers_) {
    const auto layer = weak.lock();
    if (layer && active && layer->player().get() == active.get()) {
      attached = true;
    }
  }
  if (hasVideoOutput_ && active && videoEnabled_ != attached) {
    core_.setString("vid", attached ? "auto" : "no");
    videoEnabled_ = attached;
  }
}

void MpvMediaService::handleEvent(const mpv_event& event) {
  const auto active = active_.lock();
  if (!active) {
    return;
  }
  switch (event.event_id) {
    case MPV_EVENT_START_FILE: {
      const auto* start = static_cast<const mpv_event_start_file*>(event.data);
      if (active->onStartFile(start->playlist_entry_id)) {
        restartStallClock();
      }
      trimPending_ = true;
      break;
    }
    case MPV_EVENT_END_FILE: {
      const auto* end = static_cast<const mpv_event_end_file*>(event.data);
      active->onEndFile(end->playlist_entry_id, end->reason);
      break;
    }
    case MPV_EVENT_PLAYBACK_RESTART:
      if (active->loaded_) {
        active->onPlaybackRestart(core_.getDouble("playback-time"));
        if (trimPending_) {
          trimPending_ = false;
          mainQueue_.post([] { releaseFreedMemory(); });
        }
      }
      break;
    default:
      break;
  }
}

void MpvMediaService::handlePlaybackTime(double seconds) {
  if (const auto active = active_.lock()) {
    active->onPlaybackTime(seconds);
  }
}

}  // namespace vorn::linuxbackend
