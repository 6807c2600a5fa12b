#include <iostream>
#include <string>
#include <vector>

#include "app/headless.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << "tunbrix: the desktop program is not part of this build yet; "
                 "run \"tunbrix --help\" for the headless commands.\n";
    return 1;
  }
  return tunbrix::RunHeadless(args, {std::cout, std::cerr});
}
