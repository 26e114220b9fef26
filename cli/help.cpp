#include "cli/help.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace vorn::app {

namespace {

class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(kColumn); }

  std::string make_option(const CLI::Option* option, bool positional) const override {
    std::string name = make_option_name(option, positional) + make_option_opts(option);
    std::string out = "  " + name;
    size_t column = out.size();
    if (column + 1 > kColumn) {
      out += '\n';
      column = 0;
    }
    std::istringstream words(make_option_desc(option));
    bool first = true;
    for (std::string word; words >> word;) {
      if (!first && column + 1 + word.size() > kWidth) {
        out += '\n';
        column = 0;
      }
      if (column < kColumn) {
        out += std::string(kColumn - column, ' ');
        column = kColumn;
      } else {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
      first = false;
    }
    return out + '\n';
  }

  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, positional);
    // The negated form of a flag is shown bare ("--mute,--no-mute").
    for (size_t at; (at = name.find("{false}")) != std::string::npos;) {
      name.erase(at, 7);
    }
    return name;
  }

  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_type_size() == 0 || option->get_type_name().empty()
               ? std::string()
               : " " + option->get_type_name();
  }

 private:
  static constexpr size_t kColumn = 30;
  static constexpr size_t kWidth = 100;
};

}  // namespace

std::string oneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) {
      line += c;
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", u);
      line += escape;
    }
  }
  return line;
}

void parseArguments(CLI::App& app, const std::vector<std::string>& args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const std::invalid_argument&) {
    throw CLI::ConversionError("a flag's value must be true, false or a whole number");
  } catch (const std::out_of_range&) {
    throw CLI::ConversionError("a flag's value must be true, false or a whole number");
  }
}

void useHelpFormat(CLI::App& app) {
  app.formatter(std::make_shared<HelpFormatter>());
}

}  // namespace vorn::app
