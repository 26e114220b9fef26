#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

// What every command line of `vorn` shares: the help layout, the parse, and messages kept to one
// line.
namespace vorn::app {

// `text` with its control characters written as escapes (\n, \t, \r, \xHH): a message that
// quotes what the operator typed or wrote stays one line whatever it quotes. Text without control
// characters is returned as it is.
std::string oneLine(std::string_view text);

// Parses the words after a command name with `app`. A flag given a value that is neither a truth
// word nor a whole number (--mute=x, --mute=99999999999999999999) makes CLI11 throw a standard
// library error; it is bad input like any other, so it comes out as a CLI::ParseError too.
void parseArguments(CLI::App& app, const std::vector<std::string>& args);

// Gives `app` this program's help layout: an option's value named once, its help wrapped beside it.
void useHelpFormat(CLI::App& app);

}  // namespace vorn::app
