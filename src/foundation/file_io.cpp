#include "foundation/file_io.h"

#include <algorithm>
#include <cstring>

namespace tunbrix {

bool ReadExact(IFile &file, void *buf, size_t count) {
  auto *out = static_cast<uint8_t *>(buf);
  while (count > 0) {
    const int64_t got = file.Read(out, count);
    if (got <= 0) return false;
    out += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

bool ReadAt(IFile &file, int64_t position, void *buf, size_t count) {
  return file.Seek(position) && ReadExact(file, buf, count);
}

std::optional<Bytes> ReadUpTo(IFile &file, int64_t position, size_t count) {
  if (position < 0 || !file.Seek(position)) return std::nullopt;
  Bytes out(count);
  size_t have = 0;
  while (have < count) {
    const int64_t got = file.Read(out.data() + have, count - have);
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  out.resize(have);
  return out;
}

std::optional<Bytes> ReadAll(IFile &file) {
  const int64_t size = file.Size();
  if (size < 0) return std::nullopt;
  Bytes out(static_cast<size_t>(size));
  if (size > 0 && !ReadAt(file, 0, out.data(), out.size())) return std::nullopt;
  return out;
}

bool WriteAt(IFile &file, int64_t position, const void *buf, size_t count) {
  return file.Seek(position) && file.Write(buf, count);
}

bool CopyRange(IFile &source, int64_t sourcePos, int64_t count, IFile &target) {
  constexpr size_t kChunk = 1 << 20;
  Bytes buf(static_cast<size_t>(std::min<int64_t>(count, kChunk)));
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(count, kChunk));
    if (!ReadAt(source, sourcePos, buf.data(), n) || !target.Write(buf.data(), n)) return false;
    sourcePos += static_cast<int64_t>(n);
    count -= static_cast<int64_t>(n);
  }
  return true;
}

std::optional<Bytes> ReadWholeFile(IFileSystem &fs, const WideString &path) {
  auto file = fs.Open(path, FileMode::Read);
  if (!file) return std::nullopt;
  return ReadAll(*file);
}

// ---- MemoryFile

int64_t MemoryFile::Read(void *buf, size_t count) {
  const int64_t size = Size();
  if (position_ >= size) return 0;
  const size_t n =
      static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size - position_));
  std::memcpy(buf, data_->data() + position_, n);
  position_ += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

bool MemoryFile::Write(const void *buf, size_t count) {
  const size_t end = static_cast<size_t>(position_) + count;
  if (end > data_->size()) data_->resize(end);
  if (count > 0) std::memcpy(data_->data() + position_, buf, count);
  position_ = static_cast<int64_t>(end);
  return true;
}

bool MemoryFile::Seek(int64_t position) {
  if (position < 0) return false;
  position_ = position;
  return true;
}

bool MemoryFile::Truncate(int64_t size) {
  if (size < 0) return false;
  data_->resize(static_cast<size_t>(size));
  return true;
}

// ---- MemoryFileSystem

std::unique_ptr<IFile> MemoryFileSystem::Open(const WideString &path, FileMode mode) {
  auto it = files_.find(path);
  const bool exists = it != files_.end();
  switch (mode) {
  case FileMode::Read:
  case FileMode::ReadWrite:
    if (!exists) return nullptr;
    break;
  case FileMode::CreateNew:
    if (exists) return nullptr;
    [[fallthrough]];
  case FileMode::CreateAlways:
  case FileMode::OpenAlways:
    if (!exists) it = files_.emplace(path, std::make_shared<Bytes>()).first;
    if (mode == FileMode::CreateAlways) it->second->clear();
    break;
  }
  return std::make_unique<MemoryFile>(it->second);
}

bool MemoryFileSystem::Rename(const WideString &from, const WideString &to) {
  auto it = files_.find(from);
  if (it == files_.end()) return false;
  if (from == to) return true;
  auto data = it->second;
  files_.erase(it);
  files_[to] = std::move(data);
  return true;
}

bool MemoryFileSystem::Remove(const WideString &path) { return files_.erase(path) > 0; }

bool MemoryFileSystem::Exists(const WideString &path) { return files_.count(path) > 0; }

WideString MemoryFileSystem::MakeTempFile(const WideString &directory, const WideString &prefix) {
  for (;;) {
    WideString name = directory;
    if (!name.empty() && name.back() != u'/') name += u'/';
    name += prefix + AsciiToWide(std::to_string(++tempCounter_)) + u".tmp";
    if (!files_.count(name)) {
      files_.emplace(name, std::make_shared<Bytes>());
      return name;
    }
  }
}

bool MemoryFileSystem::CopyPermissions(const WideString &, const WideString &to) {
  return files_.count(to) > 0;
}

void MemoryFileSystem::SetFile(const WideString &path, Bytes data) {
  files_[path] = std::make_shared<Bytes>(std::move(data));
}

std::optional<Bytes> MemoryFileSystem::GetFile(const WideString &path) const {
  auto it = files_.find(path);
  if (it == files_.end()) return std::nullopt;
  return *it->second;
}

std::vector<WideString> MemoryFileSystem::FileNames() const {
  std::vector<WideString> names;
  for (const auto &entry : files_)
    names.push_back(entry.first);
  return names;
}

// ---- fault injection

namespace {

class FaultInjectingFile final : public IFile {
public:
  FaultInjectingFile(std::unique_ptr<IFile> inner, FaultInjector &faults)
      : inner_(std::move(inner)), faults_(faults) {}
  int64_t Read(void *buf, size_t count) override {
    if (faults_.NextCallFails()) return -1;
    const int64_t got = inner_->Read(buf, count);
    if (got > 0) faults_.stats.bytesRead += got;
    return got;
  }
  int64_t ReadFrom(int64_t position, void *buf, size_t count) override {
    if (faults_.NextCallFails()) return -1;
    const int64_t got = inner_->ReadFrom(position, buf, count);
    if (got > 0) faults_.stats.bytesRead += got;
    return got;
  }
  bool Write(const void *buf, size_t count) override {
    if (faults_.NextCallFails()) return false;
    faults_.stats.bytesWritten += static_cast<int64_t>(count);
    return inner_->Write(buf, count);
  }
  bool Seek(int64_t position) override {
    return !faults_.NextCallFails() && inner_->Seek(position);
  }
  int64_t Position() override { return inner_->Position(); }
  int64_t Size() override { return faults_.NextCallFails() ? -1 : inner_->Size(); }
  bool Truncate(int64_t size) override {
    return !faults_.NextCallFails() && inner_->Truncate(size);
  }
  bool Flush() override { return !faults_.NextCallFails() && inner_->Flush(); }

private:
  std::unique_ptr<IFile> inner_;
  FaultInjector &faults_;
};

} // namespace

std::unique_ptr<IFile> FaultInjectingFileSystem::Open(const WideString &path, FileMode mode) {
  if (faults_.NextCallFails()) return nullptr;
  auto file = inner_.Open(path, mode);
  if (!file) return nullptr;
  return std::make_unique<FaultInjectingFile>(std::move(file), faults_);
}

bool FaultInjectingFileSystem::Rename(const WideString &from, const WideString &to) {
  return !faults_.NextCallFails() && inner_.Rename(from, to);
}

bool FaultInjectingFileSystem::Remove(const WideString &path) {
  return !faults_.NextCallFails() && inner_.Remove(path);
}

bool FaultInjectingFileSystem::Exists(const WideString &path) {
  return !faults_.NextCallFails() && inner_.Exists(path);
}

WideString FaultInjectingFileSystem::MakeTempFile(const WideString &directory,
                                                  const WideString &prefix) {
  if (faults_.NextCallFails()) return {};
  return inner_.MakeTempFile(directory, prefix);
}

bool FaultInjectingFileSystem::CopyPermissions(const WideString &from, const WideString &to) {
  return !faults_.NextCallFails() && inner_.CopyPermissions(from, to);
}

} // namespace tunbrix
