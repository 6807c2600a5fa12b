// Shared helpers of the test suites.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "foundation/codepages.h"

namespace tunbrix::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &Path() const { return path_; }
  // The folder with a trailing "/", as wide text.
  WideString Wide() const;
  // A file name inside the folder, as wide text.
  WideString File(const std::string &name) const;

private:
  std::filesystem::path path_;
};

// Full path of a program in PATH, or "" when it is missing.
std::string FindTool(const std::string &name);

// Skips the running test (reported as skipped by ctest) when a tool is missing.
#define TB_REQUIRE_TOOL(name)                                                                      \
  do {                                                                                             \
    if (::tunbrix::test::FindTool(name).empty()) GTEST_SKIP() << "missing tool: " << (name);       \
  } while (0)

struct ProcessResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a program directly (no shell) with the given arguments and collects
// its standard output and error.
ProcessResult RunCommand(const std::vector<std::string> &argv, const std::string &input = {});

// RunCommand for a program that must succeed: a failure is a test failure.
// Its standard output.
std::string RunTool(const std::vector<std::string> &argv, const std::string &input = {});

// Whether /usr/bin/python3 has mutagen.
bool HaveMutagen();

// Skips the running test when mutagen is missing.
#define TB_REQUIRE_MUTAGEN()                                                                       \
  do {                                                                                             \
    if (!::tunbrix::test::HaveMutagen()) GTEST_SKIP() << "missing tool: python3-mutagen";          \
  } while (0)

// The output of a mutagen script run on a temporary file `name` that holds
// `bytes` (its path is sys.argv[1]); "" without mutagen.
std::string MutagenOnBytes(const std::string &code, const std::string &name,
                           const std::string &bytes);

// The "key=value" lines of a program's output; other lines are passed over.
std::map<std::string, std::string> KeyValueLines(const std::string &text);

// One argument quoted so that the Windows rules give it back unchanged.
std::string QuoteArg(const std::string &arg);
// The arguments, each quoted, as one command line.
WideString QuotedLine(const std::vector<std::string> &args);

// All children of the test have been reaped.
void ExpectNoChildren();

std::string ReadFileBytes(const std::filesystem::path &path);
void WriteFileBytes(const std::filesystem::path &path, const std::string &bytes);

// Wide text from a UTF-8 literal, for readable test tables.
inline WideString W(const std::string &utf8) { return Utf8ToWide(utf8); }

// Paths of the source tree, the build tree and the built executable.
std::filesystem::path SourceDir();
std::filesystem::path BinaryDir();
std::filesystem::path Executable();

} // namespace tunbrix::test
