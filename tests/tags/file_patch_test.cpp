#include <gtest/gtest.h>

#include <numeric>
#include <sys/stat.h>

#include "support/fault_loop.h"
#include "support/test_support.h"
#include "tags/file_patch.h"

namespace tunbrix {
namespace {

Bytes Sequence(size_t n, uint8_t first) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

TEST(FilePatch, ReplaceTailShorterAndLonger) {
  const Bytes before = Sequence(300, 0);
  for (size_t newTail : {0u, 10u, 100u, 500u}) {
    Bytes after(before.begin(), before.begin() + 200);
    const Bytes tail = Sequence(newTail, 77);
    after.insert(after.end(), tail.begin(), tail.end());
    test::ExpectEveryFailureLeavesTheFile(
        before, after,
        [&](IFileSystem &fs) -> int {
          auto f = fs.Open(u"/f", FileMode::ReadWrite);
          return f && ReplaceTail(*f, 200, tail);
        },
        true);
  }
}

TEST(FilePatch, OverwriteRange) {
  const Bytes before = Sequence(64, 0);
  Bytes after = before;
  for (int i = 10; i < 20; ++i)
    after[i] = 0xEE;
  test::ExpectEveryFailureLeavesTheFile(
      before, after,
      [&](IFileSystem &fs) -> int {
        auto f = fs.Open(u"/f", FileMode::ReadWrite);
        return f && OverwriteRange(*f, 10, Bytes(10, 0xEE));
      },
      true);
  MemoryFile f(Bytes(8, 0));
  EXPECT_FALSE(OverwriteRange(f, 4, Bytes(5, 1))); // past the end
  EXPECT_EQ(f.Data(), Bytes(8, 0));
}

TEST(FilePatch, RewriteThroughTempFile) {
  const Bytes before = Sequence(50, 0), after = Sequence(80, 9);
  test::ExpectEveryFailureLeavesTheFile(
      before, after,
      [&](IFileSystem &fs) -> int {
        return RewriteThroughTempFile(
            fs, u"/f", u"id3", [&](IFile &t) { return t.Write(after.data(), after.size()); });
      },
      true);
  // A writer that reports failure leaves the original and no temporary file.
  MemoryFileSystem mem;
  mem.SetFile(u"/f", before);
  EXPECT_FALSE(RewriteThroughTempFile(mem, u"/f", u"id3", [](IFile &) { return false; }));
  EXPECT_EQ(mem.GetFile(u"/f"), before);
  EXPECT_EQ(mem.FileNames().size(), 1u);
}

TEST(FilePatch, RewriteKeepsPermissionsOnDisk) {
  test::TempDir dir;
  RealFileSystem fs;
  const WideString path = dir.File("a.mp3");
  test::WriteFileBytes(dir.Path() / "a.mp3", "old");
  ASSERT_EQ(::chmod((dir.Path() / "a.mp3").c_str(), 0664), 0);
  ASSERT_TRUE(RewriteThroughTempFile(fs, path, u"id3", [](IFile &t) { return t.Write("new", 3); }));
  EXPECT_EQ(test::ReadFileBytes(dir.Path() / "a.mp3"), "new");
  struct stat st;
  ASSERT_EQ(::stat((dir.Path() / "a.mp3").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

} // namespace
} // namespace tunbrix
