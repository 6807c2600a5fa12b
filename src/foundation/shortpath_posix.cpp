#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "foundation/file_io.h"
#include "foundation/shortpath.h"
#include "foundation/text_types.h"

namespace tunbrix {
namespace {

std::string CurrentFolder() {
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  return cwd ? cwd.get() : ".";
}

std::string AbsoluteNative(const WideString &path) {
  const std::string native = ToNativePath(path);
  if (!native.empty() && native[0] == '/') return native;
  return CurrentFolder() + "/" + native;
}

bool RealPath(const std::string &path, std::string &resolved) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  if (!real) return false;
  resolved = real.get();
  return true;
}

// The real path of path, or of its folder followed by its name when only the
// folder exists, or path as written.
std::string ResolvedPath(const WideString &path) {
  const std::string native = ToNativePath(path);
  std::string resolved;
  if (RealPath(native, resolved)) return resolved;
  const WideString name = ExtractFileNameW(path);
  if (name.empty()) return native;
  const WideString written = ExtractFilePathW(path);
  const WideString folder = written.empty() ? WideString(1, u'.') : written;
  if (RealPath(ToNativePath(folder), resolved))
    return (resolved == "/" ? "" : resolved) + "/" + ToNativePath(name);
  return native;
}

} // namespace

CShortPathAliases::~CShortPathAliases() {
  for (const auto &[path, alias] : aliases_) {
    std::string link = ToNativePath(alias);
    if (!link.empty() && link.back() == '/') link.pop_back();
    ::unlink(link.c_str());
  }
  if (!folder_.empty()) ::rmdir(ToNativePath(folder_).c_str());
}

bool CShortPathAliases::EnsureFolder() {
  if (!folder_.empty()) return true;
  std::string pattern = ToNativePath(parent_) + "tunbrix-alias-XXXXXX";
  if (!::mkdtemp(pattern.data())) return false;
  folder_ = FromNativePath(pattern) + u'/';
  return true;
}

bool CShortPathAliases::MakeLink(const WideString &target, const WideString &alias) {
  return ::symlink(AbsoluteNative(target).c_str(), ToNativePath(alias).c_str()) == 0;
}

bool IsSameFileW(const WideString &a, const WideString &b) {
  return a == b || ResolvedPath(a) == ResolvedPath(b);
}

} // namespace tunbrix
