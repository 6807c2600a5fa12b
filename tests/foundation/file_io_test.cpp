#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

#include "foundation/file_io.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

// The same operations behave alike on a real and an in-memory file system.
void ExerciseFileSystem(IFileSystem &fs, const WideString &dir) {
  const WideString a = dir + u"a.bin", b = dir + u"b.bin";
  EXPECT_EQ(fs.Open(a, FileMode::Read), nullptr);
  {
    auto f = fs.Open(a, FileMode::CreateNew);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->Write("hello world", 11));
    EXPECT_EQ(f->Size(), 11);
    EXPECT_TRUE(WriteAt(*f, 20, "!", 1)); // past the end: the gap reads as zeros
    EXPECT_EQ(f->Size(), 21);
    EXPECT_TRUE(f->Truncate(5));
    EXPECT_EQ(f->Size(), 5);
  }
  EXPECT_EQ(fs.Open(a, FileMode::CreateNew), nullptr);
  {
    auto f = fs.Open(a, FileMode::Read);
    ASSERT_NE(f, nullptr);
    auto all = ReadAll(*f);
    ASSERT_TRUE(all);
    EXPECT_EQ(std::string(all->begin(), all->end()), "hello");
    auto tail = ReadUpTo(*f, 3, 100);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->size(), 2u);
    char buf[10];
    EXPECT_FALSE(ReadAt(*f, 2, buf, 10)); // short read is a failure
    EXPECT_EQ(f->ReadFrom(1, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "ell");
    EXPECT_EQ(f->ReadFrom(5, buf, 3), 0);
  }
  {
    // The size known from opening must not outlive a change.
    auto f = fs.Open(a, FileMode::ReadWrite);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->Truncate(3));
    EXPECT_EQ(f->Size(), 3);
  }
  EXPECT_TRUE(fs.Rename(a, b));
  EXPECT_FALSE(fs.Exists(a));
  EXPECT_TRUE(fs.Exists(b));
  const WideString temp = fs.MakeTempFile(dir, u"id3");
  ASSERT_FALSE(temp.empty());
  EXPECT_TRUE(fs.Exists(temp));
  EXPECT_EQ(temp.substr(0, dir.size() + 3), dir + u"id3");
  EXPECT_TRUE(fs.Remove(temp));
  EXPECT_TRUE(fs.Remove(b));
  EXPECT_FALSE(fs.Remove(b));
}

TEST(FileIo, RealFileSystem) {
  test::TempDir dir;
  RealFileSystem fs;
  ExerciseFileSystem(fs, dir.Wide());
}

TEST(FileIo, MemoryFileSystem) {
  MemoryFileSystem fs;
  ExerciseFileSystem(fs, u"/mem/");
}

TEST(FileIo, RealFileSystemOpensOnlyRegularFiles) {
  test::TempDir dir;
  RealFileSystem fs;
  EXPECT_EQ(fs.Open(dir.Wide(), FileMode::Read), nullptr);
  // A FIFO without a writer would block a plain open for ever.
  ASSERT_EQ(::mkfifo((dir.Path() / "pipe.mp3").c_str(), 0600), 0);
  EXPECT_EQ(fs.Open(dir.File("pipe.mp3"), FileMode::Read), nullptr);
  EXPECT_EQ(fs.Open(dir.File("pipe.mp3"), FileMode::ReadWrite), nullptr);
}

TEST(FileIo, CopyPermissionsKeepsTheModeOfTheReplacedFile) {
  test::TempDir dir;
  RealFileSystem fs;
  const WideString original = dir.File("song.mp3");
  { auto f = fs.Open(original, FileMode::CreateNew); }
  ASSERT_EQ(::chmod(ToNativePath(original).c_str(), 0640), 0);
  const WideString temp = fs.MakeTempFile(dir.Wide(), u"id3");
  ASSERT_TRUE(fs.CopyPermissions(original, temp));
  struct stat st;
  ASSERT_EQ(::stat(ToNativePath(temp).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(fs.CopyPermissions(dir.File("missing"), temp));
}

TEST(FileIo, InjectedFaultFailsExactlyTheChosenCall) {
  MemoryFileSystem mem;
  mem.SetFile(u"/x", Bytes{1, 2, 3});
  // Calls: Open(1) Size(2) Seek(3) Read(4)
  for (int failAt = 1; failAt <= 4; ++failAt) {
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    auto f = fs.Open(u"/x", FileMode::Read);
    std::optional<Bytes> all;
    if (f) all = ReadAll(*f);
    EXPECT_FALSE(all.has_value()) << failAt;
    EXPECT_TRUE(faults.Failed());
  }
  FaultInjector none;
  FaultInjectingFileSystem fs(mem, none);
  auto f = fs.Open(u"/x", FileMode::Read);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadAll(*f), (Bytes{1, 2, 3}));
  EXPECT_EQ(none.stats.calls, 4);
  EXPECT_EQ(none.stats.bytesRead, 3);
}

} // namespace
} // namespace tunbrix
