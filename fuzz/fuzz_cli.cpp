// The command lines of `vorn`, `vorn simulate`, `vorn schedule` and `vorn check` with the settings
// they read: the options parsed and checked, the settings files and environment resolved, nothing
// run. Whatever the input, each answers with what to run or an exit status; a status of 2 comes
// with exactly one line on stderr, and nothing may end the process.
//
// Input: COMMAND ARGV "\n%%\n" TOML "\n%%\n" ENVIRONMENT. COMMAND is one byte (modulo 4: vorn,
// simulate, schedule, check); ARGV is the words after the command, split on NUL; TOML is the text
// of the system settings file; ENVIRONMENT is NAME=VALUE lines. A missing separator leaves the
// later parts empty.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "cli/settings.h"
#include "fuzz/fuzz_input.h"
#include "simulate/simulate_options.h"
#include "tools/check/check.h"
#include "tools/schedule/schedule.h"

namespace {

using vorn::fuzz::takePart;

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_cli: %s\n", what);
    std::abort();
  }
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> words;
  if (text.empty()) {
    return words;
  }
  for (;;) {
    const auto at = text.find(separator);
    words.emplace_back(text.substr(0, at));
    if (at == std::string_view::npos) {
      return words;
    }
    text.remove_prefix(at + 1);
  }
}

// The system settings file: one per process, rewritten for every input.
const std::string& settingsPath() {
  static const std::string path = [] {
    const auto folder =
        std::filesystem::temp_directory_path() / ("vorn-fuzz-cli-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    return (folder / "vorn.toml").string();
  }();
  return path;
}

size_t lines(const std::string& text) {
  size_t count = 0;
  for (const char c : text) {
    count += c == '\n' ? 1 : 0;
  }
  return count;
}

// A refusal is one line; anything else writes nothing on stderr.
void checkStatus(int status, const std::string& err) {
  check(status == 0 || status == 2, "an exit status other than 0 or 2");
  if (status == 2) {
    check(lines(err) == 1 && err.back() == '\n', "a refusal is not exactly one line");
  } else {
    check(err.empty(), "something on stderr without a refusal");
  }
}

template <typename Options>
void checkParsed(const std::variant<Options, int>& parsed, const std::string& err) {
  if (const int* status = std::get_if<int>(&parsed)) {
    checkStatus(*status, err);
  } else {
    check(err.empty(), "something on stderr for a command line that is run");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const int command = data[0] % 4;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto args = split(takePart(rest), '\0');
  const std::string_view toml = takePart(rest);
  std::map<std::string, std::string> variables;
  for (const auto& line : split(rest, '\n')) {
    const auto equals = line.find('=');
    if (equals != std::string::npos && equals > 0) {
      variables[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  std::ofstream(settingsPath(), std::ios::binary | std::ios::trunc) << toml;
  auto environment = vorn::app::SettingsEnvironment::from(variables);
  environment.systemFile = settingsPath();

  std::ostringstream out;
  std::ostringstream err;
  switch (command) {
    case 0:
      checkParsed(vorn::app::parseChannelCommand(args, environment, "vorn: ", out, err), err.str());
      break;
    case 1:
      try {
        const auto options = vorn::app::simulate::parseOptions(args, environment);
        check(!options.help || !options.helpText.empty(), "an empty help text");
      } catch (const vorn::app::simulate::OptionError& error) {
        const std::string line = error.what();
        check(line.find('\n') == std::string::npos, "a refusal of more than one line");
      }
      break;
    case 2:
      checkParsed(vorn::app::parseScheduleCommand(args, environment, out, err), err.str());
      break;
    case 3:
      checkParsed(vorn::app::parseCheckCommand(args, environment, out, err), err.str());
      break;
  }
  return 0;
}
