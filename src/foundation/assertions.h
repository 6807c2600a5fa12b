// Internal consistency checks. A broken check abandons the action under way
// with one exception type; the top level shows its message and goes on.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace tunbrix {

class TConsistencyError : public std::runtime_error {
public:
  TConsistencyError(const std::string &condition, const std::string &module, int line);
  const std::string &Condition() const { return condition_; }
  const std::string &Module() const { return module_; }
  int Line() const { return line_; }

private:
  std::string condition_;
  std::string module_;
  int line_;
};

// "TFastini.DeleteSection: U = nil (fastini, line 120)"
std::string FormatConsistencyMessage(std::string_view condition, std::string_view module, int line);

// The module is the source file's name without folder and extension.
constexpr std::string_view ModuleOfFile(std::string_view file) {
  const size_t slash = file.find_last_of('/');
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  const size_t dot = file.find('.');
  return dot == std::string_view::npos ? file : file.substr(0, dot);
}

[[noreturn]] void ConsistencyFailed(const std::string &condition, std::string_view module,
                                    int line);

} // namespace tunbrix

// TB_CHECK(cond, text): when cond is false, throws TConsistencyError with
// text (any expression convertible to std::string) as its condition.
#define TB_CHECK(cond, text)                                                                       \
  do {                                                                                             \
    if (!(cond))                                                                                   \
      ::tunbrix::ConsistencyFailed((text), ::tunbrix::ModuleOfFile(__FILE__), __LINE__);           \
  } while (0)
