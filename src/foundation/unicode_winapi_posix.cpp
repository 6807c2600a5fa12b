#include "foundation/unicode_winapi.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "foundation/WinExc32.h"
#include "foundation/file_io.h"

extern char **environ;

namespace tunbrix {
namespace {

// ---- descriptors and errors

class UniqueFd {
public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // A failed close can mean lost data (NFS), so writers check it.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

private:
  int fd_;
};

// Undoes a step after a failure without hiding the error that caused it.
template <class F> void KeepingErrno(F undo) {
  const int error = errno;
  undo();
  errno = error;
}

// ---- directory entries

struct TStatInfo {
  mode_t mode = 0;
  uint64_t size = 0;
  FileTime creation = 0;
  FileTime access = 0;
  FileTime write = 0;
};

std::optional<TStatInfo> StatAt(int dirFd, const char *name, bool follow) {
  TStatInfo info;
#ifdef STATX_BTIME
  // statx is the only call that knows the birth time.
  struct statx sx;
  if (::statx(dirFd, name, follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &sx) == 0) {
    const auto &born = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
    info.mode = sx.stx_mode;
    info.size = sx.stx_size;
    info.creation = UnixToFileTime(born.tv_sec, born.tv_nsec);
    info.access = UnixToFileTime(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    info.write = UnixToFileTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    return info;
  }
  // Kernels or sandboxes without statx: plain stat below.
#endif
  struct stat st;
  if (::fstatat(dirFd, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  info.mode = st.st_mode;
  info.size = static_cast<uint64_t>(st.st_size);
  info.creation = UnixToFileTime(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  info.access = UnixToFileTime(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  info.write = UnixToFileTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  return info;
}

bool IsDotOrDotDot(std::string_view name) { return name == "." || name == ".."; }

// The name a path ends in, trailing "/" ignored; "" for the root.
std::string_view LastComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

uint32_t AttributesOf(const TStatInfo &info, std::string_view name, bool link) {
  uint32_t attributes = 0;
  if (!(info.mode & S_IWUSR)) attributes |= kAttrReadOnly;
  if (!name.empty() && name[0] == '.' && !IsDotOrDotDot(name)) attributes |= kAttrHidden;
  if (S_ISDIR(info.mode)) attributes |= kAttrDirectory;
  if (S_ISREG(info.mode)) attributes |= kAttrArchive;
  if (link) attributes |= kAttrReparse;
  return attributes;
}

// Fills data for path (relative to dirFd) whose entry is called leaf; false
// when it does not exist.
bool DescribeEntry(int dirFd, const char *path, std::string_view leaf, TWin32FindDataW &data) {
  const std::optional<TStatInfo> own = StatAt(dirFd, path, false);
  if (!own) return false;
  const bool link = S_ISLNK(own->mode);
  TStatInfo info = *own;
  // A link to a song should list as that song; a dangling one keeps its own facts.
  if (link) {
    if (const std::optional<TStatInfo> target = StatAt(dirFd, path, true)) info = *target;
  }
  data = TWin32FindDataW{};
  data.dwFileAttributes = AttributesOf(info, leaf, link);
  data.ftCreationTime = info.creation;
  data.ftLastAccessTime = info.access;
  data.ftLastWriteTime = info.write;
  data.nFileSize = S_ISREG(info.mode) ? info.size : 0;
  data.cFileName = FromNativePath(leaf);
  return true;
}

// ---- wildcard matching

// One element per character: a surrogate pair is one character, and ASCII
// letters are folded to lower case.
std::u32string MatchCharacters(const WideString &text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      c += 'a' - 'A';
    }
    out.push_back(c);
  }
  return out;
}

// "*" and "?" matching; after a mismatch only the latest "*" needs to take
// one more character, which keeps this linear in practice.
bool Glob(std::u32string_view mask, std::u32string_view name) {
  size_t m = 0, n = 0;
  size_t starMask = std::u32string_view::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == U'*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == U'?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (starMask != std::u32string_view::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == U'*')
    ++m;
  return m == mask.size();
}

bool MatchesMask(const std::u32string &mask, const WideString &name) {
  const std::u32string chars = MatchCharacters(name);
  if (Glob(mask, chars)) return true;
  // A final ".*" also stands for "no extension at all".
  const std::u32string_view view(mask);
  return view.size() >= 2 && view.substr(view.size() - 2) == U".*" &&
         Glob(view.substr(0, view.size() - 2), chars);
}

bool HasWildcards(const WideString &mask) { return mask.find_first_of(u"*?") != WideString::npos; }

// Folders list in a stable, readable order whatever the file system's own.
bool NameBefore(const std::string &a, const std::string &b) {
  const auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
  const bool less = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                                 [&](char x, char y) { return fold(x) < fold(y); });
  if (less) return true;
  const bool greater = std::lexicographical_compare(
      b.begin(), b.end(), a.begin(), a.end(), [&](char x, char y) { return fold(x) < fold(y); });
  return !greater && a < b;
}

struct DirCloser {
  void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

class PosixFind final : public TFindHandle {
public:
  PosixFind() = default;
  PosixFind(DirPtr dir, std::vector<std::string> names)
      : dir_(std::move(dir)), names_(std::move(names)) {}

  bool Next(TWin32FindDataW &data) {
    while (next_ < names_.size()) {
      const std::string &name = names_[next_++];
      // An entry removed since the folder was read is skipped.
      if (DescribeEntry(::dirfd(dir_.get()), name.c_str(), name, data)) return true;
    }
    return false;
  }

private:
  DirPtr dir_;
  std::vector<std::string> names_;
  size_t next_ = 0;
};

std::optional<std::vector<std::string>> ReadMatchingNames(DIR *dir, const WideString &mask) {
  const std::u32string maskChars = MatchCharacters(mask);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(dir);
    if (!entry) break;
    const std::string_view name = entry->d_name;
    if (IsDotOrDotDot(name)) continue;
    if (MatchesMask(maskChars, FromNativePath(name))) names.emplace_back(name);
  }
  if (errno != 0) return std::nullopt;
  std::sort(names.begin(), names.end(), NameBefore);
  return names;
}

// ---- moving

bool RenameNoReplace(const char *from, const char *to) {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
#endif
  // Without it, a hard link claims the new name atomically...
  if (::link(from, to) == 0) {
    if (::unlink(from) == 0) return true;
    KeepingErrno([&] { ::unlink(to); });
    return false;
  }
  if (errno == EEXIST || errno == EXDEV || errno == ENOENT) return false;
  // ... and where there are none (folders, some file systems) we look first.
  struct stat st;
  if (::lstat(to, &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from, to) == 0;
}

std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool WriteAll(int fd, const char *p, size_t count) {
  while (count > 0) {
    const ssize_t put = ::write(fd, p, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    count -= static_cast<size_t>(put);
  }
  return true;
}

bool CopyContents(int in, int out) {
  std::vector<char> buffer(1 << 18);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(got))) return false;
  }
}

std::optional<std::string> ReadLink(const char *path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t got = ::readlink(path, target.data(), target.size());
    if (got < 0) return std::nullopt;
    if (static_cast<size_t>(got) < target.size()) {
      target.resize(static_cast<size_t>(got));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

bool MoveLinkAcross(const char *from, const char *to) {
  const std::optional<std::string> target = ReadLink(from);
  if (!target || ::symlink(target->c_str(), to) != 0) return false;
  if (::unlink(from) == 0) return true;
  KeepingErrno([&] { ::unlink(to); });
  return false;
}

// Copies into a hidden file beside the target and gives it the target's name
// only when complete, so the target never appears half written and the
// source goes only once the copy is in place.
bool MoveFileAcross(const std::string &from, const std::string &to) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) return false;
  if (S_ISLNK(st.st_mode)) return MoveLinkAcross(from.c_str(), to.c_str());
  if (!S_ISREG(st.st_mode)) {
    errno = EXDEV;
    return false;
  }
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in.Valid()) return false;
  std::string temp = FolderOf(to) + ".tunbrix-move-XXXXXX";
  UniqueFd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (!out.Valid()) return false;
  bool ok = CopyContents(in.Get(), out.Get());
  if (ok) {
    // Keeping the owner is best effort; only root may give a file away.
    [[maybe_unused]] const int owned = ::fchown(out.Get(), st.st_uid, st.st_gid);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ::fchmod(out.Get(), st.st_mode & 07777) == 0 && ::futimens(out.Get(), times) == 0 &&
         ::fsync(out.Get()) == 0;
  }
  ok = out.Close() && ok;
  if (ok) ok = RenameNoReplace(temp.c_str(), to.c_str());
  if (!ok) {
    KeepingErrno([&] { ::unlink(temp.c_str()); });
    return false;
  }
  if (::unlink(from.c_str()) == 0) return true;
  // Two copies would make a "move" that did not happen: keep only the source.
  KeepingErrno([&] { ::unlink(to.c_str()); });
  return false;
}

// ---- command line

std::optional<std::string> ReadSmallFile(const char *path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return std::nullopt;
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) return bytes;
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

bool NeedsQuotes(const WideString &argument) {
  return argument.empty() || std::any_of(argument.begin(), argument.end(),
                                         [](WideChar c) { return c <= u' ' || c == u'"'; });
}

// Arguments are quoted only where they need it, so plain ones read as typed.
WideString QuoteIfNeeded(const WideString &argument) {
  return NeedsQuotes(argument) ? QuoteArgument(argument) : argument;
}

// The program name is read up to the closing quote with no escapes at all.
WideString QuoteProgramName(const WideString &name) {
  if (!NeedsQuotes(name)) return name;
  if (name.find(u'"') != WideString::npos) return QuoteArgument(name);
  return u"\"" + name + u"\"";
}

// ---- starting desktop programs

std::string FindInPath(const std::string &program) {
  const char *env = std::getenv("PATH");
  const std::string path = env && *env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(':', start);
    std::string dir = path.substr(start, end == std::string::npos ? end : end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + program;
    struct stat st;
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (end == std::string::npos) return {};
    start = end + 1;
  }
}

// A name starting with "-" would be read as an option.
std::string AsOperand(const std::string &name) { return name[0] == '-' ? "./" + name : name; }

// Starts argv[0] (a full path) in its own session with quiet standard input
// and output.
bool StartDetached(const std::vector<std::string> &argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  for (const int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD})
    sigaddset(&signals, sig);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
  flags |= POSIX_SPAWN_SETSID;
#endif
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  // The program is started from a short-lived intermediate child, so it is
  // adopted by init and never waits for us as a zombie; the program itself
  // starts no threads for this.
  int report[2];
  bool started = false;
  if (::pipe2(report, O_CLOEXEC) == 0) {
    const pid_t middle = ::fork();
    if (middle == 0) {
      pid_t pid = 0;
      const int rc = ::posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
      const char ok = rc == 0 ? 1 : 0;
      (void)!::write(report[1], &ok, 1);
      ::_exit(0);
    }
    ::close(report[1]);
    if (middle > 0) {
      char ok = 0;
      while (::read(report[0], &ok, 1) < 0 && errno == EINTR) {
      }
      started = ok == 1;
      int status = 0;
      while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
      }
    }
    ::close(report[0]);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return started;
}

bool StartFromPath(std::vector<std::string> argv) {
  const std::string program = FindInPath(argv[0]);
  if (program.empty()) return false;
  argv[0] = program;
  return StartDetached(argv);
}

} // namespace

// ---- directory search

std::unique_ptr<TFindHandle> FindFirstFileW(const WideString &pattern, TWin32FindDataW &data) {
  const size_t slash = pattern.rfind(u'/');
  const WideString mask = slash == WideString::npos ? pattern : pattern.substr(slash + 1);
  const std::string nativeMask = ToNativePath(mask);
  if (mask.empty() || IsDotOrDotDot(nativeMask)) return nullptr;
  if (!HasWildcards(mask)) {
    const std::string path = ToNativePath(pattern);
    if (!DescribeEntry(AT_FDCWD, path.c_str(), nativeMask, data)) return nullptr;
    return std::make_unique<PosixFind>();
  }
  const std::string folder =
      slash == WideString::npos ? std::string(".") : ToNativePath(pattern.substr(0, slash + 1));
  DirPtr dir(::opendir(folder.c_str()));
  if (!dir) return nullptr;
  std::optional<std::vector<std::string>> names = ReadMatchingNames(dir.get(), mask);
  if (!names) return nullptr;
  auto search = std::make_unique<PosixFind>(std::move(dir), std::move(*names));
  if (!search->Next(data)) return nullptr;
  return search;
}

bool FindNextFileW(TFindHandle &search, TWin32FindDataW &data) {
  auto *posix = dynamic_cast<PosixFind *>(&search);
  return posix && posix->Next(data);
}

// ---- files and folders

bool MoveFileW(const WideString &from, const WideString &to) {
  const std::string source = ToNativePath(from), target = ToNativePath(to);
  if (source.empty() || target.empty()) return false;
  if (RenameNoReplace(source.c_str(), target.c_str())) return true;
  return errno == EXDEV && MoveFileAcross(source, target);
}

bool DeleteFileW(const WideString &path) { return ::unlink(ToNativePath(path).c_str()) == 0; }

bool CreateDirectoryW(const WideString &path) {
  return ::mkdir(ToNativePath(path).c_str(), 0777) == 0;
}

bool DirectoryExistsW(const WideString &path) {
  struct stat st;
  return ::stat(ToNativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExistsW(const WideString &path) {
  struct stat st;
  return ::stat(ToNativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::optional<uint32_t> GetFileAttributesW(const WideString &path) {
  const std::string native = ToNativePath(path);
  TWin32FindDataW data;
  if (native.empty() || !DescribeEntry(AT_FDCWD, native.c_str(), LastComponent(native), data))
    return std::nullopt;
  return data.dwFileAttributes;
}

bool GetFileTimesW(const WideString &path, FileTime &lastAccess, FileTime &lastWrite) {
  const std::string native = ToNativePath(path);
  const std::optional<TStatInfo> info =
      native.empty() ? std::nullopt : StatAt(AT_FDCWD, native.c_str(), true);
  if (!info) return false;
  lastAccess = info->access;
  lastWrite = info->write;
  return true;
}

bool SetFileTimesW(const WideString &path, FileTime lastAccess, FileTime lastWrite) {
  timespec times[2];
  const FileTime wanted[2] = {lastAccess, lastWrite};
  for (int k = 0; k < 2; ++k) {
    int64_t seconds = 0, nanoseconds = 0;
    FileTimeToUnix(wanted[k], seconds, nanoseconds);
    times[k].tv_sec = static_cast<time_t>(seconds);
    times[k].tv_nsec = wanted[k] == 0 ? UTIME_OMIT : static_cast<long>(nanoseconds);
  }
  return ::utimensat(AT_FDCWD, ToNativePath(path).c_str(), times, 0) == 0;
}

// ---- process facts

WideString GetCommandLineW() {
  const std::optional<std::string> raw = ReadSmallFile("/proc/self/cmdline");
  if (!raw) return {};
  WideString line;
  size_t start = 0;
  for (bool first = true; start < raw->size(); first = false) {
    size_t end = raw->find('\0', start);
    if (end == std::string::npos) end = raw->size();
    const WideString argument = FromNativePath(std::string_view(*raw).substr(start, end - start));
    if (!first) line += u' ';
    line += first ? QuoteProgramName(argument) : QuoteIfNeeded(argument);
    start = end + 1;
  }
  return line;
}

WideString GetExecutablePathW() {
  const std::optional<std::string> path = ReadLink("/proc/self/exe");
  return path ? FromNativePath(*path) : WideString();
}

WideString GetTempDirectoryW() {
  std::string dir = "/tmp";
  const char *env = std::getenv("TMPDIR");
  struct stat st;
  if (env && *env && ::stat(env, &st) == 0 && S_ISDIR(st.st_mode)) dir = env;
  if (dir.back() != '/') dir += '/';
  return FromNativePath(dir);
}

// ---- desktop programs

bool SystemPlaySound(const WideString &file) {
  const std::string native = ToNativePath(file);
  if (native.empty()) return false;
  for (const char *player : {"pw-play", "paplay", "aplay"}) {
    const std::string program = FindInPath(player);
    if (!program.empty() && StartDetached({program, AsOperand(native)})) return true;
  }
  return false;
}

bool SystemOpen(const WideString &fileOrAddress) {
  const std::string native = ToNativePath(fileOrAddress);
  return !native.empty() && StartFromPath({"xdg-open", AsOperand(native)});
}

std::vector<std::string> EndSessionCommand(EndSessionAction action, const std::string &sessionId) {
  switch (action) {
  case EndSessionAction::Logoff: return {"loginctl", "terminate-session", sessionId};
  case EndSessionAction::Reboot: return {"systemctl", "reboot"};
  case EndSessionAction::Hibernate: return {"systemctl", "hibernate"};
  case EndSessionAction::Shutdown: return {"systemctl", "poweroff"};
  }
  return {};
}

bool SystemEndSession(EndSessionAction action) {
  const char *env = std::getenv("XDG_SESSION_ID");
  // An id that looks like an option would change what loginctl does.
  const std::string session = env && *env && *env != '-' ? env : "self";
  std::vector<std::string> command = EndSessionCommand(action, session);
  return !command.empty() && StartFromPath(std::move(command));
}

} // namespace tunbrix
