// The program's INI store: one whole file parsed at once, lazily sorted
// indexes for cheap case-insensitive lookups, typed readers and writers on a
// current section, and the whole store written back in one piece.
//
// Names compare case-insensitively over ASCII letters only. Duplicate section
// and key names are kept and written; a lookup finds the first of them in file
// order. There are no inline comments, and a value never holds a double quote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

class IFileSystem;

struct TIniKey {
  std::string name;
  std::string value;
};

struct TIniSection {
  std::string name;
  std::vector<std::unique_ptr<TIniKey>> keys; // insertion (file) order
  bool keyIndexValid = false;
  std::vector<TIniKey *> sortedKeys; // by name, equal names in file order
  int32_t KeyCount() const { return static_cast<int32_t>(keys.size()); }
};

// Case-insensitive comparison: a-z fold onto A-Z, every other byte compares by
// its unsigned value. Negative, zero or positive like strcmp.
int CompareIniNames(std::string_view a, std::string_view b);

// The integer conversion of stored values: leading spaces, an optional sign,
// then decimal digits or hexadecimal after "$", "x", "X", "0x" or "0X"; the
// whole text must convert. Decimal must fit the signed type; hexadecimal may
// use the full width as a bit pattern ("$FFFFFFFF" is -1 as int32), as exit
// codes such as $C0000005 are written. nullopt when it does not convert.
std::optional<int32_t> IniStrToInt(std::string_view text);
std::optional<int64_t> IniStrToInt64(std::string_view text);

class TFastini {
public:
  TFastini() = default;
  ~TFastini();
  TFastini(const TFastini &) = delete;
  TFastini &operator=(const TFastini &) = delete;

  // False, with the store unchanged, when the file cannot be opened or read in
  // full or is empty; otherwise the store holds exactly the file's contents.
  bool LoadFromFile(IFileSystem &fs, const WideString &path);
  bool LoadFromFile(const WideString &path);
  // False, with the store unchanged, for no buffer or length 0.
  bool LoadFromBuffer(const void *bytes, size_t length);
  bool LoadFromBuffer(std::string_view bytes) { return LoadFromBuffer(bytes.data(), bytes.size()); }

  // Replaces the file in one step: the new text goes to a temporary file in
  // the same folder, which is then renamed over the old one, so the file is
  // always either the old or the new one. On failure the old file is kept and
  // the result is false. A store without sections leaves an empty file and
  // returns false. The replacement keeps the permissions of the file it
  // replaces; the path-only overload writes to the disk, gives a new file the
  // mode of a newly created file and writes through a symbolic link.
  bool SaveToFile(IFileSystem &fs, const WideString &path);
  bool SaveToFile(const WideString &path);
  // The exact text that SaveToFile writes.
  std::string Serialise();

  void DeleteAllUnits();
  // Frees one section of this store; there is no current section afterwards.
  void DeleteSection(TIniSection *section);
  // Deletes the first section of this name, if any; no current section afterwards.
  void EraseSection(std::string_view name);
  // Every section name in file order, duplicates included.
  void ReadSectionNames(std::vector<std::string> &list);
  // Name, value, name, value ... of the section's keys in sorted order.
  void ReadSectionPairs(std::string_view section, std::vector<std::string> &list);

  // Makes the section current, creating an empty one if there is none. Always true.
  bool SelectSection(std::string_view name);
  // Makes the section current if it exists, else leaves no current section.
  bool FindSection(std::string_view name);
  TIniSection *CurrentSection() const { return current_; }

  int32_t SectionCount() const { return static_cast<int32_t>(sections_.size()); }
  // Every section in file order, for callers that walk the whole store.
  const std::vector<std::unique_ptr<TIniSection>> &Sections() const { return sections_; }

  // Readers act on the current section and return the default when there is
  // none or the key is missing.
  bool ReadBool(std::string_view key, bool defaultValue);
  int32_t ReadInteger(std::string_view key, int32_t defaultValue);
  int64_t ReadInt64(std::string_view key, int64_t defaultValue);
  std::string ReadString(std::string_view key, std::string_view defaultValue);
  WideString ReadWideString(std::string_view key, const WideString &defaultValue);

  // Writers act on the current section (nothing happens without one): they
  // replace the value of the key of that name, or add the key.
  void WriteBool(std::string_view key, bool value);
  void WriteInteger(std::string_view key, int32_t value);
  void WriteInt64(std::string_view key, int64_t value);
  void WriteString(std::string_view key, std::string_view value);
  void WriteWideString(std::string_view key, const WideString &value);

  // A numbered list: the section holds only the items, under n0 ... n9 for up
  // to ten items, else zero-padded to one width (n00 ... n10, n000 ... n099),
  // so the sorted key order is the list order. Writing makes the list's
  // section current; reading leaves the current section alone.
  void WriteWideStringList(std::string_view section, const std::vector<WideString> &list);
  void ReadWideStringList(std::string_view section, std::vector<WideString> &list);

private:
  void BuildSectionIndex();
  static void BuildKeyIndex(TIniSection &section);
  TIniSection *Lookup(std::string_view name);
  TIniSection *AddSection(std::string name);
  const TIniKey *FindKey(std::string_view key);
  void SetValue(std::string_view key, std::string value);

  std::vector<std::unique_ptr<TIniSection>> sections_; // insertion (file) order
  bool indexValid_ = false;
  std::vector<TIniSection *> sortedSections_; // by name, equal names in file order
  TIniSection *current_ = nullptr;
};

} // namespace tunbrix
