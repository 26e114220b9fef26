#pragma once

#include <optional>
#include <string>

namespace vorn::platform {

// The application's packaged resources. Any thread.
class Bundle {
 public:
  virtual ~Bundle() = default;
  // The file-system path of resource `name` of type `type` ("vorn-vimeo-playlist", "json"), or
  // nothing when the resources hold no such file.
  virtual std::optional<std::string> pathForResource(const std::string& name,
                                                     const std::string& type) const = 0;
};

}  // namespace vorn::platform
