#include "foundation/assertions.h"

namespace tunbrix {

std::string FormatConsistencyMessage(std::string_view condition, std::string_view module,
                                     int line) {
  std::string out(condition);
  out += " (";
  out += module;
  out += ", line ";
  out += std::to_string(line);
  out += ")";
  return out;
}

TConsistencyError::TConsistencyError(const std::string &condition, const std::string &module,
                                     int line)
    : std::runtime_error(FormatConsistencyMessage(condition, module, line)), condition_(condition),
      module_(module), line_(line) {}

void ConsistencyFailed(const std::string &condition, std::string_view module, int line) {
  throw TConsistencyError(condition, std::string(module), line);
}

} // namespace tunbrix
