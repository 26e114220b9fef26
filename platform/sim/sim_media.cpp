#include "platform/sim/sim_media.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/notification_center.h"
#include "platform/platform.h"

namespace vorn::sim {

// --- Player -------------------------------------------------------------------------------------

SimQueuePlayer::SimQueuePlayer(SimMediaService& service, uint64_t id,
                               std::vector<std::shared_ptr<platform::PlayerItem>> items)
    : service_(&service), id_(id), items_(std::move(items)) {
  positionTime_ = now();
  flowStart_ = positionTime_ + service.startupLatency();
}

SimQueuePlayer::~SimQueuePlayer() {
  if (service_) {
    service_->forget(*this);
  }
}

double SimQueuePlayer::now() const {
  return service_ ? service_->scheduler_.now() : positionTime_;
}

std::shared_ptr<platform::PlayerItem> SimQueuePlayer::currentItem() const {
  return items_.empty() ? nullptr : items_.front();
}

StreamBehaviour SimQueuePlayer::currentStream() const {
  if (items_.empty() || !service_) {
    return {};
  }
  return service_->stream(items_.front()->asset()->url().text());
}

double SimQueuePlayer::currentEnd() const {
  const double length = currentStream().length;
  if (items_.empty()) {
    return length;
  }
  const auto& end = items_.front()->forwardPlaybackEndTime();
  if (end.isNumeric() && end.seconds() >= 0.0) {
    return std::min(length, end.seconds());
  }
  return length;
}

void SimQueuePlayer::applyStall() {
  stallReportAt_.reset();
  if (items_.empty() || !service_ || rate_.load() == 0.0f) {
    return;
  }
  const double until = service_->stalledUntil(items_.front()->asset()->url().text());
  if (until <= flowStart_) {
    return;
  }
  // Nothing flows until the stream delivers again; a wait past the timeout is reported.
  if (until - flowStart_ > platform::kPlaybackStallTimeoutSeconds) {
    stallReportAt_ = flowStart_ + platform::kPlaybackStallTimeoutSeconds;
  }
  flowStart_ = until;
}

double SimQueuePlayer::flowOrigin() const {
  return std::max(positionTime_, flowStart_);
}

double SimQueuePlayer::pace() const {
  return currentStream().pace * speed_;
}

double SimQueuePlayer::positionAt(double time) const {
  return position_ + std::max(0.0, time - flowOrigin()) * pace();
}

double SimQueuePlayer::timeToReach(double position) const {
  return flowOrigin() + std::max(0.0, position - position_) / pace();
}

double SimQueuePlayer::currentTime() const {
  if (items_.empty()) {
    return 0.0;
  }
  const StreamBehaviour stream = currentStream();
  if (rate_.load() == 0.0f || stream.broken) {
    return position_;
  }
  return std::min(currentEnd(), positionAt(now()));
}

bool SimQueuePlayer::hasPictureOfCurrentItem() const {
  if (pictureShown_) {
    return true;
  }
  return !items_.empty() && rate_.load() != 0.0f && !currentStream().broken && now() >= flowStart_;
}

size_t SimQueuePlayer::boundaryObserverCount() const {
  return service_ ? service_->observersOf(id_).size() : 0;
}

void SimQueuePlayer::sync() {
  if (items_.empty() || rate_.load() == 0.0f || currentStream().broken) {
    positionTime_ = now();
    return;
  }
  if (now() >= flowStart_) {
    pictureShown_ = true;
  }
  moveTo(currentTime());
}

void SimQueuePlayer::moveTo(double position) {
  double from = position_;
  if (placedFrom_ && now() >= flowOrigin()) {
    // The first frame of an item placed on the clock: what lies between the last seek and the
    // placement counts as played.
    from = std::min(*placedFrom_, position_);
    placedFrom_.reset();
  }
  auto crossed = service_->observersOf(id_).crossings(from, position);
  position_ = position;
  positionTime_ = now();
  for (auto& crossing : crossed) {
    service_->postCrossing(id_, std::move(crossing));
  }
}

void SimQueuePlayer::restartFlow() {
  flowStart_ = now() + service_->startupLatency();
  applyStall();
}

void SimQueuePlayer::traceCurrent() {
  auto item = currentItem();
  service_->trace_.line(
      "current item: " +
      (item ? item->asset()->url().text() + " at " + formatSeconds(position_) : "none"));
}

void SimQueuePlayer::traceRate() {
  service_->trace_.line(rate_.load() == 0.0f ? "rate: 0.0" : "rate: 1.0");
}

void SimQueuePlayer::play() {
  ++playCalls_;
  sync();
  if (rate_.load() == 0.0f) {
    rate_.store(1.0f);
    restartFlow();
    traceRate();
    armDriftCheck();
  }
  reschedule();
}

void SimQueuePlayer::removeAllItems() {
  sync();
  const bool hadItems = !items_.empty();
  items_.clear();
  position_ = 0.0;
  positionTime_ = now();
  pictureShown_ = false;
  placedFrom_.reset();
  driftCheckAt_.reset();
  stallReportAt_.reset();
  if (hadItems) {
    traceCurrent();
  }
  reschedule();
}

void SimQueuePlayer::pause() {
  ++pauseCalls_;
  sync();
  if (rate_.load() != 0.0f) {
    rate_.store(0.0f);
    traceRate();
  }
  stallReportAt_.reset();
  reschedule();
}

void SimQueuePlayer::dropCurrent() {
  items_.erase(items_.begin());
  position_ = 0.0;
  positionTime_ = now();
  pictureShown_ = false;
  placedFrom_.reset();
  // What was learnt of the last item's pace is no guide to the next stream's.
  speed_ = 1.0;
  corrector_.reset();
  restartFlow();
  traceCurrent();
  armDriftCheck();
}

void SimQueuePlayer::advanceToNextItem() {
  sync();
  if (!items_.empty()) {
    dropCurrent();
  }
  reschedule();
}

void SimQueuePlayer::seekToTime(const platform::MediaTime& time) {
  sync();
  lastSeek_ = time;
  if (items_.empty()) {
    return;
  }
  const double length = currentEnd();
  double target = 0.0;
  switch (time.kind()) {
    case platform::MediaTime::Kind::numeric:
      target = std::clamp(time.seconds(), 0.0, length);
      break;
    case platform::MediaTime::Kind::positiveInfinity:
      target = length;
      break;
    case platform::MediaTime::Kind::negativeInfinity:
      target = 0.0;
      break;
    case platform::MediaTime::Kind::invalid:
      reschedule();
      return;
  }
  position_ = target;
  positionTime_ = now();
  placedFrom_.reset();
  restartFlow();
  service_->trace_.line("seek: " + items_.front()->asset()->url().text() + " to " +
                        formatSeconds(target));
  armDriftCheck();
  reschedule();
}

std::shared_ptr<platform::TimeObserverToken> SimQueuePlayer::addBoundaryTimeObserver(
    const std::vector<platform::MediaTime>& times, std::function<void()> block) {
  // Crossings before the registration are not this observer's.
  sync();
  auto token = service_->observersOf(id_).add(times, std::move(block));
  reschedule();
  return token;
}

void SimQueuePlayer::removeTimeObserver(const std::shared_ptr<platform::TimeObserverToken>& token) {
  // The block (and what it holds) is released after the player is consistent again.
  const auto released = service_->observersOf(id_).remove(token);
  reschedule();
}

std::optional<double> SimQueuePlayer::nextEventTime() const {
  if (items_.empty() || rate_.load() == 0.0f || !service_) {
    return std::nullopt;
  }
  const StreamBehaviour stream = currentStream();
  if (stream.broken) {
    return flowOrigin();
  }
  const double end = currentEnd();
  const auto boundary = service_->observersOf(id_).nextAfter(position_, end);
  double next = timeToReach(boundary ? *boundary : end);
  if (stream.stallAt && position_ < *stream.stallAt && *stream.stallAt < end) {
    next = std::min(next, timeToReach(*stream.stallAt));
  }
  if (stallReportAt_) {
    next = std::min(next, *stallReportAt_);
  }
  if (placedFrom_) {
    next = std::min(next, flowOrigin());
  }
  if (driftCheckAt_ && std::isfinite(flowOrigin())) {
    next = std::min(next, std::max(*driftCheckAt_, flowOrigin()));
  }
  // A stream stalled for good has nothing more to say.
  if (!std::isfinite(next)) {
    return std::nullopt;
  }
  return next;
}

void SimQueuePlayer::reschedule() {
  if (!service_) {
    return;
  }
  const auto next = nextEventTime();
  if (entry_ && next == entryDue_) {
    return;
  }
  if (entry_) {
    service_->scheduler_.cancel(*entry_);
    entry_.reset();
    entryDue_.reset();
  }
  if (!next) {
    return;
  }
  Scheduler::Work work;
  work.kind = "media";
  work.run = [weak = weak_from_this()] {
    if (auto player = weak.lock()) {
      player->entry_.reset();
      player->entryDue_.reset();
      player->runDueEvent();
      player->reschedule();
    }
  };
  // Players' events at one instant run in the order the players were made.
  entry_ = service_->scheduler_.schedule(*next, std::move(work), Scheduler::Lane::media, id_);
  entryDue_ = next;
}

void SimQueuePlayer::runDueEvent() {
  // The logic may drop this player from inside a notification it posts.
  auto self = shared_from_this();
  if (items_.empty() || rate_.load() == 0.0f) {
    return;
  }
  const double t = now();
  if (stallReportAt_ && *stallReportAt_ <= t) {
    stallReportAt_.reset();
    service_->trace_.line("item stalled: " + items_.front()->asset()->url().text());
    // The item stays current: the stream may deliver again.
    service_->postItemNotification(platform::kPlayerItemPlaybackStalledNotification,
                                   items_.front());
    return;
  }
  if (flowOrigin() > t) {
    return;
  }
  if (driftCheckAt_ && *driftCheckAt_ <= t) {
    checkDrift();
    return;
  }
  const StreamBehaviour stream = currentStream();
  if (stream.broken) {
    // A stream that cannot play is skipped, as a queue player skips an item that fails.
    service_->trace_.line("item failed: " + items_.front()->asset()->url().text());
    finishCurrent(platform::kPlayerItemFailedToPlayToEndTimeNotification);
    return;
  }
  pictureShown_ = true;
  if (placedFrom_) {
    moveTo(positionAt(t));
    return;
  }
  const double end = currentEnd();
  // The due event is the first boundary, stall or end that the position reaches by now; moving
  // exactly onto it keeps the crossing test free of rounding.
  const bool stallAhead = stream.stallAt && position_ < *stream.stallAt && *stream.stallAt < end;
  const double limit = stallAhead ? *stream.stallAt : end;
  const auto boundary = service_->observersOf(id_).nextAfter(position_, limit);
  if (boundary && *boundary < limit && timeToReach(*boundary) <= t) {
    moveTo(*boundary);
    return;
  }
  if (timeToReach(limit) > t) {
    return;
  }
  moveTo(limit);
  if (stallAhead) {
    service_->beginStall(items_.front()->asset()->url().text(), t + stream.stallFor);
    return;
  }
  finishCurrent(platform::kPlayerItemDidPlayToEndTimeNotification);
}

void SimQueuePlayer::finishCurrent(const char* name) {
  auto item = items_.front();
  if (service_->movesOnFirst_) {
    dropCurrent();
    service_->postItemNotification(name, std::move(item));
    return;
  }
  service_->postItemNotification(name, item);
  // An observer may have moved the queue on already.
  if (!items_.empty() && items_.front() == item) {
    dropCurrent();
  }
}

std::optional<double> SimQueuePlayer::dueOfCurrent() const {
  if (items_.empty()) {
    return std::nullopt;
  }
  const auto found = dueAt_.find(items_.front().get());
  return found == dueAt_.end() ? std::nullopt : std::optional(found->second);
}

std::optional<double> SimQueuePlayer::drift() const {
  const auto due = dueOfCurrent();
  if (!due) {
    return std::nullopt;
  }
  return currentTime() - (now() - *due);
}

void SimQueuePlayer::followClock(std::vector<ClockDue> dueAt) {
  if (!service_) {
    return;
  }
  sync();
  dueAt_.clear();
  for (const ClockDue& due : dueAt) {
    dueAt_[due.item] = due.at;
  }
  const auto due = dueOfCurrent();
  if (due && !hasPictureOfCurrentItem() && !currentStream().broken) {
    // Where the clock will stand when the first frame flows: exactly there, not at the whole
    // second sought before.
    const double firstFrame = std::max(now() + service_->startupLatency(), flowStart_);
    const double target = std::clamp(firstFrame - *due, 0.0, currentEnd());
    if (formatSeconds(target) != formatSeconds(position_)) {
      service_->trace_.line("seek: " + items_.front()->asset()->url().text() + " to " +
                            formatSeconds(target));
    }
    placedFrom_ = position_;
    position_ = target;
    positionTime_ = now();
  }
  armDriftCheck();
  reschedule();
}

void SimQueuePlayer::stopFollowingClock() {
  if (!service_) {
    return;
  }
  sync();
  dueAt_.clear();
  driftCheckAt_.reset();
  speed_ = 1.0;
  corrector_.reset();
  reschedule();
}

void SimQueuePlayer::armDriftCheck() {
  if (!dueOfCurrent() || rate_.load() == 0.0f) {
    driftCheckAt_.reset();
    return;
  }
  lastDriftCheck_ = std::max(now(), flowStart_);
  driftCheckAt_ = lastDriftCheck_ + kDriftCheckSeconds;
}

void SimQueuePlayer::checkDrift() {
  driftCheckAt_.reset();
  const auto due = dueOfCurrent();
  if (!due || items_.empty() || rate_.load() == 0.0f) {
    return;
  }
  sync();
  const double t = now();
  const double drift = position_ - (t - *due);
  const double elapsed = t - lastDriftCheck_;
  lastDriftCheck_ = t;
  const double speed = corrector_.update(drift, elapsed);
  if (speed != speed_) {
    // The position is brought up to now above: the new speed applies from here on.
    speed_ = speed;
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f", drift);
    service_->trace_.line("drift: " + items_.front()->asset()->url().text() + " " + text);
  }
  // A stream at its own pace, on the clock and at speed 1.0 stays there: nothing to watch.
  if (std::abs(drift) >= common::DriftCorrector::kDeadBand || speed_ != 1.0 ||
      currentStream().pace != 1.0) {
    driftCheckAt_ = t + kDriftCheckSeconds;
  }
}

bool SimPlayerLayer::isReadyForDisplay() const {
  auto player = std::dynamic_pointer_cast<SimQueuePlayer>(player_);
  return player && player->hasPictureOfCurrentItem();
}

// --- Service ------------------------------------------------------------------------------------

SimMediaService::SimMediaService(Scheduler& scheduler, const SimTrace& trace,
                                 platform::Platform& platform, double defaultLength)
    : scheduler_(scheduler), trace_(trace), platform_(platform), defaultLength_(defaultLength) {}

SimMediaService::~SimMediaService() {
  // A player that outlives the service keeps its state but schedules nothing more.
  for (const auto& weak : players_) {
    if (auto player = weak.lock()) {
      player->service_ = nullptr;
    }
  }
}

std::shared_ptr<platform::QueuePlayer> SimMediaService::makeQueuePlayer(
    std::vector<std::shared_ptr<platform::PlayerItem>> items) {
  const size_t count = items.size();
  auto player = std::make_shared<SimQueuePlayer>(*this, nextPlayerId_++, std::move(items));
  std::erase_if(players_, [](const auto& weak) { return weak.expired(); });
  players_.push_back(player);
  latestPlayer_ = player;
  trace_.line("player made with " + std::to_string(count) + " items");
  auto current = player->currentItem();
  trace_.line("current item: " + (current ? current->asset()->url().text() + " at 0.000" : "none"));
  return player;
}

std::shared_ptr<platform::PlayerLayer> SimMediaService::makePlayerLayer(
    std::shared_ptr<platform::QueuePlayer> player) {
  return std::make_shared<SimPlayerLayer>(std::move(player));
}

void SimMediaService::setLength(const std::string& url, double seconds) {
  streams_[url].length = std::max(0.0, seconds);
  streamsChanged();
}

double SimMediaService::length(const std::string& url) const {
  return stream(url).length;
}

void SimMediaService::setBroken(const std::string& url) {
  streams_[url].broken = true;
  streamsChanged();
}

void SimMediaService::setGone(const std::string& url, double from, double until) {
  streams_[url].gone = {from, until};
  // The players on it learn of each change when it happens.
  for (const double at : {from, until}) {
    if (std::isfinite(at) && at >= scheduler_.now()) {
      Scheduler::Work work;
      work.kind = "media";
      work.label = url;
      work.run = [this] { streamsChanged(); };
      scheduler_.schedule(at, std::move(work), Scheduler::Lane::media);
    }
  }
  streamsChanged();
}

bool SimMediaService::isBroken(const std::string& url) const {
  return stream(url).broken;
}

StreamBehaviour SimMediaService::stream(const std::string& url) const {
  StreamBehaviour behaviour;
  behaviour.length = std::max(0.0, defaultLength_);
  if (auto found = streams_.find(url); found != streams_.end()) {
    if (found->second.length) {
      behaviour.length = *found->second.length;
    }
    const auto& gone = found->second.gone;
    const double now = scheduler_.now();
    behaviour.broken = found->second.broken || (gone && now >= gone->first && now < gone->second);
    behaviour.stallAt = found->second.stallAt;
    behaviour.stallFor = found->second.stallFor;
    behaviour.pace = found->second.pace;
  }
  return behaviour;
}

void SimMediaService::setStall(const std::string& url, double at, double forSeconds) {
  auto& script = streams_[url];
  script.stallAt = std::max(0.0, at);
  script.stallFor = std::max(0.0, forSeconds);
  streamsChanged();
}

void SimMediaService::setPace(const std::string& url, double pace) {
  for (const auto& player : livePlayers()) {
    // Up to now at the old pace.
    player->sync();
  }
  streams_[url].pace = pace > 0.0 && std::isfinite(pace) ? pace : 1.0;
  streamsChanged();
}

double SimMediaService::stalledUntil(const std::string& url) const {
  const auto found = streams_.find(url);
  return found == streams_.end() ? -std::numeric_limits<double>::infinity()
                                 : found->second.stalledUntil;
}

void SimMediaService::beginStall(const std::string& url, double until) {
  streams_[url].stalledUntil = until;
  // Every player on the stream waits with the one that reached the stall.
  for (const auto& player : livePlayers()) {
    if (!player->items_.empty() && player->items_.front()->asset()->url().text() == url &&
        player->rate_.load() != 0.0f) {
      player->sync();
      player->restartFlow();
      player->reschedule();
    }
  }
}

void SimMediaService::streamsChanged() {
  for (const auto& player : livePlayers()) {
    player->reschedule();
  }
}

std::vector<std::shared_ptr<SimQueuePlayer>> SimMediaService::livePlayers() const {
  std::vector<std::shared_ptr<SimQueuePlayer>> live;
  for (const auto& weak : players_) {
    if (auto player = weak.lock()) {
      live.push_back(std::move(player));
    }
  }
  return live;
}

bool SimMediaService::isPlayerAlive(uint64_t playerId) const {
  return std::any_of(players_.begin(), players_.end(), [playerId](const auto& weak) {
    auto player = weak.lock();
    return player && player->id() == playerId;
  });
}

void SimMediaService::forget(const SimQueuePlayer& player) {
  if (player.entry_) {
    scheduler_.cancel(*player.entry_);
  }
}

size_t SimMediaService::boundaryObserverCount() const {
  size_t count = 0;
  for (const auto& [player, observers] : observers_) {
    count += observers.size();
  }
  return count;
}

void SimMediaService::postCrossing(uint64_t playerId,
                                   common::BoundaryObservers::Crossing crossing) {
  scheduler_.post([this, playerId, crossing = std::move(crossing)] {
    // Removed since the crossing, or its player was dropped: the block is not called.
    auto block = observersOf(playerId).blockOf(crossing);
    if (block && isPlayerAlive(playerId)) {
      (*block)();
    }
  });
}

void SimMediaService::postItemNotification(const char* name,
                                           std::shared_ptr<platform::PlayerItem> item) {
  platform_.notificationCenter().post({name, std::move(item)});
}

std::vector<common::BoundaryObservers::Block> SimMediaService::dropObservers() {
  std::vector<common::BoundaryObservers::Block> blocks;
  for (auto& [player, observers] : observers_) {
    for (auto& block : observers.takeAll()) {
      blocks.push_back(std::move(block));
    }
  }
  observers_.clear();
  return blocks;
}

}  // namespace vorn::sim
