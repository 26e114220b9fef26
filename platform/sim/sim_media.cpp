#include "platform/sim/sim_media.h"

#include <algorithm>
#include <cstdio>

#include "platform/notification_center.h"
#include "platform/sim/world.h"

namespace vorn::sim {

namespace {}  // namespace

SimQueuePlayer::SimQueuePlayer(World& world, uint64_t id,
                               std::vector<std::shared_ptr<platform::PlayerItem>> items)
    : world_(world), id_(id), items_(std::move(items)) {
  positionTime_ = world_.now();
  flowStart_ = positionTime_ + world_.startupLatency();
}

SimQueuePlayer::~SimQueuePlayer() = default;

std::shared_ptr<platform::PlayerItem> SimQueuePlayer::currentItem() const {
  return items_.empty() ? nullptr : items_.front();
}

double SimQueuePlayer::lengthOfCurrent() const {
  if (items_.empty()) {
    return 0.0;
  }
  return world_.mediaLength(items_.front()->asset()->url().text());
}

bool SimQueuePlayer::currentIsBroken() const {
  return !items_.empty() && world_.isBroken(items_.front()->asset()->url().text());
}

double SimQueuePlayer::flowOrigin() const {
  return std::max(positionTime_, flowStart_);
}

double SimQueuePlayer::currentTime() const {
  if (items_.empty()) {
    return 0.0;
  }
  if (rate_.load() == 0.0f || currentIsBroken()) {
    return position_;
  }
  const double moved = std::max(0.0, world_.now() - flowOrigin());
  return std::min(lengthOfCurrent(), position_ + moved);
}

bool SimQueuePlayer::hasPictureOfCurrentItem() const {
  if (pictureShown_) {
    return true;
  }
  return !items_.empty() && rate_.load() != 0.0f && !currentIsBroken() &&
         world_.now() >= flowStart_;
}

size_t SimQueuePlayer::boundaryObserverCount() const {
  return world_.observerCountOf(id_);
}

void SimQueuePlayer::sync() {
  if (items_.empty() || rate_.load() == 0.0f || currentIsBroken()) {
    positionTime_ = world_.now();
    return;
  }
  if (world_.now() >= flowStart_) {
    pictureShown_ = true;
  }
  moveTo(currentTime());
}

void SimQueuePlayer::moveTo(double position) {
  std::vector<std::pair<uint64_t, double>> crossed;
  const double length = lengthOfCurrent();
  for (const auto& boundary : world_.boundariesOf(id_)) {
    const double time = boundary.second;
    if (position_ < time && time <= position && time <= length) {
      crossed.push_back(boundary);
    }
  }
  std::stable_sort(crossed.begin(), crossed.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  position_ = position;
  positionTime_ = world_.now();
  for (const auto& boundary : crossed) {
    world_.postCrossing(boundary.first);
  }
}

void SimQueuePlayer::restartFlow() {
  flowStart_ = world_.now() + world_.startupLatency();
}

void SimQueuePlayer::traceCurrent() {
  auto item = currentItem();
  world_.trace("current item: " +
               (item ? item->asset()->url().text() + " at " + formatSeconds(position_) : "none"));
}

void SimQueuePlayer::traceRate() {
  world_.trace(rate_.load() == 0.0f ? "rate: 0.0" : "rate: 1.0");
}

void SimQueuePlayer::play() {
  ++playCalls_;
  sync();
  if (rate_.load() != 0.0f) {
    return;
  }
  rate_.store(1.0f);
  restartFlow();
  traceRate();
}

void SimQueuePlayer::pause() {
  ++pauseCalls_;
  sync();
  if (rate_.load() == 0.0f) {
    return;
  }
  rate_.store(0.0f);
  traceRate();
}

void SimQueuePlayer::dropCurrent() {
  items_.erase(items_.begin());
  position_ = 0.0;
  positionTime_ = world_.now();
  pictureShown_ = false;
  restartFlow();
  traceCurrent();
}

void SimQueuePlayer::advanceToNextItem() {
  sync();
  if (items_.empty()) {
    return;
  }
  dropCurrent();
}

void SimQueuePlayer::seekToTime(const platform::MediaTime& time) {
  sync();
  lastSeek_ = time;
  if (items_.empty()) {
    return;
  }
  const double length = lengthOfCurrent();
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
      return;
  }
  position_ = target;
  positionTime_ = world_.now();
  restartFlow();
  world_.trace("seek: " + items_.front()->asset()->url().text() + " to " + formatSeconds(target));
}

std::shared_ptr<platform::TimeObserverToken> SimQueuePlayer::addBoundaryTimeObserver(
    const std::vector<platform::MediaTime>& times, std::function<void()> block) {
  // Crossings before the registration are not this observer's.
  sync();
  std::vector<double> seconds;
  for (const auto& time : times) {
    if (time.isNumeric()) {
      seconds.push_back(time.seconds());
    }
  }
  return world_.addObserver(id_, std::move(seconds), std::move(block));
}

void SimQueuePlayer::removeTimeObserver(const std::shared_ptr<platform::TimeObserverToken>& token) {
  world_.removeObserver(id_, token);
}

std::optional<double> SimQueuePlayer::nextEventTime() const {
  if (items_.empty() || rate_.load() == 0.0f) {
    return std::nullopt;
  }
  const double origin = flowOrigin();
  if (currentIsBroken()) {
    return origin;
  }
  const double length = lengthOfCurrent();
  double next = origin + std::max(0.0, length - position_);
  for (const auto& boundary : world_.boundariesOf(id_)) {
    const double time = boundary.second;
    if (position_ < time && time <= length) {
      next = std::min(next, origin + (time - position_));
    }
  }
  return next;
}

void SimQueuePlayer::runDueEvent() {
  // The logic may drop this player from inside a notification it posts.
  auto self = shared_from_this();
  if (items_.empty() || rate_.load() == 0.0f) {
    return;
  }
  const double now = world_.now();
  const double origin = flowOrigin();
  if (origin > now) {
    return;
  }
  if (currentIsBroken()) {
    // A stream that cannot play is skipped, as a queue player skips an item that fails.
    world_.trace("item failed: " + items_.front()->asset()->url().text());
    auto failed = items_.front();
    world_.notificationCenter().post(
        {platform::kPlayerItemFailedToPlayToEndTimeNotification, failed});
    // An observer may have moved the queue on already.
    if (!items_.empty() && items_.front() == failed) {
      dropCurrent();
    }
    return;
  }
  pictureShown_ = true;
  const double length = lengthOfCurrent();
  // The due event is the first boundary (or the end) that the position reaches by now; moving
  // exactly onto it keeps the crossing test free of rounding.
  double target = length;
  for (const auto& boundary : world_.boundariesOf(id_)) {
    const double time = boundary.second;
    if (position_ < time && time <= length && origin + (time - position_) <= now) {
      target = std::min(target, time);
    }
  }
  if (target < length) {
    moveTo(target);
    return;
  }
  if (origin + std::max(0.0, length - position_) > now) {
    return;
  }
  moveTo(length);
  auto ended = items_.front();
  world_.notificationCenter().post({platform::kPlayerItemDidPlayToEndTimeNotification, ended});
  // An observer may have moved the queue on already.
  if (!items_.empty() && items_.front() == ended) {
    dropCurrent();
  }
}

bool SimPlayerLayer::isReadyForDisplay() const {
  auto player = std::dynamic_pointer_cast<SimQueuePlayer>(player_);
  return player && player->hasPictureOfCurrentItem();
}

}  // namespace vorn::sim
