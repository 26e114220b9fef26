#include "platform/views.h"

#include <algorithm>

#include "platform/input.h"

namespace vorn::platform {

void Layer::addSublayer(const std::shared_ptr<Layer>& layer) {
  if (!layer || layer.get() == this) {
    return;
  }
  layer->removeFromSuperlayer();
  sublayers_.push_back(layer);
  layer->superlayer_ = weak_from_this();
}

void Layer::removeFromSuperlayer() {
  const auto parent = superlayer_.lock();
  superlayer_.reset();
  if (parent) {
    std::erase_if(parent->sublayers_, [this](const auto& child) { return child.get() == this; });
  }
}

View::View(const Rect& frame) : frame_(frame), layer_(std::make_shared<Layer>()) {
  layer_->setFrame(frame);
}

void View::addSubview(const std::shared_ptr<View>& view) {
  if (!view || view.get() == this) {
    return;
  }
  view->removeFromSuperview();
  subviews_.push_back(view);
  view->superview_ = weak_from_this();
}

void View::insertSubviewBelow(const std::shared_ptr<View>& view,
                              const std::shared_ptr<View>& sibling) {
  if (!view || view.get() == this || view == sibling) {
    return;
  }
  view->removeFromSuperview();
  const auto at = std::find(subviews_.begin(), subviews_.end(), sibling);
  subviews_.insert(at, view);
  view->superview_ = weak_from_this();
}

void View::removeFromSuperview() {
  const auto parent = superview_.lock();
  superview_.reset();
  if (parent) {
    std::erase_if(parent->subviews_, [this](const auto& child) { return child.get() == this; });
  }
}

void View::addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
  if (recognizer) {
    gestureRecognizers_.push_back(recognizer);
  }
}

Label::Label(const Rect& frame, std::shared_ptr<TextMetrics> metrics)
    : View(frame), metrics_(std::move(metrics)) {}

void Label::sizeToFit() {
  if (!metrics_) {
    return;
  }
  const Rect current = frame();
  const Size fitted = metrics_->fit(text_, font_, current.width, current.height);
  setFrame({current.x, current.y, fitted.width, fitted.height});
}

}  // namespace vorn::platform
