#include "platform/system_log.h"

namespace vorn::platform {

std::string capRecord(std::string_view record) {
  if (record.size() <= kMaxRecordBytes) {
    return std::string(record);
  }
  // The mark's length depends on the count it shows; the widest count fits any record below
  // 10^20 bytes, so reserve room for that and keep the rest.
  constexpr std::string_view kMarkStart = "\u2026 [cut: ";
  constexpr std::string_view kMarkEnd = " more bytes]";
  constexpr size_t kWidestCount = 20;
  size_t kept = kMaxRecordBytes - kMarkStart.size() - kWidestCount - kMarkEnd.size();
  // Never end inside a UTF-8 sequence: step back over continuation bytes to a lead byte.
  while (kept > 0 && (static_cast<unsigned char>(record[kept]) & 0xC0) == 0x80) {
    --kept;
  }
  std::string capped(record.substr(0, kept));
  capped += kMarkStart;
  capped += std::to_string(record.size() - kept);
  capped += kMarkEnd;
  return capped;
}

}  // namespace vorn::platform
