#include "platform/common/boundary_observers.h"

#include <algorithm>

namespace vorn::common {

std::shared_ptr<platform::TimeObserverToken> BoundaryObservers::add(
    const std::vector<platform::MediaTime>& times, std::function<void()> block) {
  Observer observer{std::make_shared<platform::TimeObserverToken>(),
                    {},
                    std::make_shared<std::function<void()>>(std::move(block))};
  for (const auto& time : times) {
    if (time.isNumeric()) {
      observer.times.push_back(time.seconds());
    }
  }
  observers_.push_back(std::move(observer));
  return observers_.back().token;
}

BoundaryObservers::Block BoundaryObservers::remove(
    const std::shared_ptr<platform::TimeObserverToken>& token) {
  auto found = std::find_if(observers_.begin(), observers_.end(),
                            [&](const Observer& observer) { return observer.token == token; });
  if (found == observers_.end()) {
    return nullptr;
  }
  Block block = std::move(found->block);
  observers_.erase(found);
  return block;
}

std::vector<BoundaryObservers::Block> BoundaryObservers::takeAll() {
  std::vector<Block> blocks;
  for (auto& observer : observers_) {
    blocks.push_back(std::move(observer.block));
  }
  observers_.clear();
  return blocks;
}

std::vector<BoundaryObservers::Crossing> BoundaryObservers::crossings(double from,
                                                                      double to) const {
  std::vector<Crossing> crossed;
  for (const auto& observer : observers_) {
    for (double time : observer.times) {
      if (from < time && time <= to) {
        crossed.push_back({observer.token, time});
      }
    }
  }
  std::stable_sort(crossed.begin(), crossed.end(),
                   [](const Crossing& a, const Crossing& b) { return a.time < b.time; });
  return crossed;
}

std::optional<double> BoundaryObservers::nextAfter(double position, double limit) const {
  std::optional<double> next;
  for (const auto& observer : observers_) {
    for (double time : observer.times) {
      if (position < time && time <= limit && (!next || time < *next)) {
        next = time;
      }
    }
  }
  return next;
}

BoundaryObservers::Block BoundaryObservers::blockOf(const Crossing& crossing) const {
  auto found = std::find_if(observers_.begin(), observers_.end(), [&](const Observer& observer) {
    return observer.token == crossing.token;
  });
  return found == observers_.end() ? nullptr : found->block;
}

}  // namespace vorn::common
