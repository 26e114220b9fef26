#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorn::linuxbackend {

// How one of libmpv's messages goes to the system log: its journal priority (3 for errors, 4 for
// warnings, 7 for the rest), or nothing when it is dropped. Without `verbose` only errors and
// warnings pass. Probing noise (hardware decoders, drivers and audio servers that this machine
// does not have, tried and passed over) is never more than debug: it says nothing about the
// channel.
std::optional<int> mpvLogPriority(std::string_view level, std::string_view prefix,
                                  std::string_view text, bool verbose);

// The record for a message: "mpv: [prefix] text", without the final line feed.
std::string mpvLogRecord(std::string_view prefix, std::string_view text);

}  // namespace vorn::linuxbackend
