#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/media.h"

namespace vorn::common {

// The boundary time observers of one player and the rule for crossing them, for every backend:
// playback moving forward from `from` to `to` crosses each boundary t with from < t <= to. The
// crossings of one move come in time order, equal times in registration order. A crossing is
// delivered later (posted to the main queue), and only if its observer is still registered then.
class BoundaryObservers {
 public:
  using Block = std::shared_ptr<std::function<void()>>;
  struct Crossing {
    std::shared_ptr<platform::TimeObserverToken> token;
    double time;
  };

  // Registers the numeric times of `times`; the others are never crossed.
  std::shared_ptr<platform::TimeObserverToken> add(const std::vector<platform::MediaTime>& times,
                                                   std::function<void()> block);
  // Unregisters an observer and hands back its block, for the caller to release once its own
  // state is consistent (the block may hold the last reference to anything). Null when unknown.
  Block remove(const std::shared_ptr<platform::TimeObserverToken>& token);
  // Every block, unregistered.
  std::vector<Block> takeAll();

  std::vector<Crossing> crossings(double from, double to) const;
  // The first boundary after `position` that is at most `limit`.
  std::optional<double> nextAfter(double position, double limit) const;
  // The block of a crossing's observer, or null when it is no longer registered.
  Block blockOf(const Crossing& crossing) const;
  size_t size() const { return observers_.size(); }

 private:
  struct Observer {
    std::shared_ptr<platform::TimeObserverToken> token;
    std::vector<double> times;
    Block block;
  };
  std::vector<Observer> observers_;
};

}  // namespace vorn::common
