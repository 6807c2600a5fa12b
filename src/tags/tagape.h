// The APE tag (versions 1.000 and 2.000) at the end of a file, before any
// ID3v1 tag and the Lyrics3 tag that may come with it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/codepages.h"
#include "foundation/file_io.h"
#include "tags/tagcommon.h"

namespace tunbrix {

// Item flags: bit 0 read-only, bits 1-2 the type (text 0, binary 1,
// external locator 2). The two type bits are kept apart so that the reserved
// type 3 survives a rewrite.
struct TApeItemFlags {
  bool ReadOnly = false;
  bool Binary = false;  // type bit 1
  bool Locator = false; // type bit 2
};

// The flags of a header or footer.
struct TApeTagFlags {
  bool HasHeader = false; // bit 31
  bool NoFooter = false;  // bit 30
  bool IsHeader = false;  // bit 29
  bool Binary = false;    // bit 1
  bool Locator = false;   // bit 2
  bool ReadOnly = false;  // bit 0
};

class CApeTagItem {
public:
  TApeItemFlags Flags;
  std::string Key;
  // The text of a text item or locator: the first of its values.
  WideString Value;
  // The value as stored. Binary items and locators are written from it as
  // they are; text items get it rebuilt from Value before writing (further
  // zero-separated values stay while the first is unchanged).
  Bytes RawValue;
  // Set by SetItem until the next write, so that repeated names join.
  bool SetMark = false;

  bool IsText() const { return !Flags.Binary && !Flags.Locator; }
};

class CAPETag {
public:
  // 0 a tag was found (its footer within the last 1 KiB) and its items read,
  // as far as they are whole; 1 no tag, a footer whose size cannot be right,
  // or an I/O error.
  TagResult Read(IFileSystem &fs, const WideString &path);

  // Sets the item of that key (ASCII case-insensitive) to a text value; a
  // second call for the same key before a write appends ", " and the value.
  void SetItem(std::string_view key, const WideString &value);
  // First item of that key (ASCII case-insensitive), or nullptr.
  const CApeTagItem *FindItem(std::string_view key) const;

  // Replaces the old tag by the items. The ID3v1 and Lyrics3 tags after the
  // old tag are written back after the new one only when id3v1Follows is set.
  // 0 written; 1 failed, or there was no item to write (the old tag is then
  // removed all the same).
  TagResult Write(IFileSystem &fs, const WideString &path, bool id3v1Follows);
  // 0 removed, 2 no tag, 1 failed (also for a tag too damaged to cut out).
  TagResult Remove(IFileSystem &fs, const WideString &path);

  size_t ItemCount() const { return Items.size(); }
  // Sum over the items of key, value and their 9 bytes of framing.
  int64_t ItemsSize() const;

  std::vector<CApeTagItem> Items;
  int Version = 2000;
  TApeTagFlags TagFlags;
  // The size field of the footer, plus 32 for a header.
  int64_t TagSize = 0;
  int NameCase = 3; // 0 unchanged, 1 lower, 2 upper, 3 capitalised words
  int NameSort = 2; // 0 unchanged, 1 by key, 2 by value size

private:
  void FixUp();
  Bytes BuildTag() const;
};

} // namespace tunbrix
