#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "foundation/file_io.h"

namespace tunbrix {
namespace {

class PosixFile final : public IFile {
public:
  // sizeAtOpen is what the open's own fstat saw: the first Size() after
  // opening costs no further call.
  PosixFile(int fd, int64_t sizeAtOpen) : fd_(fd), sizeAtOpen_(sizeAtOpen) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile &) = delete;
  PosixFile &operator=(const PosixFile &) = delete;

  int64_t Read(void *buf, size_t count) override {
    for (;;) {
      const ssize_t got = ::read(fd_, buf, count);
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }
  int64_t ReadFrom(int64_t position, void *buf, size_t count) override {
    if (position < 0) return -1;
    for (;;) {
      const ssize_t got = ::pread(fd_, buf, count, position);
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }
  bool Write(const void *buf, size_t count) override {
    sizeAtOpen_ = -1;
    auto *p = static_cast<const uint8_t *>(buf);
    while (count > 0) {
      const ssize_t put = ::write(fd_, p, count);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      p += put;
      count -= static_cast<size_t>(put);
    }
    return true;
  }
  bool Seek(int64_t position) override {
    return position >= 0 && ::lseek(fd_, position, SEEK_SET) == position;
  }
  int64_t Position() override { return ::lseek(fd_, 0, SEEK_CUR); }
  int64_t Size() override {
    if (const int64_t size = std::exchange(sizeAtOpen_, -1); size >= 0) return size;
    struct stat st;
    return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
  }
  bool Truncate(int64_t size) override {
    sizeAtOpen_ = -1;
    return size >= 0 && ::ftruncate(fd_, size) == 0;
  }
  bool Flush() override { return ::fdatasync(fd_) == 0; }

private:
  int fd_;
  int64_t sizeAtOpen_;
};

int OpenFlags(FileMode mode) {
  switch (mode) {
  case FileMode::Read: return O_RDONLY;
  case FileMode::ReadWrite: return O_RDWR;
  case FileMode::CreateAlways: return O_RDWR | O_CREAT | O_TRUNC;
  case FileMode::CreateNew: return O_RDWR | O_CREAT | O_EXCL;
  case FileMode::OpenAlways: return O_RDWR | O_CREAT;
  }
  return O_RDONLY;
}

} // namespace

std::unique_ptr<IFile> RealFileSystem::Open(const WideString &path, FileMode mode) {
  const std::string native = ToNativePath(path);
  // Opened without blocking, so that a FIFO or device named like an audio
  // file cannot hang us; only regular files are files here. The flag may
  // stay set: it has no effect on a regular file.
  const int fd = ::open(native.c_str(), OpenFlags(mode) | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd, st.st_size);
}

bool RealFileSystem::Rename(const WideString &from, const WideString &to) {
  return ::rename(ToNativePath(from).c_str(), ToNativePath(to).c_str()) == 0;
}

bool RealFileSystem::Remove(const WideString &path) {
  return ::unlink(ToNativePath(path).c_str()) == 0;
}

bool RealFileSystem::Exists(const WideString &path) {
  struct stat st;
  return ::stat(ToNativePath(path).c_str(), &st) == 0;
}

WideString RealFileSystem::MakeTempFile(const WideString &directory, const WideString &prefix) {
  std::string name = directory.empty() ? std::string(".") : ToNativePath(directory);
  if (name.back() != '/') name += '/';
  name += ToNativePath(prefix) + "XXXXXX.tmp";
  const int fd = ::mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd < 0) return {};
  ::close(fd);
  return FromNativePath(name);
}

bool RealFileSystem::CopyPermissions(const WideString &from, const WideString &to) {
  struct stat st;
  if (::stat(ToNativePath(from).c_str(), &st) != 0) return errno == ENOENT;
  return ::chmod(ToNativePath(to).c_str(), st.st_mode & 07777) == 0;
}

} // namespace tunbrix
