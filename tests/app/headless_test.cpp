#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tunbrix {
namespace {

TEST(Headless, VersionAndUsage) {
  auto version = test::RunCommand({test::Executable().string(), "--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "Tunbrix v.0.92 beta2\n");
  auto unknown = test::RunCommand({test::Executable().string(), "frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_TRUE(unknown.out.empty());
  EXPECT_NE(unknown.err.find("usage:"), std::string::npos);
}

} // namespace
} // namespace tunbrix
