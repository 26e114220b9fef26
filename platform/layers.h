#pragma once

#include <memory>
#include <vector>

#include "platform/geometry.h"

namespace vorn::platform {

// A node of a view's layer tree. Later sublayers are drawn above earlier ones. Main thread.
class Layer : public std::enable_shared_from_this<Layer> {
 public:
  virtual ~Layer() = default;
  void setFrame(const Rect& frame) { frame_ = frame; }
  const Rect& frame() const { return frame_; }
  void addSublayer(const std::shared_ptr<Layer>& layer);
  void removeFromSuperlayer();
  std::shared_ptr<Layer> superlayer() const { return superlayer_.lock(); }
  const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }

 private:
  Rect frame_;
  std::weak_ptr<Layer> superlayer_;
  std::vector<std::shared_ptr<Layer>> sublayers_;
};

}  // namespace vorn::platform
