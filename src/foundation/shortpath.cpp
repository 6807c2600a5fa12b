#include "foundation/shortpath.h"

#include <algorithm>

#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"

namespace tunbrix {
namespace {

constexpr char kAliasAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kAliasNameLength = 8;
// Enough tries to get past any names taken by chance in a private folder.
constexpr int kAliasAttempts = 16;

bool IsPlainExtension(const WideString &extension) {
  return extension.size() >= 2 &&
         std::all_of(extension.begin() + 1, extension.end(), [](WideChar c) {
           return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
         });
}

} // namespace

bool NeedsShortPathAlias(const WideString &path) {
  if (!path.empty() && path.back() == u'\\') return true;
  return std::any_of(path.begin(), path.end(),
                     [](WideChar c) { return c == u'"' || c < 32 || c == 127; });
}

CShortPathAliases::CShortPathAliases(WideString parentFolder)
    : parent_(parentFolder.empty() ? GetTempDirectoryW() : IncludeTrailingBackslashW(parentFolder)),
      random_(std::random_device{}()) {}

WideString CShortPathAliases::ShortPathW(const WideString &path) {
  if (!NeedsShortPathAlias(path)) return path;
  if (auto it = aliases_.find(path); it != aliases_.end()) return it->second;
  if (!EnsureFolder()) return path;

  const bool isFolder = path.size() > 1 && path.back() == u'/';
  const WideString target = isFolder ? path.substr(0, path.size() - 1) : path;
  for (int attempt = 0; attempt < kAliasAttempts; ++attempt) {
    const WideString alias = folder_ + NewAliasName(target);
    if (!MakeLink(target, alias)) continue;
    const WideString result = isFolder ? alias + u'/' : alias;
    aliases_.emplace(path, result);
    return result;
  }
  return path;
}

WideString CShortPathAliases::NewAliasName(const WideString &path) {
  std::uniform_int_distribution<size_t> pick(0, sizeof(kAliasAlphabet) - 2);
  WideString name;
  for (int i = 0; i < kAliasNameLength; ++i)
    name += static_cast<WideChar>(kAliasAlphabet[pick(random_)]);
  const WideString extension = ExtractFileExtW(path);
  return IsPlainExtension(extension) ? name + extension : name;
}

} // namespace tunbrix
