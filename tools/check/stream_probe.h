#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Opening a stream for `vorn check --probe`: whether it answers, its variants and its real length.
namespace vorn::app {

struct StreamVariant {
  int64_t bandwidth = 0;  // bits per second, 0 when not given
  int width = 0;          // 0 when not known
  int height = 0;
};

struct StreamProbe {
  bool reachable = false;
  std::string error;               // why it could not be opened, in words
  std::optional<double> duration;  // seconds; none for a stream without an end
  std::vector<StreamVariant> variants;
};

struct ProbeOptions {
  std::string caFile;     // an extra trusted authority for https; empty for none
  double timeout = 30.0;  // seconds for the whole probe of one stream
};

// Opens `address` with libavformat, certificates verified. Any thread.
StreamProbe probeStream(const std::string& address, const ProbeOptions& options);

}  // namespace vorn::app
