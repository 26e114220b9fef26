#pragma once

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace vorn::testing {

// A strict reader of the metrics text exposition format, as node_exporter's textfile collector
// takes it: every family has one HELP and one TYPE before its samples, its samples stand
// together, names and labels are well formed, label values escaped, every series appears once,
// and the text ends in a line feed.
struct Exposition {
  std::vector<std::string> errors;
  std::map<std::string, std::string> types;  // family -> type
  std::map<std::string, double> samples;     // "name{labels}" as written -> value
};

inline Exposition readExposition(const std::string& text) {
  Exposition out;
  if (text.empty() || text.back() != '\n') {
    out.errors.push_back("the text does not end in a line feed");
  }
  static const std::regex help(R"(^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+)$)");
  static const std::regex type(
      R"(^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$)");
  static const std::regex sample(
      R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")(,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? ([^ ]+)( -?[0-9]+)?$)");
  std::set<std::string> helped;
  std::set<std::string> finished;  // families whose samples are behind us
  std::string current;             // the family whose samples come now
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  const auto fail = [&](const std::string& why) {
    out.errors.push_back("line " + std::to_string(number) + ": " + why + ": " + line);
  };
  const auto enter = [&](const std::string& family) {
    if (family != current) {
      if (!current.empty()) {
        finished.insert(current);
      }
      if (finished.count(family) != 0) {
        fail("the family " + family + " is split");
      }
      current = family;
    }
  };
  while (std::getline(lines, line)) {
    ++number;
    std::smatch match;
    if (line.empty()) {
      fail("an empty line");
    } else if (std::regex_match(line, match, help)) {
      enter(match[1]);
      if (!helped.insert(match[1]).second) {
        fail("a second HELP");
      }
    } else if (std::regex_match(line, match, type)) {
      enter(match[1]);
      if (out.types.count(match[1]) != 0) {
        fail("a second TYPE");
      }
      out.types[match[1]] = match[2];
    } else if (line.starts_with("#")) {
      continue;  // a comment
    } else if (std::regex_match(line, match, sample)) {
      const std::string name = match[1];
      enter(name);
      if (out.types.count(name) == 0) {
        fail("a sample before its TYPE");
      }
      const std::string value = match[5];
      char* end = nullptr;
      const double parsed = std::strtod(value.c_str(), &end);
      if (value != "NaN" && value != "+Inf" && value != "-Inf" &&
          (end == value.c_str() || *end != '\0' || !std::isfinite(parsed))) {
        fail("not a number");
      }
      const std::string series = name + std::string(match[2]);
      if (out.samples.count(series) != 0) {
        fail("a repeated series");
      }
      out.samples[series] = parsed;
    } else {
      fail("not a line of the format");
    }
  }
  for (const auto& [family, kind] : out.types) {
    if (helped.count(family) == 0) {
      out.errors.push_back("no HELP for " + family);
    }
  }
  return out;
}

}  // namespace vorn::testing
