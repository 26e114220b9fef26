#pragma once

#include <string>

namespace vorn::platform {

// Base of the platform's reference objects (errors, responses, timers, player items, recognisers,
// events). Log messages render such an object by its own textual description.
class Object {
 public:
  virtual ~Object() = default;
  virtual std::string description() const = 0;
};

}  // namespace vorn::platform
