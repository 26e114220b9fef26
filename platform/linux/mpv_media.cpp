#include "platform/linux/mpv_media.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

// A first frame this much behind the clock is sought again (while it is still under the cover).
constexpr double kPlacementTolerance = 0.02;
constexpr int kMaxPlacementSeeks = 2;
// The first frames after a start or an item change come as mpv settles its timing: not counted.
constexpr double kDriftSettleSeconds = 0.3;
constexpr double kDriftWindowSeconds = 0.5;
constexpr int kMinDriftSamples = 5;

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
  // An item being placed starts when the clock reaches its first frame, not before.
  if (drivesMpv() && !placing_ && !preRolling_) {
    service()->core().setFlag("pause", false);
    restartDrift();
    // Time spent paused is no stall.
    service()->restartStallClock();
  }
}

void MpvQueuePlayer::pause() {
  wantsPlay_ = false;
  rate_ = 0.0f;
  preRolling_ = false;
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
  placing_ = false;
  if (preRolling_) {
    preRolling_ = false;
    if (drivesMpv() && wantsPlay_) {
      service()->core().setFlag("pause", false);
    }
  }
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
  placing_ = false;
  preRolling_ = false;
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
    requestedFrom_ = seconds;
    placing_ = false;
    if (preRolling_) {
      preRolling_ = false;
      service()->core().setFlag("pause", !wantsPlay_);
    }
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
  // Each player starts at the normal speed; drift is its own to correct.
  applySpeed(1.0);
  if (adoptSpare(core)) {
    if (MpvMediaService* svc = service(); svc && svc->handoverSince_) {
      svc->handoverTaken_ = true;
    }
    return;
  }
  if (MpvMediaService* svc = service()) {
    svc->spare_.reset();
    svc->spareOnAir_ = false;
    svc->handoverSince_.reset();
  }
  std::optional<double> start = pendingStart_;
  const auto due = placing_ && current_ < items_.size() ? dueOfCurrent() : std::nullopt;
  if (due) {
    // Where the clock will stand once mpv shows the first frame; paused there until it does.
    const double now = MpvMediaService::clockNow();
    placedFrom_ = pendingStart_.value_or(0.0);
    placementAsked_ = now;
    placementSeeks_ = 0;
    double target = now - *due + service()->startupEstimate();
    if (const auto& end = items_[current_]->forwardPlaybackEndTime(); end.isNumeric()) {
      target = std::min(target, end.seconds() - 0.1);
    }
    start = target;
  } else {
    placing_ = false;
  }
  core.setFlag("pause", !wantsPlay_ || placing_);
  bool first = true;
  loadedWithStart_ = current_;
  loadStart_ = pendingStart_.value_or(0.0);
  for (size_t i = current_; i < items_.size(); ++i) {
    const auto& asset = items_[i]->asset();
    if (!asset) {
      continue;
    }
    MpvMap options;
    // No offset at all for the very start: mpv's start of 0 on a stream without B-frames lands
    // on the second keyframe, seconds in.
    if (first && start && *start > 0.0) {
      options.push_back({"start", formatSeconds(*start)});
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
    return;
  }
  appendSpare(core);
}

bool MpvQueuePlayer::adoptSpare(MpvCore& core) {
  MpvMediaService* svc = service();
  if (svc == nullptr || !svc->spareOnAir_ || !svc->spare_ || current_ >= items_.size() ||
      !items_[current_]->asset() || items_[current_]->asset()->url().text() != svc->spare_->url) {
    return false;
  }
  const auto due = dueOfCurrent();
  // Not started yet, or started but still opening (no playback time until its first frame is
  // decoded, a window that widens on a busy machine), it starts at its beginning.
  const double position = svc->playingEntry_ == svc->spare_->entryId
                              ? core.getDouble("playback-time").value_or(0.0)
                              : 0.0;
  // Only where the clock has this item near where mpv plays it; otherwise a load as any other.
  if (!due || std::abs(position - (MpvMediaService::clockNow() - *due)) > 1.0) {
    return false;
  }
  const int64_t entry = svc->spare_->entryId;
  const bool onAir = svc->playingEntry_ == entry;
  svc->spare_.reset();
  svc->spareOnAir_ = false;
  // The earlier queue's entries go; the one on air stays. Not on air yet, mpv is between the two
  // and would clear it too: then once it starts.
  if (onAir) {
    core.commandStrings({"playlist-clear"});
  } else {
    clearOnStart_ = true;
  }
  entryIds_[current_] = entry;
  startedEntry_ = true;
  restarted_ = true;
  shownFrame_ = true;
  placing_ = false;
  // Marks from the second the load sought on count with the next frame, as after a placement;
  // also when mpv restarts the entry once more (it may not have shown its first frame yet).
  crossFrom_ = std::min(pendingStart_.value_or(position), position);
  lastTime_ = *crossFrom_;
  pendingStart_.reset();
  core.setFlag("pause", !wantsPlay_);
  for (size_t i = current_ + 1; i < items_.size(); ++i) {
    const auto& asset = items_[i]->asset();
    if (!asset) {
      continue;
    }
    MpvMap options;
    if (const auto& end = items_[i]->forwardPlaybackEndTime(); end.isNumeric()) {
      options.push_back({"end", formatSeconds(std::max(0.0, end.seconds()))});
    }
    auto [error, result] = core.command({{"name", std::string("loadfile")},
                                         {"url", asset->url().text()},
                                         {"flags", std::string("append")},
                                         {"options", options}});
    if (error >= 0) {
      entryIds_[i] = result.integer("playlist_entry_id").value_or(-1);
    }
  }
  restartDrift();
  appendSpare(core);
  return true;
}

void MpvQueuePlayer::appendSpare(MpvCore& core) {
  MpvMediaService* svc = service();
  // Only a queue on the clock: its end is followed at once by the next on the clock.
  if (svc == nullptr || dueAt_.empty() || items_.empty() || cycleFirstUrl_.empty()) {
    return;
  }
  MpvMap options;
  if (cycleFirstEnd_) {
    options.push_back({"end", formatSeconds(*cycleFirstEnd_)});
  }
  const std::string url = cycleFirstUrl_;
  auto [error, result] = core.command({{"name", std::string("loadfile")},
                                       {"url", url},
                                       {"flags", std::string("append")},
                                       {"options", options}});
  if (error >= 0) {
    svc->spare_ = MpvMediaService::Spare{result.integer("playlist_entry_id").value_or(-1), url};
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
  if (*index > current_) {
    // mpv moved on by itself: the next item plays as it comes.
    placing_ = false;
    preRolling_ = false;
  }
  if (*index != current_ || !startedEntry_) {
    // Another stream: what was learnt of the last one's pace does not carry over.
    corrector_.reset();
    lastDrift_.reset();
    if (speed_ != 1.0) {
      applySpeed(1.0);
    }
  }
  if (clearOnStart_ && *index == current_) {
    clearOnStart_ = false;
    if (MpvMediaService* svc = service()) {
      svc->core().commandStrings({"playlist-clear"});
    }
  }
  current_ = std::max(current_, *index);
  startedEntry_ = true;
  restarted_ = false;
  shownFrame_ = false;
  requestedFrom_ = loadedWithStart_ == *index ? loadStart_ : 0.0;
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
  if (placing_ && position) {
    placeFirstFrame(*position);
    return;
  }
  // Only the first restart after a start or a seek of ours sets where crossings count from. A
  // later one (the demuxer skipped a hole, or the cache refilled) keeps counting from where
  // playback was, so the times skipped over count as crossed once frames flow again.
  if (!restarted_) {
    lastTime_ =
        std::min({position.value_or(0.0), requestedFrom_, crossFrom_.value_or(requestedFrom_)});
  }
  restarted_ = true;
  shownFrame_ = true;
  if (placing_) {
    // No position to place by: play as it comes rather than stay paused.
    placing_ = false;
    if (wantsPlay_ && drivesMpv()) {
      service()->core().setFlag("pause", false);
    }
  }
  restartDrift();
}

void MpvQueuePlayer::placeFirstFrame(double position) {
  MpvMediaService* svc = service();
  const auto due = dueOfCurrent();
  if (svc == nullptr || !due) {
    placing_ = false;
    restarted_ = true;
    shownFrame_ = true;
    lastTime_ = position;
    if (wantsPlay_ && drivesMpv()) {
      svc->core().setFlag("pause", false);
    }
    return;
  }
  const double now = MpvMediaService::clockNow();
  svc->learnStartup(now - placementAsked_, placementSeeks_ > 0);
  shownFrame_ = true;
  const double frameDue = *due + position;
  if (wantsPlay_ && now - frameDue > kPlacementTolerance && placementSeeks_ < kMaxPlacementSeeks) {
    // Came up late: the clock has moved on while mpv opened the stream. Still paused and under
    // the cover, an exact seek to where the clock will be by its next frame.
    ++placementSeeks_;
    placementAsked_ = now;
    svc->core().commandStrings(
        {"seek", formatSeconds(now - *due + svc->seekEstimate()), "absolute+exact"});
    return;
  }
  placing_ = false;
  restarted_ = true;
  // Marks between the whole second sought and this frame count as crossed with the next frame.
  lastTime_ = std::min(placedFrom_.value_or(position), position);
  placedFrom_.reset();
  if (!wantsPlay_) {
    return;
  }
  preRolling_ = true;
  svc->startAt(frameDue, weak_from_this(), ++preRoll_);
}

void MpvQueuePlayer::startOnTime() {
  if (!preRolling_) {
    return;
  }
  preRolling_ = false;
  if (wantsPlay_ && drivesMpv()) {
    service()->core().setFlag("pause", false);
    service()->restartStallClock();
    restartDrift();
  }
}

std::optional<double> MpvQueuePlayer::dueOfCurrent() const {
  if (current_ >= items_.size()) {
    return std::nullopt;
  }
  const auto found = dueAt_.find(items_[current_].get());
  if (found == dueAt_.end()) {
    return std::nullopt;
  }
  // playback-time names the frame mpv has handed to its output, which shows it a little later:
  // aimed that much ahead, the picture on the screen is the one on the clock.
  const MpvMediaService* svc = service();
  return found->second - (svc != nullptr ? svc->displayLead() : 0.0);
}

void MpvQueuePlayer::followClock(std::vector<ClockDue> dueAt) {
  dueAt_.clear();
  cycleFirstUrl_.clear();
  cycleFirstEnd_.reset();
  if (!dueAt.empty() && dueAt.front().item != nullptr && dueAt.front().item->asset()) {
    cycleFirstUrl_ = dueAt.front().item->asset()->url().text();
    if (const auto& end = dueAt.front().item->forwardPlaybackEndTime(); end.isNumeric()) {
      cycleFirstEnd_ = std::max(0.0, end.seconds());
    }
  }
  for (const ClockDue& due : dueAt) {
    dueAt_[due.item] = due.at;
  }
  // Not shown yet: the first frame goes on the clock. Shown: the times move (a pause ended), and
  // the speed follows them from here.
  if (!loaded_ && dueOfCurrent()) {
    placing_ = true;
  }
  restartDrift();
}

void MpvQueuePlayer::stopFollowingClock() {
  dueAt_.clear();
  placing_ = false;
  corrector_.reset();
  lastDrift_.reset();
  if (drivesMpv()) {
    applySpeed(1.0);
  }
}

void MpvQueuePlayer::restartDrift() {
  driftFrom_ = MpvMediaService::clockNow() + kDriftSettleSeconds;
  driftWindowStart_ = driftFrom_;
  driftSum_ = 0.0;
  driftSamples_ = 0;
}

void MpvQueuePlayer::measureDrift(double seconds) {
  const auto due = dueOfCurrent();
  if (!due || !wantsPlay_ || preRolling_ || !drivesMpv()) {
    return;
  }
  const double now = MpvMediaService::clockNow();
  if (now < driftFrom_) {
    return;
  }
  driftSum_ += seconds - (now - *due);
  ++driftSamples_;
  const double elapsed = now - driftWindowStart_;
  if (elapsed < kDriftWindowSeconds || driftSamples_ < kMinDriftSamples) {
    return;
  }
  const double drift = driftSum_ / driftSamples_;
  lastDrift_ = drift;
  driftSum_ = 0.0;
  driftSamples_ = 0;
  driftWindowStart_ = now;
  applySpeed(corrector_.update(drift, elapsed));
}

void MpvQueuePlayer::applySpeed(double speed) {
  MpvMediaService* svc = service();
  // 1.0 is always set: an earlier player may have left mpv at another speed.
  if (svc != nullptr && (speed != speed_ || speed == 1.0)) {
    // The sound keeps its pitch: mpv's audio-pitch-correction stretches it in time.
    svc->core().setString("speed", formatSeconds(speed));
  }
  speed_ = speed;
}

std::optional<double> MpvQueuePlayer::currentPosition() const {
  // Only the player on screen, once its current item has shown a frame, knows where it stands.
  if (!restarted_ || !drivesMpv() || current_ >= items_.size()) {
    return std::nullopt;
  }
  return lastTime_;
}

void MpvQueuePlayer::onPlaybackTime(double seconds) {
  // Paused on a placed first frame: nothing is crossed and no frame is new until it starts.
  if (!restarted_ || preRolling_) {
    return;
  }
  measureDrift(seconds);
  if (seconds != lastTime_) {
    if (MpvMediaService* svc = service()) {
      svc->noteFrame();
    }
  }
  if (seconds <= lastTime_) {
    lastTime_ = seconds;
    return;
  }
  crossFrom_.reset();
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
      stallTimer_(std::in_place, context),
      startTimer_(std::in_place, context) {}

MpvMediaService::~MpvMediaService() {
  stopTimers();
  guard_.release();
}

void MpvMediaService::stopTimers() {
  stallTimer_.reset();
  stallTimerArmed_ = false;
  startTimer_.reset();
}

double MpvMediaService::clockNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double MpvMediaService::displayLead() const {
  // Measured on the picture (software OpenGL under Xvfb, 25 fps streams): the frame mpv has taken
  // up shows about one frame period plus 25 ms later. Without a video output nothing is shown.
  return hasVideoOutput_ ? framePeriod_ + kPresentSeconds : 0.0;
}

void MpvMediaService::learnStartup(double seconds, bool bySeek) {
  if (!std::isfinite(seconds) || seconds < 0.0) {
    return;
  }
  // Erring long costs a little more time under the cover; erring short costs another seek.
  double& estimate = bySeek ? seekEstimate_ : startupEstimate_;
  const double wanted = std::clamp(seconds * 1.25 + 0.05, 0.1, 5.0);
  estimate = wanted > estimate ? wanted : 0.7 * estimate + 0.3 * wanted;
}

void MpvMediaService::startAt(double clockTime, std::weak_ptr<MpvQueuePlayer> player,
                              uint64_t preRoll) {
  if (!startTimer_) {
    return;
  }
  const double wait = std::clamp(clockTime - clockNow(), 0.0, 30.0);
  startTimer_->expires_after(
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(wait)));
  startTimer_->async_wait([player = std::move(player), preRoll](const std::error_code& error) {
    if (error) {
      return;
    }
    // A later wait (or none) has replaced this one: cancel() does not stop a handler already due.
    if (const auto self = player.lock(); self && self->preRoll_ == preRoll) {
      self->startOnTime();
    }
  });
}

bool MpvMediaService::playsOnIntoSpare(const MpvQueuePlayer& player) const {
  // Its last item has ended, or mpv has moved on into the spare already: either way mpv plays the
  // spare now or next.
  return spare_ && (playingEntry_ == spare_->entryId ||
                    (!player.items_.empty() && player.current_ >= player.items_.size()));
}

std::shared_ptr<QueuePlayer> MpvMediaService::makeQueuePlayer(
    std::vector<std::shared_ptr<PlayerItem>> items) {
  // The player it replaces may still be held (by its own end report, say): its spare is handed
  // on here, as when it is dropped.
  if (const auto previous = active_.lock();
      previous && previous.get() == activePlayer_ && mpvHasQueue_ && playsOnIntoSpare(*previous)) {
    spareOnAir_ = true;
    handoverSince_ = Clock::now();
    handoverTaken_ = false;
  }
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
    // (the logic drops a player from inside its end or failure report), is never heard. The
    // entry after a queue's end plays on until the commit: the next player may take it over.
    activePlayer_ = nullptr;
    if (mpvHasQueue_ && playsOnIntoSpare(*player)) {
      spareOnAir_ = true;
      handoverSince_ = Clock::now();
      handoverTaken_ = false;
    } else if (mpvHasQueue_) {
      core_.commandStrings({"stop"});
      mpvHasQueue_ = false;
      spare_.reset();
      handoverSince_.reset();
    }
  }
  scheduleCommit();
}

bool MpvMediaService::handsOverPicture() const {
  return handoverSince_ && Clock::now() - *handoverSince_ < kHandoverHold;
}

void MpvMediaService::pictureHandedOver() {
  // Before the next player has taken the picture, the drawing may still be the earlier one's.
  if (handoverTaken_) {
    handoverSince_.reset();
    handoverTaken_ = false;
  }
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
    spare_.reset();
    spareOnAir_ = false;
    handoverSince_.reset();
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
  if (event.event_id == MPV_EVENT_START_FILE) {
    playingEntry_ = static_cast<const mpv_event_start_file*>(event.data)->playlist_entry_id;
  } else if (event.event_id == MPV_EVENT_END_FILE &&
             static_cast<const mpv_event_end_file*>(event.data)->playlist_entry_id ==
                 playingEntry_) {
    playingEntry_ = -1;
  }
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
      if (hasVideoOutput_) {
        if (const auto fps = core_.getDouble("container-fps");
            fps && *fps >= 10.0 && *fps <= 120.0) {
          framePeriod_ = 1.0 / *fps;
        }
      }
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
