#pragma once

#include <functional>
#include <string>
#include <utility>

namespace vorn::platform {

// A target and its action, as timers, notifications, recognisers and remote commands take them:
// the selector name (recorded so it can be observed) and a callable that holds the target.
template <typename Result, typename... Args>
struct TargetAction {
  std::string selector;
  std::function<Result(Args...)> call;
};

}  // namespace vorn::platform
