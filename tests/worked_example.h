#pragma once

#include <string>

namespace vorn::testing {

// The worked example: A (600 s), B (300 s, played twice), C (1200 s); a cycle of 2400 s. At
// 01:03:20 (3800 s) the clock stands 200 s into C.
inline std::string workedExamplePlaylist() {
  return R"([{"hls_url": "https://streams.invalid/a/index.m3u8", "duration": 600,
               "description_attribution": "Alpha by Ann"},
              {"hls_url": "https://streams.invalid/b/index.m3u8", "duration": 300, "play_count": 2,
               "description_attribution": "Beta by Bo"},
              {"hls_url": "https://streams.invalid/c/index.m3u8", "duration": 1200}])";
}

}  // namespace vorn::testing
