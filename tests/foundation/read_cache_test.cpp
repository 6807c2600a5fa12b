#include <gtest/gtest.h>

#include <random>

#include "foundation/file_io.h"
#include "foundation/read_cache.h"

namespace tunbrix {
namespace {

Bytes RandomBytes(size_t size) {
  std::mt19937 random(7);
  Bytes out(size);
  for (auto &b : out)
    b = static_cast<uint8_t>(random());
  return out;
}

// What a plain file gives for the same read, for comparison.
Bytes Expected(const Bytes &data, int64_t position, size_t count) {
  if (position >= static_cast<int64_t>(data.size())) return {};
  const auto end = std::min(data.size(), static_cast<size_t>(position) + count);
  return Bytes(data.begin() + position, data.begin() + static_cast<int64_t>(end));
}

// Reads of every kind, through several views at once, in an order that
// makes stretches get replaced, give exactly the file's bytes.
TEST(ReadCache, EveryReadGivesTheFilesBytes) {
  const Bytes data = RandomBytes(300000);
  MemoryFileSystem memory;
  memory.SetFile(u"/a.mp3", data);
  CReadCacheFileSystem fs(memory);
  auto first = fs.Open(u"/a.mp3", FileMode::Read);
  auto second = fs.Open(u"/a.mp3", FileMode::Read);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Size(), 300000);

  const int64_t size = static_cast<int64_t>(data.size());
  const struct {
    int64_t position;
    size_t count;
  } reads[] = {
      // the head, across a page
      {0, 10},
      {0, 4096},
      {4090, 20},
      {1, 9},
      {8191, 2},
      // the tags at the end, the last byte, past the end
      {size - 128, 128},
      {size - 32, 32},
      {size - 1024, 1024},
      {size - 5, 100},
      {299999, 1},
      {size, 10},
      {size + 5000, 1},
      // the middle, empty, large ones that go uncached
      {size - 10000, 64},
      {250000, 3000},
      {12345, 0},
      {40000, 30000},
      {100000, 70000},
      {150000, 65536},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto &r : reads) {
      SCOPED_TRACE(std::to_string(r.position) + "+" + std::to_string(r.count));
      IFile &view = round == 0 ? *first : *second;
      const Bytes expected = Expected(data, r.position, r.count);
      const auto got = ReadUpTo(view, r.position, r.count);
      ASSERT_TRUE(got);
      EXPECT_EQ(*got, expected);
      EXPECT_EQ(view.Position(), r.position + static_cast<int64_t>(got->size()));
      Bytes direct(r.count);
      const int64_t n = view.ReadFrom(r.position, direct.data(), direct.size());
      ASSERT_GE(n, 0);
      direct.resize(static_cast<size_t>(n));
      EXPECT_EQ(direct, Bytes(expected.begin(), expected.begin() + n));
      EXPECT_EQ(n == 0, expected.empty());
    }
  }
  // Each view keeps its own position.
  ASSERT_TRUE(first->Seek(100) && second->Seek(200));
  uint8_t a = 0, b = 0;
  ASSERT_EQ(first->Read(&a, 1), 1);
  ASSERT_EQ(second->Read(&b, 1), 1);
  EXPECT_EQ(a, data[100]);
  EXPECT_EQ(b, data[200]);
}

// The point of the cache: many opens and small reads of one path cost the
// inner file system one open, one size and a read per stretch.
TEST(ReadCache, OpensThePathOnceAndReadsEachStretchOnce) {
  MemoryFileSystem memory;
  memory.SetFile(u"/a.ogg", RandomBytes(100000));
  FaultInjector counter;
  FaultInjectingFileSystem counting(memory, counter);
  CReadCacheFileSystem fs(counting);
  for (int i = 0; i < 10; ++i) {
    auto file = fs.Open(u"/a.ogg", FileMode::Read);
    ASSERT_TRUE(file);
    for (int64_t at : {int64_t{0}, int64_t{2000}, int64_t{100000 - 128}, int64_t{100000 - 1024}})
      ASSERT_TRUE(ReadUpTo(*file, at, 100));
  }
  EXPECT_EQ(counter.stats.calls, 1 + 1 + 2); // open, size, the head and the tail
  EXPECT_EQ(counter.stats.bytesRead, 4096 + 8192);
}

// A call of the inner file system that fails shows as a failure of that read
// only; nothing wrong is cached, and a later read gets the right bytes.
TEST(ReadCache, AFailedReadIsReportedAndNotCached) {
  const Bytes data = RandomBytes(50000);
  MemoryFileSystem memory;
  memory.SetFile(u"/a.wv", data);
  for (int64_t failAt = 1; failAt <= 6; ++failAt) {
    SCOPED_TRACE(failAt);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem failing(memory, faults);
    CReadCacheFileSystem fs(failing);
    auto file = fs.Open(u"/a.wv", FileMode::Read);
    if (!file) file = fs.Open(u"/a.wv", FileMode::Read); // the open or the size failed
    ASSERT_TRUE(file);
    for (int64_t at : {int64_t{0}, int64_t{30000}, int64_t{49000}}) {
      const auto got = ReadUpTo(*file, at, 1000);
      if (got) {
        EXPECT_EQ(*got, Expected(data, at, 1000));
      }
      EXPECT_EQ(*ReadUpTo(*file, at, 1000), Expected(data, at, 1000));
    }
  }
}

TEST(ReadCache, WritingThroughItDropsWhatWasCached) {
  MemoryFileSystem memory;
  memory.SetFile(u"/a.flac", Bytes(10000, 1));
  CReadCacheFileSystem fs(memory);
  auto reader = fs.Open(u"/a.flac", FileMode::Read);
  ASSERT_TRUE(reader);
  ASSERT_EQ((*ReadUpTo(*reader, 0, 4)), Bytes(4, 1));
  EXPECT_FALSE(reader->Write("x", 1)); // views are read-only
  EXPECT_FALSE(reader->Truncate(0));

  auto writer = fs.Open(u"/a.flac", FileMode::ReadWrite);
  ASSERT_TRUE(writer && writer->Write("\2\2\2\2", 4));
  writer.reset();
  EXPECT_EQ(*ReadUpTo(*fs.Open(u"/a.flac", FileMode::Read), 0, 4), Bytes(4, 2));

  ASSERT_TRUE(fs.Rename(u"/a.flac", u"/b.flac"));
  EXPECT_EQ(fs.Open(u"/a.flac", FileMode::Read), nullptr);
  EXPECT_EQ(*ReadUpTo(*fs.Open(u"/b.flac", FileMode::Read), 0, 4), Bytes(4, 2));
  ASSERT_TRUE(fs.Remove(u"/b.flac"));
  EXPECT_EQ(fs.Open(u"/b.flac", FileMode::Read), nullptr);
  EXPECT_FALSE(fs.Exists(u"/b.flac"));
}

} // namespace
} // namespace tunbrix
