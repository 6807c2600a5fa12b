// The tag fields of command-line templates, read from a file's aggregate tag.
#pragma once

#include "scripts/templates.h"
#include "tags/taglib.h"

namespace tunbrix {

// Borrows the tag; it must outlive this object.
class CTagFields final : public ITagFieldSource {
public:
  explicit CTagFields(const CTAG &tag) : tag_(tag) {}
  WideString GetItem(std::string_view name) const override { return tag_.GetItem(name); }

private:
  const CTAG &tag_;
};

} // namespace tunbrix
