// One analysis asks the same file many times: every tag format looks at the
// head or the tail, then the stream reader at its windows. Through this file
// system all read-only opens of one path share a single open file and a few
// cached stretches of it, so the whole analysis costs one open and a handful of
// reads. Meant to live for one task over files that do not change meanwhile.
#pragma once

#include <map>
#include <memory>

#include "foundation/file_io.h"

namespace tunbrix {

class CSharedReadFile;

class CReadCacheFileSystem final : public IFileSystem {
public:
  // Reads above this size go to the file directly, uncached.
  static constexpr size_t kLargeRead = 64 * 1024;
  static constexpr size_t kStretches = 8;

  // The inner file system must outlive this one and every file it opened.
  explicit CReadCacheFileSystem(IFileSystem &inner) : inner_(inner) {}

  // A read-only open is served from the shared file; any other mode opens
  // the inner file and drops what was cached of the path.
  std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) override;
  bool Rename(const WideString &from, const WideString &to) override;
  bool Remove(const WideString &path) override;
  bool Exists(const WideString &path) override;
  WideString MakeTempFile(const WideString &directory, const WideString &prefix) override;
  bool CopyPermissions(const WideString &from, const WideString &to) override;

private:
  void Forget(const WideString &path) { shared_.erase(path); }

  IFileSystem &inner_;
  std::map<WideString, std::shared_ptr<CSharedReadFile>> shared_;
};

} // namespace tunbrix
