// Tags as lists of text, so that a comparison shows every name and value.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "foundation/codepages.h"
#include "tags/taglib.h"
#include "tags/vorbiscomments.h"

namespace tunbrix::test {

// "Name=value" for each item, in order.
inline std::vector<std::string> Items(const CTAG &tag) {
  std::vector<std::string> out;
  for (const auto &item : tag.Items)
    out.push_back(item.Name + "=" + WideToUtf8(item.Value));
  return out;
}

using PairList = std::vector<std::pair<std::string, std::string>>;

// Name and UTF-8 value of each comment, in order.
inline PairList Pairs(const CVorbisComments &list) {
  PairList out;
  for (const auto &c : list.Comments)
    out.emplace_back(c.Name, WideToUtf8(c.Value));
  return out;
}

} // namespace tunbrix::test
