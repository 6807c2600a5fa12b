// The one file interface of the tag and analysis code. Real files and
// in-memory files implement it, and a fault-injecting wrapper lets a test make
// any single call fail, so every write path can be shown to lose nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix {

using Bytes = std::vector<uint8_t>;

enum class FileMode {
  Read,         // existing file, read only
  ReadWrite,    // existing file, read and write
  CreateAlways, // create or truncate, read and write
  CreateNew,    // create, failing when the file exists, read and write
  OpenAlways,   // open or create without truncating, read and write
};

class IFile {
public:
  virtual ~IFile() = default;
  // Bytes read into buf (0 at the end of the file), or -1 on failure.
  virtual int64_t Read(void *buf, size_t count) = 0;
  // Read from an absolute position in one call where the platform can. The
  // position afterwards is the implementation's: a caller that goes on with
  // Read seeks first.
  virtual int64_t ReadFrom(int64_t position, void *buf, size_t count) {
    return Seek(position) ? Read(buf, count) : -1;
  }
  // True only when every byte was written.
  virtual bool Write(const void *buf, size_t count) = 0;
  // Absolute position; a position past the end is allowed (a later write extends).
  virtual bool Seek(int64_t position) = 0;
  virtual int64_t Position() = 0;
  // The file's length, or -1 on failure.
  virtual int64_t Size() = 0;
  // Sets the length; the position is kept.
  virtual bool Truncate(int64_t size) = 0;
  // Makes the written bytes durable.
  virtual bool Flush() = 0;
};

class IFileSystem {
public:
  virtual ~IFileSystem() = default;
  // nullptr when the file cannot be opened in this mode.
  virtual std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) = 0;
  // Renames, replacing an existing target in one step.
  virtual bool Rename(const WideString &from, const WideString &to) = 0;
  virtual bool Remove(const WideString &path) = 0;
  virtual bool Exists(const WideString &path) = 0;
  // Creates an empty file with a unique name made from prefix in directory
  // ("" is the current directory) and returns its path; "" on failure.
  virtual WideString MakeTempFile(const WideString &directory, const WideString &prefix) = 0;
  // Gives `to` the permission bits of `from`, so that a private temporary
  // file that replaces `from` does not change who may use it. True when
  // `from` does not exist.
  virtual bool CopyPermissions(const WideString &from, const WideString &to) = 0;
};

// Helpers over IFile. Each reports failure as its result.
bool ReadExact(IFile &file, void *buf, size_t count);
bool ReadAt(IFile &file, int64_t position, void *buf, size_t count);
// Up to count bytes from position; shorter at the end of the file; nullopt on failure.
std::optional<Bytes> ReadUpTo(IFile &file, int64_t position, size_t count);
std::optional<Bytes> ReadAll(IFile &file);
bool WriteAt(IFile &file, int64_t position, const void *buf, size_t count);
// Copies count bytes from source at sourcePos to target's current position.
bool CopyRange(IFile &source, int64_t sourcePos, int64_t count, IFile &target);
// Reads a whole file; nullopt when it cannot be opened or read.
std::optional<Bytes> ReadWholeFile(IFileSystem &fs, const WideString &path);

// File names in the file system are the UTF-8 form of the wide name, with the
// surrogate escape for bytes that are not UTF-8.
inline std::string ToNativePath(std::u16string_view path) { return WideToUtf8(path); }
inline WideString FromNativePath(std::string_view path) { return Utf8ToWide(path); }

// The file system of the machine.
class RealFileSystem final : public IFileSystem {
public:
  std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) override;
  bool Rename(const WideString &from, const WideString &to) override;
  bool Remove(const WideString &path) override;
  bool Exists(const WideString &path) override;
  WideString MakeTempFile(const WideString &directory, const WideString &prefix) override;
  bool CopyPermissions(const WideString &from, const WideString &to) override;
};

// A file held in memory, for data read from the pack and for tests.
class MemoryFile final : public IFile {
public:
  MemoryFile() : data_(std::make_shared<Bytes>()) {}
  explicit MemoryFile(Bytes data) : data_(std::make_shared<Bytes>(std::move(data))) {}
  explicit MemoryFile(std::shared_ptr<Bytes> shared) : data_(std::move(shared)) {}
  int64_t Read(void *buf, size_t count) override;
  bool Write(const void *buf, size_t count) override;
  bool Seek(int64_t position) override;
  int64_t Position() override { return position_; }
  int64_t Size() override { return static_cast<int64_t>(data_->size()); }
  bool Truncate(int64_t size) override;
  bool Flush() override { return true; }
  const Bytes &Data() const { return *data_; }

private:
  std::shared_ptr<Bytes> data_;
  int64_t position_ = 0;
};

// A whole file system in memory. Open files share their contents with the
// name they were opened under, as POSIX files share an inode.
class MemoryFileSystem final : public IFileSystem {
public:
  std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) override;
  bool Rename(const WideString &from, const WideString &to) override;
  bool Remove(const WideString &path) override;
  bool Exists(const WideString &path) override;
  WideString MakeTempFile(const WideString &directory, const WideString &prefix) override;
  bool CopyPermissions(const WideString &from, const WideString &to) override;

  void SetFile(const WideString &path, Bytes data);
  // nullopt when there is no such file.
  std::optional<Bytes> GetFile(const WideString &path) const;
  std::vector<WideString> FileNames() const;

private:
  std::map<WideString, std::shared_ptr<Bytes>> files_;
  unsigned tempCounter_ = 0;
};

// Counts every call of the file interface and fails the one chosen.
struct IoStats {
  int64_t calls = 0;
  int64_t bytesRead = 0;
  int64_t bytesWritten = 0;
};

class FaultInjector {
public:
  // Call number n (1-based) fails; 0 fails none.
  void FailAt(int64_t n) { failAt_ = n; }
  // Counts one call and says whether it must fail.
  bool NextCallFails() { return ++stats.calls == failAt_; }
  bool Failed() const { return failAt_ > 0 && stats.calls >= failAt_; }
  IoStats stats;

private:
  int64_t failAt_ = 0;
};

// Wraps a file system: every call on it and on the files it opens goes
// through the injector. The injector and the inner file system must outlive
// the wrapper and every file it opened.
class FaultInjectingFileSystem final : public IFileSystem {
public:
  FaultInjectingFileSystem(IFileSystem &inner, FaultInjector &faults)
      : inner_(inner), faults_(faults) {}
  std::unique_ptr<IFile> Open(const WideString &path, FileMode mode) override;
  bool Rename(const WideString &from, const WideString &to) override;
  bool Remove(const WideString &path) override;
  bool Exists(const WideString &path) override;
  WideString MakeTempFile(const WideString &directory, const WideString &prefix) override;
  bool CopyPermissions(const WideString &from, const WideString &to) override;

private:
  IFileSystem &inner_;
  FaultInjector &faults_;
};

} // namespace tunbrix
