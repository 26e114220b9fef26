#include "platform/iso_time.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <ctime>
#include <string>

namespace vorn::platform {

namespace {

// Reads `count` digits at `pos`; advances past them.
std::optional<int> digits(std::string_view text, size_t& pos, size_t count) {
  if (pos + count > text.size()) {
    return std::nullopt;
  }
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    value = value * 10 + (c - '0');
  }
  pos += count;
  return value;
}

bool expect(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

}  // namespace

std::optional<double> parseIsoTime(std::string_view text, Zoneless zoneless) {
  size_t pos = 0;
  const auto year = digits(text, pos, 4);
  if (!year || !expect(text, pos, '-')) {
    return std::nullopt;
  }
  const auto month = digits(text, pos, 2);
  if (!month || !expect(text, pos, '-')) {
    return std::nullopt;
  }
  const auto day = digits(text, pos, 2);
  if (!day || !(expect(text, pos, 'T') || expect(text, pos, 't') || expect(text, pos, ' '))) {
    return std::nullopt;
  }
  const auto hour = digits(text, pos, 2);
  if (!hour || !expect(text, pos, ':')) {
    return std::nullopt;
  }
  const auto minute = digits(text, pos, 2);
  if (!minute) {
    return std::nullopt;
  }
  int second = 0;
  double fraction = 0.0;
  if (expect(text, pos, ':')) {
    const auto whole = digits(text, pos, 2);
    if (!whole) {
      return std::nullopt;
    }
    second = *whole;
    if (expect(text, pos, '.') || expect(text, pos, ',')) {
      const size_t first = pos;
      while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        ++pos;
      }
      if (pos == first) {
        return std::nullopt;
      }
      // Read as one decimal number, so the fraction is the nearest double to what was written.
      const std::string decimal = "0." + std::string(text.substr(first, pos - first));
      std::from_chars(decimal.data(), decimal.data() + decimal.size(), fraction);
    }
  }
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
      second > 60) {
    return std::nullopt;
  }
  std::tm parts{};
  parts.tm_year = *year - 1900;
  parts.tm_mon = *month - 1;
  parts.tm_mday = *day;
  parts.tm_hour = *hour;
  parts.tm_min = *minute;
  parts.tm_sec = second;
  std::optional<int> zoneOffset;  // seconds east of UTC
  if (expect(text, pos, 'Z') || expect(text, pos, 'z')) {
    zoneOffset = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    const auto zoneHours = digits(text, pos, 2);
    if (!zoneHours) {
      return std::nullopt;
    }
    int zoneMinutes = 0;
    if (pos < text.size()) {
      expect(text, pos, ':');
      const auto minutes = digits(text, pos, 2);
      if (!minutes) {
        return std::nullopt;
      }
      zoneMinutes = *minutes;
    }
    if (*zoneHours > 23 || zoneMinutes > 59) {
      return std::nullopt;
    }
    zoneOffset = sign * (*zoneHours * 3600 + zoneMinutes * 60);
  }
  if (pos != text.size()) {
    return std::nullopt;
  }
  if (!zoneOffset && zoneless == Zoneless::utc) {
    zoneOffset = 0;
  }
  std::time_t seconds;
  if (zoneOffset) {
    seconds = timegm(&parts);
    seconds -= *zoneOffset;
  } else {
    parts.tm_isdst = -1;
    seconds = std::mktime(&parts);
  }
  // timegm normalises 31 February into March: such a date is a typing error, not a time.
  const std::tm check = brokenDown(static_cast<double>(seconds + (zoneOffset ? *zoneOffset : 0)),
                                   !zoneOffset.has_value());
  if (check.tm_mday != *day && second != 60) {
    return std::nullopt;
  }
  return static_cast<double>(seconds) + fraction;
}

std::tm brokenDown(double seconds, bool local) {
  const auto whole = static_cast<std::time_t>(std::floor(seconds));
  std::tm parts{};
  if (local) {
    localtime_r(&whole, &parts);
  } else {
    gmtime_r(&whole, &parts);
  }
  return parts;
}

}  // namespace vorn::platform
