#include "scripts/errorcodes.h"

#include "foundation/fastini.h"

namespace tunbrix {

void CErrorCodes::LoadRules(TFastini &store) {
  sets_.clear();
  std::vector<std::string> names, pairs;
  store.ReadSectionNames(names);
  for (const std::string &name : names) {
    auto set = std::make_unique<CErrorCode>();
    set->name = name;
    // Duplicate section names: the pairs come from the first of them, which
    // is also the one a lookup by name finds.
    store.ReadSectionPairs(name, pairs);
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
      // A key that is no number becomes 0, which never matches a failure.
      const int32_t code = IniStrToInt(pairs[i]).value_or(0);
      set->items.push_back({code, SysToWide(pairs[i + 1])});
    }
    sets_.push_back(std::move(set));
  }
}

const CErrorCode *CErrorCodes::FindRuleSet(std::string_view name) const {
  for (const auto &set : sets_)
    if (CompareIniNames(set->name, name) == 0) return set.get();
  return nullptr;
}

const TErrorCodeItem *CErrorCodes::FindRule(const CErrorCode *set, int32_t code) {
  if (!set) return nullptr;
  for (const auto &item : set->items)
    if (item.code == code) return &item;
  return nullptr;
}

std::optional<WideString> ExitCodeMessage(const CErrorCode *set, int32_t code) {
  if (code == 0) return std::nullopt;
  const TErrorCodeItem *rule = CErrorCodes::FindRule(set, code);
  if (!rule) return std::nullopt;
  return u"ERROR: " + rule->message;
}

} // namespace tunbrix
