#include <iostream>
#include <string>
#include <vector>

#include "app/simulate.h"

// `vorn_simulate_dev ARGS...` behaves as `vorn simulate ARGS...`.
int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vorn::app::runSimulateCommand(args, std::cout, std::cerr);
}
