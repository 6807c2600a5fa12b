#include "tags/file_patch.h"

#include "foundation/text_types.h"

namespace tunbrix {
namespace {

// Puts back what was there before a failed change. Each call may fail too;
// then nothing better can be done than to have tried.
void Restore(IFile &file, int64_t start, const Bytes &old, int64_t oldSize) {
  if (WriteAt(file, start, old.data(), old.size())) file.Truncate(oldSize);
}

} // namespace

bool ReplaceTail(IFile &file, int64_t start, const Bytes &replacement) {
  const int64_t oldSize = file.Size();
  if (oldSize < 0 || start < 0 || start > oldSize) return false;
  auto old = ReadUpTo(file, start, static_cast<size_t>(oldSize - start));
  if (!old || static_cast<int64_t>(old->size()) != oldSize - start) return false;
  const int64_t newSize = start + static_cast<int64_t>(replacement.size());
  if (!WriteAt(file, start, replacement.data(), replacement.size()) ||
      (newSize < oldSize && !file.Truncate(newSize))) {
    Restore(file, start, *old, oldSize);
    return false;
  }
  return true;
}

bool OverwriteRange(IFile &file, int64_t start, const Bytes &replacement) {
  const int64_t size = file.Size();
  if (size < 0 || start < 0 || start + static_cast<int64_t>(replacement.size()) > size)
    return false;
  Bytes old(replacement.size());
  if (!ReadAt(file, start, old.data(), old.size())) return false;
  if (!WriteAt(file, start, replacement.data(), replacement.size())) {
    Restore(file, start, old, size);
    return false;
  }
  return true;
}

bool RewriteThroughTempFile(IFileSystem &fs, const WideString &path, const WideString &prefix,
                            const std::function<bool(IFile &temp)> &write) {
  const WideString temp = MakeTempFileNameW(fs, path, prefix);
  if (temp.empty()) return false;
  bool ok = false;
  {
    auto file = fs.Open(temp, FileMode::ReadWrite);
    ok = file && write(*file) && file->Flush();
  }
  ok = ok && fs.CopyPermissions(path, temp) && fs.Rename(temp, path);
  if (!ok) fs.Remove(temp);
  return ok;
}

} // namespace tunbrix
