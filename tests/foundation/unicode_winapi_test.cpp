#include "foundation/unicode_winapi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/file_io.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using test::TempDir;

// The byte names in a folder, read with plain readdir, past every conversion of ours.
std::set<std::string> NamesOnDisk(const std::string &folder) {
  std::set<std::string> names;
  DIR *dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(dir);
  return names;
}

// Creates a file under its exact byte name.
void CreateRawFile(const std::string &path, const std::string &bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

// Every entry of a search, in the order the search gives them.
std::vector<TWin32FindDataW> FindAll(const WideString &pattern) {
  std::vector<TWin32FindDataW> found;
  TWin32FindDataW data;
  const std::unique_ptr<TFindHandle> search = FindFirstFileW(pattern, data);
  if (!search) return found;
  do
    found.push_back(data);
  while (FindNextFileW(*search, data));
  return found;
}

std::vector<WideString> FindNames(const WideString &pattern) {
  std::vector<WideString> names;
  for (const TWin32FindDataW &data : FindAll(pattern))
    names.push_back(data.cFileName);
  return names;
}

std::string Root(const TempDir &dir) { return dir.Path().string() + "/"; }

struct TOddName {
  std::string bytes;
  WideString wide;
};

const std::vector<TOddName> kOddNames = {
    {"Björk – Jóga.mp3", u"Björk – Jóga.mp3"},
    {"日本.flac", u"日本.flac"},
    {"\xF0\x9D\x84\x9E clef.ogg", u"\U0001D11E clef.ogg"},
    {"a\xFF\xFE.mp3", u"a\xDCFF\xDCFE.mp3"},             // no UTF-8 at all
    {"\xE9t\xE9.wav", u"\xDCE9t\xDCE9.wav"},             // "été" in Latin-1
    {"\xED\xA0\x80 x.mp3", u"\xDCED\xDCA0\xDC80 x.mp3"}, // an encoded lone surrogate
};

TEST(WinApi, NamesOfAnyBytesAreFoundOpenedMovedAndDeleted) {
  TempDir dir;
  const std::string root = Root(dir);
  std::set<std::string> bytes;
  std::set<WideString> wides;
  for (const TOddName &name : kOddNames) {
    CreateRawFile(root + name.bytes, "content of " + name.bytes);
    bytes.insert(name.bytes);
    wides.insert(name.wide);
  }

  const std::vector<WideString> listed = FindNames(dir.Wide() + u"*");
  EXPECT_EQ(std::set<WideString>(listed.begin(), listed.end()), wides);
  EXPECT_EQ(listed.size(), kOddNames.size());

  RealFileSystem fs;
  for (const TOddName &name : kOddNames) {
    SCOPED_TRACE(name.bytes);
    TWin32FindDataW data;
    ASSERT_NE(FindFirstFileW(dir.Wide() + name.wide, data), nullptr);
    EXPECT_EQ(data.cFileName, name.wide);
    EXPECT_EQ(data.nFileSize, ("content of " + name.bytes).size());
    EXPECT_EQ(data.dwFileAttributes, kAttrArchive);
    EXPECT_TRUE(data.cAlternateFileName.empty());
    EXPECT_TRUE(FileExistsW(dir.Wide() + name.wide));
    const std::optional<Bytes> content = ReadWholeFile(fs, dir.Wide() + name.wide);
    ASSERT_TRUE(content);
    EXPECT_EQ(std::string(content->begin(), content->end()), "content of " + name.bytes);
  }

  // A folder with an odd name of its own receives them all.
  const WideString sub = dir.Wide() + u"Ünter \xDCFF/";
  ASSERT_TRUE(CreateDirectoryW(sub));
  std::set<std::string> withFolder = bytes;
  withFolder.insert("Ünter \xFF");
  EXPECT_EQ(NamesOnDisk(root), withFolder);
  for (const TOddName &name : kOddNames)
    EXPECT_TRUE(MoveFileW(dir.Wide() + name.wide, sub + name.wide)) << name.bytes;
  EXPECT_EQ(NamesOnDisk(root), std::set<std::string>{"Ünter \xFF"});
  EXPECT_EQ(NamesOnDisk(root + "Ünter \xFF"), bytes);
  EXPECT_EQ(test::ReadFileBytes(root + "Ünter \xFF/" + kOddNames[3].bytes),
            "content of " + kOddNames[3].bytes);

  for (const TOddName &name : kOddNames)
    EXPECT_TRUE(DeleteFileW(sub + name.wide)) << name.bytes;
  EXPECT_TRUE(NamesOnDisk(root + "Ünter \xFF").empty());
}

TEST(WinApi, WildcardsMatchTheLastComponent) {
  TempDir dir;
  const std::vector<std::string> names = {"song.mp3",  "SONG.MP3",     "song",
                                          ".hidden",   "a.b.c",        "Björk.mp3",
                                          "日本.flac", "track01.flac", "track1.flac"};
  for (const std::string &name : names)
    CreateRawFile(Root(dir) + name, "");

  // Results come sorted: ASCII case folded, then by bytes.
  const std::vector<WideString> all = {u".hidden",      u"a.b.c",       u"Björk.mp3",
                                       u"song",         u"SONG.MP3",    u"song.mp3",
                                       u"track01.flac", u"track1.flac", u"日本.flac"};
  const struct {
    const char16_t *mask;
    std::vector<WideString> expected;
  } cases[] = {
      {u"*", all},
      {u"*.*", all}, // also the names without a dot
      {u"*.mp3", {u"Björk.mp3", u"SONG.MP3", u"song.mp3"}},
      {u"SONG.*", {u"song", u"SONG.MP3", u"song.mp3"}},
      {u"track??.flac", {u"track01.flac"}},
      {u"track?.flac", {u"track1.flac"}},
      {u"t*1*", {u"track01.flac", u"track1.flac"}},
      {u"????", {u"song"}},
      {u"??.FLAC", {u"日本.flac"}},
      {u"*o*", {u"song", u"SONG.MP3", u"song.mp3"}}, // "ö" is no "o"
      {u"a.*", {u"a.b.c"}},
      {u"*.b", {}},
      {u"song.mp3", {u"song.mp3"}}, // no wildcard: exactly that entry
      {u"Song.mp3", {}},
      {u"missing*", {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToUtf8(c.mask));
    EXPECT_EQ(FindNames(dir.Wide() + c.mask), c.expected);
  }

  TWin32FindDataW data;
  EXPECT_EQ(FindFirstFileW(dir.Wide() + u"no folder/*", data), nullptr);
  EXPECT_EQ(FindFirstFileW(dir.Wide(), data), nullptr); // nothing after the last "/"
  EXPECT_EQ(FindFirstFileW(dir.Wide() + u".", data), nullptr);
  EXPECT_EQ(FindFirstFileW(dir.Wide() + u"..", data), nullptr);
}

TEST(WinApi, AttributesAndSizes) {
  TempDir dir;
  const std::string root = Root(dir);
  CreateRawFile(root + "plain.mp3", "abc");
  CreateRawFile(root + ".hidden", "");
  CreateRawFile(root + "locked.mp3", "");
  ASSERT_EQ(chmod((root + "locked.mp3").c_str(), 0444), 0);
  ASSERT_EQ(mkdir((root + "folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink("plain.mp3", (root + "link.mp3").c_str()), 0);
  ASSERT_EQ(symlink("folder", (root + "linkdir").c_str()), 0);
  ASSERT_EQ(symlink("gone", (root + "dangling").c_str()), 0);

  const std::map<WideString, std::pair<uint32_t, uint64_t>> expected = {
      {u"plain.mp3", {0x20, 3}}, {u".hidden", {0x22, 0}},   {u"locked.mp3", {0x21, 0}},
      {u"folder", {0x10, 0}},    {u"link.mp3", {0x420, 3}}, {u"linkdir", {0x410, 0}},
      {u"dangling", {0x400, 0}},
  };
  std::map<WideString, std::pair<uint32_t, uint64_t>> listed;
  for (const TWin32FindDataW &data : FindAll(dir.Wide() + u"*.*"))
    listed[data.cFileName] = {data.dwFileAttributes, data.nFileSize};
  EXPECT_EQ(listed, expected);
  for (const auto &[name, facts] : expected) {
    SCOPED_TRACE(WideToUtf8(name));
    EXPECT_EQ(GetFileAttributesW(dir.Wide() + name), facts.first);
    TWin32FindDataW data;
    ASSERT_NE(FindFirstFileW(dir.Wide() + name, data), nullptr);
    EXPECT_EQ(data.dwFileAttributes, facts.first);
  }
  EXPECT_EQ(GetFileAttributesW(dir.Wide()), kAttrDirectory); // trailing "/"
  EXPECT_EQ(GetFileAttributesW(u"/"), kAttrDirectory);
  EXPECT_EQ(GetFileAttributesW(dir.Wide() + u"missing"), std::nullopt);

  // Sizes beyond 32 bits (a sparse file takes no room).
  const int fd = open((root + "big.wav").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5LL << 30), 0);
  close(fd);
  TWin32FindDataW data;
  ASSERT_NE(FindFirstFileW(dir.Wide() + u"big.wav", data), nullptr);
  EXPECT_EQ(data.nFileSize, 5ULL << 30);
}

TEST(WinApi, FileTimeConversion) {
  const struct {
    int64_t seconds, nanoseconds;
    FileTime time;
  } cases[] = {
      {0, 0, 116444736000000000ULL}, // the Unix epoch in Windows terms
      {1000000000, 123456789, 126444736001234567ULL},
      {0, -100, 116444735999999999ULL},
      {1, 2000000000, 116444736030000000ULL},
      {-11644473600, 0, 0},
      {-11644473601, 0, 0}, // before 1601
      {INT64_MAX, 0, UINT64_MAX},
  };
  for (const auto &c : cases)
    EXPECT_EQ(UnixToFileTime(c.seconds, c.nanoseconds), c.time) << c.seconds;

  int64_t seconds = 0, nanoseconds = 0;
  FileTimeToUnix(126444736001234567ULL, seconds, nanoseconds);
  EXPECT_EQ(seconds, 1000000000);
  EXPECT_EQ(nanoseconds, 123456700);
  FileTimeToUnix(0, seconds, nanoseconds);
  EXPECT_EQ(seconds, -11644473600);
  EXPECT_EQ(nanoseconds, 0);
}

TEST(WinApi, TimesAreSetAndReadAsFileTimes) {
  TempDir dir;
  const std::string path = Root(dir) + "timed.flac";
  CreateRawFile(path, "x");
  const WideString wide = dir.File("timed.flac");
  const FileTime written = UnixToFileTime(1000000000, 123456700);
  const FileTime accessed = UnixToFileTime(1200000000, 0);

  ASSERT_TRUE(SetFileTimesW(wide, accessed, written));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456700);
  EXPECT_EQ(st.st_atim.tv_sec, 1200000000);

  FileTime readAccess = 0, readWrite = 0;
  ASSERT_TRUE(GetFileTimesW(wide, readAccess, readWrite));
  EXPECT_EQ(readWrite, written);
  EXPECT_EQ(readAccess, accessed);
  TWin32FindDataW data;
  ASSERT_NE(FindFirstFileW(wide, data), nullptr);
  EXPECT_EQ(data.ftLastWriteTime, written);
  EXPECT_EQ(data.ftLastAccessTime, accessed);
  // Born just now, long after the time it claims to have been written.
  EXPECT_GT(data.ftCreationTime, UnixToFileTime(1600000000, 0));

  // A zero time stays as it was.
  ASSERT_TRUE(SetFileTimesW(wide, 0, UnixToFileTime(1500000000, 0)));
  ASSERT_TRUE(GetFileTimesW(wide, readAccess, readWrite));
  EXPECT_EQ(readAccess, accessed);
  EXPECT_EQ(readWrite, UnixToFileTime(1500000000, 0));

  EXPECT_FALSE(SetFileTimesW(dir.File("missing"), accessed, written));
  EXPECT_FALSE(GetFileTimesW(dir.File("missing"), readAccess, readWrite));
}

TEST(WinApi, MoveNeverReplaces) {
  TempDir dir;
  const std::string root = Root(dir);
  CreateRawFile(root + "a.mp3", "A");
  CreateRawFile(root + "b.mp3", "B");
  EXPECT_FALSE(MoveFileW(dir.File("a.mp3"), dir.File("b.mp3")));
  EXPECT_FALSE(MoveFileW(dir.File("a.mp3"), dir.File("a.mp3")));
  EXPECT_FALSE(MoveFileW(dir.File("missing.mp3"), dir.File("c.mp3")));
  EXPECT_FALSE(MoveFileW(dir.File("a.mp3"), dir.File("no folder/a.mp3")));
  EXPECT_EQ(test::ReadFileBytes(root + "a.mp3"), "A");
  EXPECT_EQ(test::ReadFileBytes(root + "b.mp3"), "B");

  // Folders move too, but never onto another folder, even an empty one.
  ASSERT_TRUE(CreateDirectoryW(dir.File("one")));
  ASSERT_TRUE(CreateDirectoryW(dir.File("two")));
  EXPECT_FALSE(MoveFileW(dir.File("one"), dir.File("two")));
  EXPECT_TRUE(MoveFileW(dir.File("one"), dir.File("three")));
  EXPECT_EQ(NamesOnDisk(root), (std::set<std::string>{"a.mp3", "b.mp3", "three", "two"}));
}

// A folder on another file system than the test's temporary folder, when the
// machine has one.
class OtherFileSystem {
public:
  explicit OtherFileSystem(const TempDir &near) {
    struct stat here, there;
    if (stat(near.Path().c_str(), &here) != 0 || stat("/dev/shm", &there) != 0 ||
        here.st_dev == there.st_dev)
      return;
    std::string pattern = "/dev/shm/tunbrix-test-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern + "/";
  }
  ~OtherFileSystem() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string &Path() const { return path_; }

private:
  std::string path_;
};

TEST(WinApi, MoveAcrossFileSystemsKeepsModeAndTimes) {
  TempDir dir;
  OtherFileSystem other(dir);
  if (other.Path().empty()) GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string root = Root(dir);
  const TOddName &name = kOddNames[4]; // Latin-1 bytes
  std::string content;
  for (int k = 0; k < 700000; ++k)
    content.push_back(static_cast<char>(k * 7 + k / 251));
  CreateRawFile(root + name.bytes, content);
  ASSERT_EQ(chmod((root + name.bytes).c_str(), 0640), 0);
  const FileTime written = UnixToFileTime(1000000000, 123456700);
  ASSERT_TRUE(SetFileTimesW(dir.Wide() + name.wide, UnixToFileTime(1100000000, 0), written));

  const WideString target = FromNativePath(other.Path()) + name.wide;
  ASSERT_TRUE(MoveFileW(dir.Wide() + name.wide, target));
  EXPECT_TRUE(NamesOnDisk(root).empty());
  EXPECT_EQ(NamesOnDisk(other.Path()), std::set<std::string>{name.bytes}); // no helper left
  struct stat st;
  ASSERT_EQ(stat((other.Path() + name.bytes).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  FileTime readAccess = 0, readWrite = 0; // before reading the copy moves its access time
  ASSERT_TRUE(GetFileTimesW(target, readAccess, readWrite));
  EXPECT_EQ(readWrite, written);
  EXPECT_EQ(readAccess, UnixToFileTime(1100000000, 0));
  EXPECT_EQ(test::ReadFileBytes(other.Path() + name.bytes), content);

  // An existing target, or a missing folder, leaves both sides alone.
  CreateRawFile(root + "song.mp3", "source");
  CreateRawFile(other.Path() + "song.mp3", "target");
  EXPECT_FALSE(MoveFileW(dir.File("song.mp3"), FromNativePath(other.Path() + "song.mp3")));
  EXPECT_FALSE(MoveFileW(dir.File("song.mp3"), FromNativePath(other.Path() + "none/song.mp3")));
  EXPECT_EQ(test::ReadFileBytes(root + "song.mp3"), "source");
  EXPECT_EQ(test::ReadFileBytes(other.Path() + "song.mp3"), "target");
  EXPECT_EQ(NamesOnDisk(other.Path()), (std::set<std::string>{name.bytes, "song.mp3"}));

  // A symbolic link moves as a link.
  ASSERT_EQ(symlink("../elsewhere/x.mp3", (root + "link.mp3").c_str()), 0);
  ASSERT_TRUE(MoveFileW(dir.File("link.mp3"), FromNativePath(other.Path() + "link.mp3")));
  char target_text[64] = {};
  ASSERT_GT(readlink((other.Path() + "link.mp3").c_str(), target_text, sizeof target_text - 1), 0);
  EXPECT_STREQ(target_text, "../elsewhere/x.mp3");
  EXPECT_EQ(NamesOnDisk(root), std::set<std::string>{"song.mp3"});
}

TEST(WinApi, FoldersAndFiles) {
  TempDir dir;
  const WideString folder = dir.File("Ordner ä");
  EXPECT_TRUE(CreateDirectoryW(folder));
  EXPECT_FALSE(CreateDirectoryW(folder)); // exists
  EXPECT_FALSE(CreateDirectoryW(dir.File("missing/child")));
  EXPECT_TRUE(DirectoryExistsW(folder));
  EXPECT_FALSE(FileExistsW(folder));
  EXPECT_FALSE(DeleteFileW(folder)); // not a file
  EXPECT_TRUE(DirectoryExistsW(folder));

  CreateRawFile(Root(dir) + "file.ogg", "");
  EXPECT_TRUE(FileExistsW(dir.File("file.ogg")));
  EXPECT_FALSE(DirectoryExistsW(dir.File("file.ogg")));
  EXPECT_FALSE(CreateDirectoryW(dir.File("file.ogg")));
  EXPECT_TRUE(DeleteFileW(dir.File("file.ogg")));
  EXPECT_FALSE(DeleteFileW(dir.File("file.ogg")));
  EXPECT_FALSE(FileExistsW(dir.File("file.ogg")));
  EXPECT_EQ(NamesOnDisk(Root(dir)), std::set<std::string>{"Ordner ä"});
}

TEST(WinApi, TempDirectoryFromTmpdir) {
  const char *saved = std::getenv("TMPDIR");
  const std::string savedValue = saved ? saved : "";
  TempDir dir;
  setenv("TMPDIR", dir.Path().c_str(), 1);
  EXPECT_EQ(GetTempDirectoryW(), dir.Wide());
  setenv("TMPDIR", (dir.Path().string() + "/").c_str(), 1);
  EXPECT_EQ(GetTempDirectoryW(), dir.Wide());
  setenv("TMPDIR", (dir.Path().string() + "/missing").c_str(), 1);
  EXPECT_EQ(GetTempDirectoryW(), u"/tmp/");
  unsetenv("TMPDIR");
  EXPECT_EQ(GetTempDirectoryW(), u"/tmp/");
  if (saved) setenv("TMPDIR", savedValue.c_str(), 1);
}

// Splits a command line as Windows does: the program name up to its closing
// quote or the first blank, without escapes; then blanks separate, quotes
// group, and backslashes count only before a quote.
std::vector<WideString> SplitWindowsCommandLine(const WideString &line) {
  std::vector<WideString> args;
  const size_t n = line.size();
  size_t i = 0;
  WideString program;
  if (n > 0 && line[0] == u'"') {
    for (i = 1; i < n && line[i] != u'"'; ++i)
      program += line[i];
    if (i < n) ++i;
  } else {
    for (; i < n && line[i] != u' ' && line[i] != u'\t'; ++i)
      program += line[i];
  }
  args.push_back(program);
  for (;;) {
    while (i < n && (line[i] == u' ' || line[i] == u'\t'))
      ++i;
    if (i >= n) return args;
    WideString arg;
    bool quoted = false;
    while (i < n && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
      if (line[i] == u'\\') {
        size_t count = 0;
        for (; i < n && line[i] == u'\\'; ++i)
          ++count;
        if (i < n && line[i] == u'"') {
          arg.append(count / 2, u'\\');
          if (count % 2) arg += line[i++];
        } else {
          arg.append(count, u'\\');
        }
      } else if (line[i] == u'"') {
        quoted = !quoted;
        ++i;
      } else {
        arg += line[i++];
      }
    }
    args.push_back(arg);
  }
}

// Run as a child by the next test: prints what it sees of itself.
TEST(WinApiChild, EchoCommandLine) {
  const WideString line = GetCommandLineW();
  if (line.find(u"--winapi-echo") == WideString::npos) return;
  std::printf("@@CMD@@%s@@END@@\n", WideToUtf8(line).c_str());
  std::printf("@@EXE@@%s@@END@@\n", WideToUtf8(GetExecutablePathW()).c_str());
}

std::string Between(const std::string &text, const std::string &start) {
  const size_t from = text.find(start);
  if (from == std::string::npos) return {};
  const size_t to = text.find("@@END@@", from);
  return text.substr(from + start.size(), to - from - start.size());
}

TEST(WinApi, CommandLineSplitsBackIntoTheArguments) {
  TempDir dir;
  // The program is reached through a link whose name needs quotes.
  const std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  ASSERT_EQ(mkdir((Root(dir) + "with space").c_str(), 0755), 0);
  const std::string program = Root(dir) + "with space/run me";
  ASSERT_EQ(symlink(exe.c_str(), program.c_str()), 0);
  const std::vector<std::string> args = {program,         "--gtest_filter=WinApiChild.*",
                                         "--winapi-echo", "plain",
                                         "two words",     "",
                                         "tab\there",     "say \"hi\"",
                                         "trailing\\",    "back\\slash \\\"quoted\\\"",
                                         "\\\\\"",        "C:\\path\\",
                                         "Björk – Jóga",  "a\xFF\xFE b",
                                         "new\nline"};
  const test::ProcessResult result = test::RunCommand(args);
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::string line = Between(result.out, "@@CMD@@");
  ASSERT_FALSE(line.empty()) << result.out;

  std::vector<WideString> expected;
  for (const std::string &arg : args)
    expected.push_back(FromNativePath(arg));
  EXPECT_EQ(SplitWindowsCommandLine(Utf8ToWide(line)), expected) << line;
  EXPECT_EQ(line.substr(0, program.size() + 2), "\"" + program + "\"");
  EXPECT_NE(line.find(" plain "), std::string::npos); // quotes only where needed
  EXPECT_EQ(Between(result.out, "@@EXE@@"), exe);     // the link is resolved
}

TEST(WinApi, RecordingDesktopRecordsAndAnswers) {
  CRecordingDesktop desktop;
  desktop.messageBoxAnswer = kIdNo;
  desktop.folderAnswer = u"/music/";
  desktop.filesAnswer = std::vector<WideString>{u"/music/a.mp3", u"/music/b.mp3"};
  desktop.operationResult = false;

  EXPECT_EQ(desktop.MessageBox(u"Delete?", u"Tunbrix", kMbYesNo | kMbIconQuestion), kIdNo);
  EXPECT_EQ(desktop.BrowseForFolder(u"Add Folder", u"/home/"), u"/music/");
  TOpenFileRequest request;
  request.title = u"Add Files";
  request.filters = {{u"Audio", u"*.mp3;*.wav"}, {u"All", u"*.*"}};
  request.filterIndex = 2;
  request.initialDirectory = u"/start/";
  request.multiSelect = true;
  EXPECT_EQ(desktop.OpenFileDialog(request), desktop.filesAnswer);
  EXPECT_FALSE(desktop.ShellExecute(u"open", u"/music/readme.txt", u"-x", u"/music/", 1));
  EXPECT_FALSE(desktop.TrayIcon(TrayAction::Modify, u"50%"));
  EXPECT_FALSE(desktop.PlaySound(u"/sounds/done.wav"));
  EXPECT_FALSE(desktop.EndSession(EndSessionAction::Shutdown));

  using Call = CRecordingDesktop::TCall;
  const std::vector<Call> expected = {
      {"MessageBox", u"Delete?", u"Tunbrix", u"", u"", kMbYesNo | kMbIconQuestion},
      {"BrowseForFolder", u"", u"Add Folder", u"", u"/home/", 0},
      {"OpenFileDialog", u"", u"Add Files", u"Audio|*.mp3;*.wav|All|*.*", u"/start/",
       2 | kOfnAllowMultiSelect},
      {"ShellExecute", u"/music/readme.txt", u"open", u"-x", u"/music/", 1},
      {"TrayIcon", u"50%", u"", u"", u"", static_cast<uint32_t>(TrayAction::Modify)},
      {"PlaySound", u"/sounds/done.wav", u"", u"", u"", 0},
      {"EndSession", u"", u"", u"", u"", static_cast<uint32_t>(EndSessionAction::Shutdown)},
  };
  ASSERT_EQ(desktop.calls.size(), expected.size());
  for (size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE(expected[k].operation);
    EXPECT_EQ(desktop.calls[k].operation, expected[k].operation);
    EXPECT_EQ(desktop.calls[k].text, expected[k].text);
    EXPECT_EQ(desktop.calls[k].title, expected[k].title);
    EXPECT_EQ(desktop.calls[k].parameters, expected[k].parameters);
    EXPECT_EQ(desktop.calls[k].directory, expected[k].directory);
    EXPECT_EQ(desktop.calls[k].flags, expected[k].flags);
  }
}

// Only the command is built here; nothing is run.
TEST(WinApi, EndSessionCommands) {
  using V = std::vector<std::string>;
  EXPECT_EQ(EndSessionCommand(EndSessionAction::Logoff, "c2"),
            (V{"loginctl", "terminate-session", "c2"}));
  EXPECT_EQ(EndSessionCommand(EndSessionAction::Reboot, "c2"), (V{"systemctl", "reboot"}));
  EXPECT_EQ(EndSessionCommand(EndSessionAction::Hibernate, "c2"), (V{"systemctl", "hibernate"}));
  EXPECT_EQ(EndSessionCommand(EndSessionAction::Shutdown, "c2"), (V{"systemctl", "poweroff"}));
}

} // namespace
} // namespace tunbrix
