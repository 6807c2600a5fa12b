#include "app/headless.h"

#include <exception>
#include <ostream>

#include "app/version.h"
#include "foundation/assertions.h"

namespace tunbrix {
namespace {

constexpr const char *kUsage = "usage: tunbrix                  start the desktop program\n"
                               "       tunbrix --version        print the version\n";

int Usage(THeadlessStreams streams, const std::string &problem) {
  streams.err << "tunbrix: " << problem << "\n" << kUsage;
  return 2;
}

} // namespace

int RunHeadless(const std::vector<std::string> &args, THeadlessStreams streams) {
  if (args.empty()) return Usage(streams, "no command given.");
  const std::string &command = args[0];
  try {
    if (command == "--version" || command == "version") {
      streams.out << kProductVersion << "\n";
      return 0;
    }
    if (command == "--help" || command == "help") {
      streams.out << kUsage;
      return 0;
    }
  } catch (const TConsistencyError &e) {
    streams.err << "tunbrix: " << e.what() << "\n";
    return 1;
  }
  return Usage(streams, "unknown command \"" + command + "\".");
}

} // namespace tunbrix
