// `vorn`: the channel on this machine's screen, or one of its commands.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "simulate/simulate.h"

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string command = words.empty() ? std::string() : words.front();
  const std::vector<std::string> rest(words.begin() + (words.empty() ? 0 : 1), words.end());
  if (command == "simulate") {
    return vorn::app::runSimulateCommand(rest, std::cout, std::cerr);
  }
  if (command == "schedule") {
    return vorn::app::runScheduleCommand(rest, std::cout, std::cerr);
  }
  if (command == "check") {
    return vorn::app::runCheckCommand(rest, std::cout, std::cerr);
  }
  if (command == "status") {
    return vorn::app::runStatusCommand(rest, std::cout, std::cerr);
  }
  return vorn::app::runChannelCommand(words, std::cout, std::cerr);
}
