#include "log/render.h"

#include <cstdio>

namespace vorn::log {
namespace {

std::string general(double value, int significantDigits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", significantDigits, value);
  std::string text = buffer;
  if (text.find_first_of(".en") == std::string::npos) {
    text += ".0";
  }
  return text;
}

}  // namespace

std::string renderBool(bool value) {
  return value ? "true" : "false";
}

std::string renderInteger(int64_t value) {
  return std::to_string(value);
}

std::string renderFloat(float value) {
  return general(static_cast<double>(value), 6);
}

std::string renderDouble(double value) {
  return general(value, 15);
}

std::string debugText(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char escaped[16];
          std::snprintf(escaped, sizeof escaped, "\\u{%X}", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace vorn::log
