// Exit-code rule sets: readable reasons for the exit codes of external
// converters. They never decide success (any code but 0 is a failure); they
// only supply the text shown for a failure.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class TFastini;

struct TErrorCodeItem {
  int32_t code = 0;
  WideString message;
};

class CErrorCode {
public:
  std::string name; // the section name
  std::vector<TErrorCodeItem> items; // in the store's sorted key order
};

class CErrorCodes {
public:
  // Replaces the table by every section of the store, in file order.
  void LoadRules(TFastini &store);
  // The first set of that name, compared without ASCII case; nullptr if none.
  const CErrorCode *FindRuleSet(std::string_view name) const;
  // The first item of the set for the code; nullptr if none or no set.
  static const TErrorCodeItem *FindRule(const CErrorCode *set, int32_t code);
  const std::vector<std::unique_ptr<CErrorCode>> &Sets() const { return sets_; }

private:
  std::vector<std::unique_ptr<CErrorCode>> sets_;
};

// The failure message for a program's exit code: "ERROR: " and the rule's
// message when the code is not 0 and a rule matches; nullopt otherwise (0 is
// success whatever the rules say; an unmatched code shows as the number).
std::optional<WideString> ExitCodeMessage(const CErrorCode *set, int32_t code);

} // namespace tunbrix
