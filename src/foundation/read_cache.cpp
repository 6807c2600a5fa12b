#include "foundation/read_cache.h"

#include <algorithm>
#include <cstring>

namespace tunbrix {

// The one open file of a path and the stretches of it read so far. A miss
// reads the pages around the request in one call, and near the end of the
// file at least the last kTailSize bytes, where every appended tag and the
// last stream page or frame are looked for. The least recently used stretch
// is replaced.
class CSharedReadFile {
public:
  CSharedReadFile(std::unique_ptr<IFile> file, int64_t size)
      : file_(std::move(file)), size_(size) {}

  int64_t Size() const { return size_; }

  // Up to count bytes from position (fewer at the end), or -1 on failure.
  int64_t Read(int64_t position, uint8_t *out, size_t count) {
    if (position >= size_ || count == 0) return 0;
    count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size_ - position));
    // A large read (a picture, an audio range) would only push the small
    // head and tail stretches out of the cache.
    if (count > kLargeRead) return ReadDirect(position, out, count);
    const TStretch *stretch = Find(position, count);
    if (!stretch) stretch = Fill(position, count);
    if (!stretch) return -1;
    if (stretch->start + static_cast<int64_t>(stretch->data.size()) <= position)
      return 0; // the file became shorter
    const size_t offset = static_cast<size_t>(position - stretch->start);
    const size_t n = std::min(count, stretch->data.size() - offset);
    std::memcpy(out, stretch->data.data() + offset, n);
    return static_cast<int64_t>(n);
  }

private:
  static constexpr int64_t kPage = 4096;
  static constexpr int64_t kTailSize = 8192;
  static constexpr size_t kLargeRead = CReadCacheFileSystem::kLargeRead;
  struct TStretch {
    int64_t start = 0;
    Bytes data;
    uint64_t lastUse = 0;
  };

  int64_t ReadDirect(int64_t position, uint8_t *out, size_t count) {
    size_t done = 0;
    while (done < count) {
      const int64_t got =
          file_->ReadFrom(position + static_cast<int64_t>(done), out + done, count - done);
      if (got < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
      if (got == 0) break;
      done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
  }

  const TStretch *Find(int64_t position, size_t count) {
    for (auto &stretch : stretches_) {
      const int64_t end = stretch.start + static_cast<int64_t>(stretch.data.size());
      if (stretch.start <= position && position + static_cast<int64_t>(count) <= end) {
        stretch.lastUse = ++clock_;
        return &stretch;
      }
    }
    return nullptr;
  }

  const TStretch *Fill(int64_t position, size_t count) {
    int64_t start = position / kPage * kPage;
    int64_t end =
        std::min(size_, (position + static_cast<int64_t>(count) + kPage - 1) / kPage * kPage);
    if (end == size_) start = std::max<int64_t>(0, std::min(start, size_ - kTailSize));
    TStretch *slot = nullptr;
    if (stretches_.size() < CReadCacheFileSystem::kStretches) {
      slot = &stretches_.emplace_back();
    } else {
      slot = &*std::min_element(
          stretches_.begin(), stretches_.end(),
          [](const TStretch &a, const TStretch &b) { return a.lastUse < b.lastUse; });
    }
    slot->data.resize(static_cast<size_t>(end - start));
    const int64_t got = ReadDirect(start, slot->data.data(), slot->data.size());
    if (got < 0) {
      slot->data.clear();
      return nullptr;
    }
    slot->start = start;
    slot->data.resize(static_cast<size_t>(got));
    slot->lastUse = ++clock_;
    return slot;
  }

  std::unique_ptr<IFile> file_;
  int64_t size_;
  std::vector<TStretch> stretches_;
  uint64_t clock_ = 0;
};

namespace {

// A read-only file over the shared one, with a position of its own.
class CachedFileView final : public IFile {
public:
  explicit CachedFileView(std::shared_ptr<CSharedReadFile> shared) : shared_(std::move(shared)) {}
  int64_t Read(void *buf, size_t count) override {
    const int64_t got = shared_->Read(position_, static_cast<uint8_t *>(buf), count);
    if (got > 0) position_ += got;
    return got;
  }
  int64_t ReadFrom(int64_t position, void *buf, size_t count) override {
    return position < 0 ? -1 : shared_->Read(position, static_cast<uint8_t *>(buf), count);
  }
  bool Write(const void *, size_t) override { return false; }
  bool Seek(int64_t position) override {
    if (position < 0) return false;
    position_ = position;
    return true;
  }
  int64_t Position() override { return position_; }
  int64_t Size() override { return shared_->Size(); }
  bool Truncate(int64_t) override { return false; }
  bool Flush() override { return true; }

private:
  std::shared_ptr<CSharedReadFile> shared_;
  int64_t position_ = 0;
};

} // namespace

std::unique_ptr<IFile> CReadCacheFileSystem::Open(const WideString &path, FileMode mode) {
  if (mode != FileMode::Read) {
    Forget(path);
    return inner_.Open(path, mode);
  }
  auto found = shared_.find(path);
  if (found == shared_.end()) {
    auto file = inner_.Open(path, FileMode::Read);
    if (!file) return nullptr;
    const int64_t size = file->Size();
    if (size < 0) return nullptr;
    found = shared_.emplace(path, std::make_shared<CSharedReadFile>(std::move(file), size)).first;
  }
  return std::make_unique<CachedFileView>(found->second);
}

bool CReadCacheFileSystem::Rename(const WideString &from, const WideString &to) {
  Forget(from);
  Forget(to);
  return inner_.Rename(from, to);
}

bool CReadCacheFileSystem::Remove(const WideString &path) {
  Forget(path);
  return inner_.Remove(path);
}

bool CReadCacheFileSystem::Exists(const WideString &path) { return inner_.Exists(path); }

WideString CReadCacheFileSystem::MakeTempFile(const WideString &directory,
                                              const WideString &prefix) {
  return inner_.MakeTempFile(directory, prefix);
}

bool CReadCacheFileSystem::CopyPermissions(const WideString &from, const WideString &to) {
  return inner_.CopyPermissions(from, to);
}

} // namespace tunbrix
