#include "platform/linux/mpv_log.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vorn::linuxbackend {

namespace {

bool containsFolded(std::string_view text, std::string_view needle) {
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         }) != text.end();
}

bool isProbingNoise(std::string_view prefix, std::string_view text) {
  // The hardware decoding probes: each API that is missing says so, at warning or error level.
  constexpr std::array<std::string_view, 12> kNoise = {"libcuda", "cuda",     "nvdec",      "vdpau",
                                                       "vaapi",   "va-api",   "libva",      "drm",
                                                       "vulkan",  "pipewire", "pulseaudio", "jack"};
  // Each sound output is tried in turn until one opens (or none, and the channel plays on
  // silently): a single output's failure is a probe; the player's own word on the outcome comes
  // from "ao" or "cplayer".
  if (prefix.starts_with("ao/")) {
    return true;
  }
  const bool probes = prefix == "vd" || prefix == "hwdec" || prefix.starts_with("vo") ||
                      prefix.starts_with("ao") || prefix == "ffmpeg" || prefix == "ffmpeg/video";
  for (const auto word : kNoise) {
    // A module named for the API it probes ("vaapi", "ao/pipewire"), or a probing module that
    // names it.
    if (containsFolded(prefix, word) || (probes && containsFolded(text, word))) {
      return true;
    }
  }
  return containsFolded(text, "cannot load libcuda") || containsFolded(text, "libvdpau") ||
         containsFolded(text, "Failed to open VDPAU") ||
         containsFolded(text, "Could not create device");
}

}  // namespace

std::optional<int> mpvLogPriority(std::string_view level, std::string_view prefix,
                                  std::string_view text, bool verbose) {
  int priority = 7;
  if (level == "fatal" || level == "error") {
    priority = 3;
  } else if (level == "warn") {
    priority = 4;
  }
  if (priority < 7 && isProbingNoise(prefix, text)) {
    priority = 7;
  }
  if (priority == 7 && !verbose) {
    return std::nullopt;
  }
  return priority;
}

std::string mpvLogRecord(std::string_view prefix, std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  std::string record = "mpv: [";
  record += prefix;
  record += "] ";
  record += text;
  return record;
}

}  // namespace vorn::linuxbackend
