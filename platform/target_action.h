#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace vorn::platform {

// A target and its action, as timers, notifications, recognisers and remote commands take them:
// the selector name (recorded so it can be observed) and a callable that holds the target.
//
// Made in one of two forms:
// - strong: the action keeps its target alive until the holder releases it (a timer, until it
//   fires or is invalidated);
// - weak: the action does not keep its target; once the target has gone it does nothing (and
//   answers a value-initialised result). For holders that outlive their targets: the
//   notification and command centres, a view's recognisers.
template <typename Result, typename... Args>
struct TargetAction {
  std::string selector;
  std::function<Result(Args...)> call;

  template <typename Target>
  using Method = std::type_identity_t<Result (Target::*)(Args...)>;

  template <typename Target>
  static TargetAction strong(std::shared_ptr<Target> target, std::string selector,
                             Method<Target> method) {
    return {std::move(selector), [target = std::move(target), method](Args... args) -> Result {
              return ((*target).*method)(std::forward<Args>(args)...);
            }};
  }

  template <typename Target>
  static TargetAction weak(const std::shared_ptr<Target>& target, std::string selector,
                           Method<Target> method) {
    return {std::move(selector),
            [target = std::weak_ptr<Target>(target), method](Args... args) -> Result {
              if (const auto strong = target.lock()) {
                return ((*strong).*method)(std::forward<Args>(args)...);
              }
              return Result();
            }};
  }
};

}  // namespace vorn::platform
