#include "platform/application.h"

#include "platform/platform.h"

namespace vorn::platform {

void TransitionCoordinator::animateAlongsideTransition(std::function<void()> animation,
                                                       std::function<void()> completion) {
  // There is no animation machinery: the size changes in one step, so an animation block runs at
  // once and completions run when the new size is in place.
  if (animation) {
    animation();
  }
  if (completion) {
    completions_.push_back(std::move(completion));
  }
}

std::shared_ptr<View> ViewController::view() {
  if (!view_) {
    view_ = platform_.views().makeView(platform_.application().screenBounds());
    viewDidLoad();
  }
  return view_;
}

}  // namespace vorn::platform
