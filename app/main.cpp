// `vorn`: the channel on this machine's screen, or `vorn simulate ...` in virtual time.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/simulate.h"
#include "platform/linux/cli.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "simulate") == 0) {
    return vorn::app::runSimulateCommand(std::vector<std::string>(argv + 2, argv + argc), std::cout,
                                         std::cerr);
  }
  vorn::linuxbackend::CommandLineHooks hooks;
  hooks.enableDeveloperMode = vorn::app::enableDeveloperMode;
  hooks.itemTitle = vorn::app::itemTitle;
  return vorn::linuxbackend::runVornCommandLine(argc, argv, vorn::app::classRegistry(),
                                                vorn::app::kDelegateClassName,
                                                vorn::app::mainInterface(), hooks);
}
