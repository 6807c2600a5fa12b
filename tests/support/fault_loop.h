// Shows that an operation on a file loses nothing when any one of its calls
// of the file interface fails.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "foundation/file_io.h"

namespace tunbrix::test {

// Runs op on a fresh in-memory file `path` holding `before`, with a failure
// injected at call 1, 2, ... in turn until a run meets none. Each failing run
// must not give okResult (and give failedResult when one is named) and must
// leave the file byte for byte as it was, with no other file beside it; the
// run without a failure must give okResult and leave `after`.
inline void ExpectEveryFailureLeavesTheFile(const Bytes &before, const Bytes &after,
                                            const std::function<int(IFileSystem &)> &op,
                                            int okResult = 0,
                                            std::optional<int> failedResult = std::nullopt,
                                            const WideString &path = u"/f") {
  for (int failAt = 1;; ++failAt) {
    MemoryFileSystem mem;
    mem.SetFile(path, before);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    const int result = op(fs);
    if (!faults.Failed()) {
      EXPECT_EQ(result, okResult);
      EXPECT_TRUE(mem.GetFile(path) == after) << "the run without a failure";
      return;
    }
    EXPECT_NE(result, okResult) << "call " << failAt;
    if (failedResult) {
      EXPECT_EQ(result, *failedResult) << "call " << failAt;
    }
    ASSERT_TRUE(mem.GetFile(path).has_value()) << "call " << failAt;
    EXPECT_TRUE(*mem.GetFile(path) == before) << "call " << failAt;
    EXPECT_EQ(mem.FileNames().size(), 1u) << "a temporary file was left, call " << failAt;
  }
}

} // namespace tunbrix::test
