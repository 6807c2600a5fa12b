// The headless commands: everything the desktop program does, driven from a
// terminal, a script or a test.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tunbrix {

struct THeadlessStreams {
  std::ostream &out;
  std::ostream &err;
};

// Runs the command in args (the program's arguments without the program
// name) and returns the exit code: 0 success, 1 failure, 2 usage error.
int RunHeadless(const std::vector<std::string> &args, THeadlessStreams streams);

} // namespace tunbrix
