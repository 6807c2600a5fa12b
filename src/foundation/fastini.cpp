#include "foundation/fastini.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "foundation/assertions.h"
#include "foundation/file_io.h"

namespace tunbrix {
namespace {

constexpr size_t kMaxParsedLength = 1024;
constexpr size_t kMaxPaddedNameWidth = 30;

bool IsLineEnd(uint8_t c) { return c == '\r' || c == '\n'; }
bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }
// "*" to "9" and "A" and above; "[" is taken before this is asked.
bool IsKeyStart(uint8_t c) { return (c >= 0x2A && c <= 0x39) || c >= 0x41; }
uint8_t FoldCase(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

// Blanks at either end only survive reloading inside quotes. A tab counts as
// well as a space, or a value starting with one would lose it.
bool NeedsQuotes(std::string_view value) {
  return !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
}

bool NameLess(std::string_view a, std::string_view b) { return CompareIniNames(a, b) < 0; }

template <typename Item> void SortByName(std::vector<Item *> &items) {
  // Stable, so equal names stay in file order and a lookup finds the first.
  std::stable_sort(items.begin(), items.end(),
                   [](const Item *a, const Item *b) { return NameLess(a->name, b->name); });
}

template <typename Item>
Item *FindByName(const std::vector<Item *> &sorted, std::string_view name) {
  auto it = std::lower_bound(
      sorted.begin(), sorted.end(), name,
      [](const Item *item, std::string_view n) { return NameLess(item->name, n); });
  return it != sorted.end() && CompareIniNames((*it)->name, name) == 0 ? *it : nullptr;
}

// Keeps a valid index valid: a new item goes after every equal name.
template <typename Item> void InsertSorted(std::vector<Item *> &sorted, Item *item) {
  auto it = std::upper_bound(sorted.begin(), sorted.end(), item, [](const Item *a, const Item *b) {
    return NameLess(a->name, b->name);
  });
  sorted.insert(it, item);
}

// ---- parsing

// Byte by byte, with two rules taken per line: a line whose first non-blank
// byte can start neither a header nor a key is skipped whole (so "#key=value"
// comments a key out), and a key without "=" never takes the next line as its
// value. A header name ends at the end of its line, so a header without "]"
// cannot swallow the lines after it.
class Parser {
public:
  Parser(const uint8_t *bytes, size_t length) : b_(bytes), n_(length) {}

  std::vector<std::unique_ptr<TIniSection>> Run() {
    size_t start = 0;
    // A byte-order mark from an editor is no part of the first line.
    if (n_ >= 3 && b_[0] == 0xEF && b_[1] == 0xBB && b_[2] == 0xBF) start = 3;
    size_t p = start;
    while (p < n_) {
      if (p == start || IsLineEnd(b_[p - 1])) {
        while (p < n_ && IsBlank(b_[p]))
          ++p;
        if (p == n_) break;
        if (b_[p] != '[' && !IsKeyStart(b_[p])) {
          p = LineEnd(p) + 1;
          continue;
        }
      }
      const uint8_t c = b_[p];
      if (c == ';')
        p = LineEnd(p);
      else if (c == '[')
        p = Header(p);
      else if (IsKeyStart(c))
        p = Key(p);
      ++p;
    }
    return std::move(sections_);
  }

private:
  size_t LineEnd(size_t p) const {
    while (p < n_ && !IsLineEnd(b_[p]))
      ++p;
    return p;
  }

  std::string Cut(size_t from, size_t to) const {
    return std::string(reinterpret_cast<const char *>(b_) + from,
                       std::min(to - from, kMaxParsedLength));
  }

  // Returns the position the main loop advances from.
  size_t Header(size_t p) {
    size_t q = p + 1;
    while (q < n_ && b_[q] != ']' && !IsLineEnd(b_[q]))
      ++q;
    sections_.push_back(std::make_unique<TIniSection>());
    sections_.back()->name = Cut(p + 1, q);
    section_ = sections_.back().get();
    return q < n_ && b_[q] == ']' ? q + 1 : q;
  }

  size_t Key(size_t p) {
    size_t stop = p;
    while (stop < n_ && b_[stop] != '=' && !IsLineEnd(b_[stop]))
      ++stop;
    size_t nameEnd = stop;
    while (nameEnd > p && (IsBlank(b_[nameEnd - 1]) || b_[nameEnd - 1] == '"'))
      --nameEnd;
    size_t end = stop;
    size_t valueFrom = stop, valueTo = stop;
    if (stop < n_ && b_[stop] == '=') {
      valueFrom = stop + 1;
      while (valueFrom < n_ && IsBlank(b_[valueFrom]))
        ++valueFrom;
      if (valueFrom < n_ && b_[valueFrom] == '"') ++valueFrom;
      end = valueFrom;
      while (end < n_ && b_[end] != '"' && !IsLineEnd(b_[end]))
        ++end;
      valueTo = end;
      // A closing quote keeps the blanks before it.
      if (end == n_ || b_[end] != '"')
        while (valueTo > valueFrom && IsBlank(b_[valueTo - 1]))
          --valueTo;
    }
    if (section_) {
      auto key = std::make_unique<TIniKey>();
      key->name = Cut(p, nameEnd);
      key->value = Cut(valueFrom, valueTo);
      section_->keys.push_back(std::move(key));
    }
    return end;
  }

  const uint8_t *b_;
  size_t n_;
  std::vector<std::unique_ptr<TIniSection>> sections_;
  TIniSection *section_ = nullptr; // keys before the first header are dropped
};

// ---- integers

int DigitValue(char c, unsigned base) {
  int d = -1;
  if (c >= '0' && c <= '9')
    d = c - '0';
  else if (c >= 'a' && c <= 'f')
    d = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    d = c - 'A' + 10;
  return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
}

template <typename T> std::optional<T> ParseInteger(std::string_view s) {
  using U = std::make_unsigned_t<T>;
  size_t i = 0;
  while (i < s.size() && s[i] == ' ')
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == s.size()) return std::nullopt;
  const unsigned base = hex ? 16 : 10;
  const U limit = hex ? std::numeric_limits<U>::max()
                      : static_cast<U>(static_cast<U>(std::numeric_limits<T>::max()) + negative);
  U magnitude = 0;
  for (; i < s.size(); ++i) {
    const int d = DigitValue(s[i], base);
    if (d < 0 || magnitude > (limit - static_cast<U>(d)) / base) return std::nullopt;
    magnitude = static_cast<U>(magnitude * base + static_cast<U>(d));
  }
  return static_cast<T>(negative ? static_cast<U>(U(0) - magnitude) : magnitude);
}

// ---- saving

using KeepAttributes = void (*)(const WideString &temp, const WideString &target);

WideString FolderOf(const WideString &path) {
  const size_t slash = path.rfind(u'/');
  return slash == WideString::npos ? WideString() : path.substr(0, slash + 1);
}

// Writes text to a temporary file beside path and renames it over path.
bool ReplaceFile(IFileSystem &fs, const WideString &path, const std::string &text,
                 KeepAttributes keep) {
  const WideString temp = fs.MakeTempFile(FolderOf(path), u".ini~");
  if (temp.empty()) return false;
  bool ok = false;
  {
    auto file = fs.Open(temp, FileMode::ReadWrite);
    // Durable before the rename, or a crash could leave an empty file behind.
    ok = file && (text.empty() || file->Write(text.data(), text.size())) && file->Flush();
  }
  if (ok && keep) keep(temp, path);
  if (ok && !keep) ok = fs.CopyPermissions(path, temp);
  ok = ok && fs.Rename(temp, path);
  if (!ok) fs.Remove(temp);
  return ok;
}

// umask() cannot be read without setting it, which would race with any other
// thread creating files; Linux shows it here instead.
std::optional<std::filesystem::perms> ProcessUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) != 0) continue;
    try {
      return static_cast<std::filesystem::perms>(std::stoul(line.substr(6), nullptr, 8) & 0777);
    } catch (const std::exception &) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The replacement gets the mode of the file it replaces; a new file the mode
// a newly created file gets, not the private mode of a temporary file.
void KeepModeOnDisk(const WideString &temp, const WideString &target) {
  namespace stdfs = std::filesystem;
  std::error_code ec;
  const stdfs::file_status st = stdfs::status(ToNativePath(target), ec);
  stdfs::perms mode;
  if (!ec && stdfs::is_regular_file(st)) {
    mode = st.permissions();
  } else {
    const auto umask = ProcessUmask();
    if (!umask) return;
    mode = static_cast<stdfs::perms>(0666) & ~*umask;
  }
  // Best effort: where modes cannot be set, the file system fixes them anyway.
  stdfs::permissions(ToNativePath(temp), mode, stdfs::perm_options::replace, ec);
}

// A symbolic link stays a link: the file it points at is replaced.
WideString ResolveLink(const WideString &path) {
  std::error_code ec;
  const std::filesystem::path native(ToNativePath(path));
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(native, ec))) return path;
  const std::filesystem::path real = std::filesystem::canonical(native, ec);
  return ec ? path : FromNativePath(real.string());
}

} // namespace

int CompareIniNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const uint8_t ca = FoldCase(static_cast<uint8_t>(a[i]));
    const uint8_t cb = FoldCase(static_cast<uint8_t>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::optional<int32_t> IniStrToInt(std::string_view text) { return ParseInteger<int32_t>(text); }
std::optional<int64_t> IniStrToInt64(std::string_view text) { return ParseInteger<int64_t>(text); }

TFastini::~TFastini() = default;

// ---- loading and saving

bool TFastini::LoadFromFile(IFileSystem &fs, const WideString &path) {
  std::optional<Bytes> bytes;
  try {
    bytes = ReadWholeFile(fs, path);
  } catch (const std::bad_alloc &) {
    return false; // a file far too large for an INI file
  } catch (const std::length_error &) {
    return false;
  }
  if (!bytes || bytes->empty()) return false;
  return LoadFromBuffer(bytes->data(), bytes->size());
}

bool TFastini::LoadFromFile(const WideString &path) {
  RealFileSystem fs;
  return LoadFromFile(fs, path);
}

bool TFastini::LoadFromBuffer(const void *bytes, size_t length) {
  if (!bytes || length == 0) return false;
  auto parsed = Parser(static_cast<const uint8_t *>(bytes), length).Run();
  DeleteAllUnits();
  sections_ = std::move(parsed);
  return true;
}

bool TFastini::SaveToFile(IFileSystem &fs, const WideString &path) {
  const std::string text = Serialise();
  return ReplaceFile(fs, path, text, nullptr) && !sections_.empty();
}

bool TFastini::SaveToFile(const WideString &path) {
  RealFileSystem fs;
  const std::string text = Serialise();
  return ReplaceFile(fs, ResolveLink(path), text, KeepModeOnDisk) && !sections_.empty();
}

std::string TFastini::Serialise() {
  BuildSectionIndex();
  const size_t count = sections_.size();
  std::vector<size_t> widths(count);
  size_t size = 0;
  for (size_t s = 0; s < count; ++s) {
    TB_CHECK(s < sortedSections_.size() && sortedSections_[s], "section = " + std::to_string(s));
    TIniSection &section = *sortedSections_[s];
    BuildKeyIndex(section);
    size += section.name.size() + 4 + 2; // "[" name "]" CR LF ... CR LF
    for (const TIniKey *key : section.sortedKeys)
      widths[s] = std::max(widths[s], std::min(key->name.size(), kMaxPaddedNameWidth));
    for (const TIniKey *key : section.sortedKeys)
      size += std::max(key->name.size(), widths[s]) + 3 + key->value.size() +
              (NeedsQuotes(key->value) ? 2 : 0) + 2;
  }

  std::string out;
  out.reserve(size);
  for (size_t s = 0; s < count; ++s) {
    const TIniSection &section = *sortedSections_[s];
    const size_t keyCount = section.sortedKeys.size();
    const auto where = [&](int step, size_t k) {
      return "{" + std::to_string(step) + "} section=" + std::to_string(s) + "/" +
             std::to_string(count) + " key=" + std::to_string(k) + "/" + std::to_string(keyCount) +
             " pos=" + std::to_string(out.size()) + "/" + std::to_string(size);
    };
    out += '[';
    out += section.name;
    out += "]\r\n";
    TB_CHECK(out.size() <= size, where(1, 0));
    for (size_t k = 0; k < keyCount; ++k) {
      const TIniKey &key = *section.sortedKeys[k];
      out += key.name;
      if (key.name.size() < widths[s]) out.append(widths[s] - key.name.size(), ' ');
      TB_CHECK(out.size() <= size, where(2, k));
      const bool quoted = NeedsQuotes(key.value);
      out += " = ";
      if (quoted) out += '"';
      out += key.value;
      if (quoted) out += '"';
      out += "\r\n";
      TB_CHECK(out.size() <= size, where(3, k));
    }
    out += "\r\n";
    TB_CHECK(out.size() <= size, where(4, keyCount));
  }
  return out;
}

// ---- store

void TFastini::DeleteAllUnits() {
  for (auto &section : sections_) {
    section->sortedKeys.clear();
    section->keys.clear();
    TB_CHECK(section->KeyCount() == 0,
             "TFastini.DeleteAllUnits: NumKeys = " + std::to_string(section->KeyCount()));
  }
  sections_.clear();
  sortedSections_.clear();
  indexValid_ = false;
  current_ = nullptr;
  TB_CHECK(SectionCount() == 0,
           "TFastini.DeleteAllUnits: NumSections = " + std::to_string(SectionCount()));
}

void TFastini::DeleteSection(TIniSection *section) {
  TB_CHECK(section != nullptr, "TFastini.DeleteSection: U = nil");
  auto it = std::find_if(sections_.begin(), sections_.end(),
                         [section](const auto &owned) { return owned.get() == section; });
  // A section that this store does not hold.
  TB_CHECK(it != sections_.end(), "TFastini.DeleteSection: U^.prev = nil");
  current_ = nullptr;
  if (indexValid_) std::erase(sortedSections_, section);
  sections_.erase(it);
  TB_CHECK(!indexValid_ || sortedSections_.size() == sections_.size(),
           "TFastini.DeleteSection: NumSections = " + std::to_string(SectionCount()));
}

void TFastini::EraseSection(std::string_view name) {
  if (TIniSection *section = Lookup(name)) DeleteSection(section);
  current_ = nullptr;
}

void TFastini::ReadSectionNames(std::vector<std::string> &list) {
  list.clear();
  for (const auto &section : sections_)
    list.push_back(section->name);
}

void TFastini::ReadSectionPairs(std::string_view section, std::vector<std::string> &list) {
  list.clear();
  TIniSection *found = Lookup(section);
  if (!found) return;
  BuildKeyIndex(*found);
  for (const TIniKey *key : found->sortedKeys) {
    list.push_back(key->name);
    list.push_back(key->value);
  }
}

bool TFastini::SelectSection(std::string_view name) {
  current_ = Lookup(name);
  if (!current_) current_ = AddSection(std::string(name));
  return true;
}

bool TFastini::FindSection(std::string_view name) {
  current_ = Lookup(name);
  return current_ != nullptr;
}

void TFastini::BuildSectionIndex() {
  if (indexValid_) return;
  sortedSections_.clear();
  sortedSections_.reserve(sections_.size());
  for (const auto &section : sections_)
    sortedSections_.push_back(section.get());
  SortByName(sortedSections_);
  indexValid_ = true;
}

void TFastini::BuildKeyIndex(TIniSection &section) {
  if (section.keyIndexValid) return;
  section.sortedKeys.clear();
  section.sortedKeys.reserve(section.keys.size());
  for (const auto &key : section.keys)
    section.sortedKeys.push_back(key.get());
  SortByName(section.sortedKeys);
  section.keyIndexValid = true;
}

TIniSection *TFastini::Lookup(std::string_view name) {
  BuildSectionIndex();
  return FindByName(sortedSections_, name);
}

TIniSection *TFastini::AddSection(std::string name) {
  sections_.push_back(std::make_unique<TIniSection>());
  TIniSection *section = sections_.back().get();
  section->name = std::move(name);
  if (indexValid_) InsertSorted(sortedSections_, section);
  return section;
}

const TIniKey *TFastini::FindKey(std::string_view key) {
  if (!current_) return nullptr;
  BuildKeyIndex(*current_);
  return FindByName(current_->sortedKeys, key);
}

void TFastini::SetValue(std::string_view key, std::string value) {
  if (!current_) return;
  BuildKeyIndex(*current_);
  if (TIniKey *found = FindByName(current_->sortedKeys, key)) {
    found->value = std::move(value);
    return;
  }
  current_->keys.push_back(std::make_unique<TIniKey>(TIniKey{std::string(key), std::move(value)}));
  InsertSorted(current_->sortedKeys, current_->keys.back().get());
}

// ---- typed access

bool TFastini::ReadBool(std::string_view key, bool defaultValue) {
  const TIniKey *found = FindKey(key);
  if (!found) return defaultValue;
  return found->value == "1" || found->value == "Y" || found->value == "TRUE";
}

int32_t TFastini::ReadInteger(std::string_view key, int32_t defaultValue) {
  const TIniKey *found = FindKey(key);
  return found ? IniStrToInt(found->value).value_or(defaultValue) : defaultValue;
}

int64_t TFastini::ReadInt64(std::string_view key, int64_t defaultValue) {
  const TIniKey *found = FindKey(key);
  return found ? IniStrToInt64(found->value).value_or(defaultValue) : defaultValue;
}

std::string TFastini::ReadString(std::string_view key, std::string_view defaultValue) {
  const TIniKey *found = FindKey(key);
  return std::string(found ? std::string_view(found->value) : defaultValue);
}

WideString TFastini::ReadWideString(std::string_view key, const WideString &defaultValue) {
  const TIniKey *found = FindKey(key);
  return found ? Utf8ToWide(found->value) : defaultValue;
}

void TFastini::WriteBool(std::string_view key, bool value) { SetValue(key, value ? "1" : "0"); }
void TFastini::WriteInteger(std::string_view key, int32_t value) {
  SetValue(key, std::to_string(value));
}
void TFastini::WriteInt64(std::string_view key, int64_t value) {
  SetValue(key, std::to_string(value));
}
void TFastini::WriteString(std::string_view key, std::string_view value) {
  SetValue(key, std::string(value));
}
void TFastini::WriteWideString(std::string_view key, const WideString &value) {
  SetValue(key, WideToUtf8(value));
}

// ---- numbered lists

void TFastini::WriteWideStringList(std::string_view section, const std::vector<WideString> &list) {
  SelectSection(section);
  TIniSection &target = *current_;
  target.keys.clear();
  target.sortedKeys.clear();
  target.keyIndexValid = false;
  // One digit width for the whole list, so that text order is list order.
  const size_t width = list.size() <= 10 ? 0 : std::to_string(list.size()).size();
  for (size_t i = 0; i < list.size(); ++i) {
    std::string index = std::to_string(i);
    if (index.size() < width) index.insert(0, width - index.size(), '0');
    target.keys.push_back(std::make_unique<TIniKey>(TIniKey{"n" + index, WideToUtf8(list[i])}));
  }
}

void TFastini::ReadWideStringList(std::string_view section, std::vector<WideString> &list) {
  list.clear();
  TIniSection *found = Lookup(section);
  if (!found) return;
  BuildKeyIndex(*found);
  for (const TIniKey *key : found->sortedKeys)
    list.push_back(Utf8ToWide(key->value));
}

} // namespace tunbrix
