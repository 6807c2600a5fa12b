#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include "foundation/shortpath.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

namespace fs = std::filesystem;
using test::W;

fs::path Native(const WideString &path) { return fs::path(WideToUtf8(path)); }

bool IsPlainAscii(const WideString &text) {
  for (WideChar c : text)
    if (c < 32 || c > 126 || c == u'"' || c == u'\\') return false;
  return true;
}

TEST(ShortPath, NeedsAliasOnlyForNamesThatCannotBeQuoted) {
  struct Case {
    std::string path;
    bool needs;
  };
  const Case cases[] = {
      {"/music/Ærøskøbing – live.flac", false},
      {"/music/it's a 'name' (1).mp3", false},
      {"/music/a\\b.mp3", false},
      {"", false},
      {"/music/say \"hi\".mp3", true},
      {"/music/tab\there.mp3", true},
      {"/music/line\nbreak.mp3", true},
      {"/music/del\x7f.mp3", true},
      {"/music/ends in\\", true}, // the backslash would escape the closing quote
  };
  for (const Case &c : cases)
    EXPECT_EQ(NeedsShortPathAlias(W(c.path)), c.needs) << c.path;
}

TEST(ShortPath, PlainPathIsReturnedAsItIs) {
  test::TempDir dir;
  CShortPathAliases aliases(dir.Wide());
  const WideString path = dir.File("Ærø 'x' song.mp3");
  EXPECT_EQ(aliases.ShortPathW(path), path);
  EXPECT_EQ(aliases.ShortPathW(u"/does/not/exist.wav"), u"/does/not/exist.wav");
  EXPECT_TRUE(aliases.AliasFolder().empty()); // nothing made when nothing is needed
}

TEST(ShortPath, QuotedNameGetsAWorkingAliasThatGoesWithTheObject) {
  test::TempDir dir;
  const WideString path = dir.File("say \"hi\"\tnow.wav");
  test::WriteFileBytes(Native(path), "RIFF contents");
  WideString alias, folder;
  {
    CShortPathAliases aliases(dir.Wide());
    alias = aliases.ShortPathW(path);
    folder = aliases.AliasFolder();
    ASSERT_NE(alias, path);
    EXPECT_TRUE(IsPlainAscii(alias)) << WideToUtf8(alias);
    EXPECT_FALSE(NeedsShortPathAlias(alias));
    EXPECT_EQ(alias.substr(0, folder.size()), folder);
    EXPECT_EQ(folder.substr(0, dir.Wide().size()), dir.Wide()); // under the given parent
    EXPECT_EQ(alias.substr(alias.size() - 4), u".wav");         // programs choose by extension
    EXPECT_EQ(test::ReadFileBytes(Native(alias)), "RIFF contents");
    EXPECT_EQ(aliases.ShortPathW(path), alias); // one alias per path
    EXPECT_TRUE(IsSameFileW(alias, path));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(Native(alias))));
  EXPECT_FALSE(fs::exists(Native(folder)));
  EXPECT_EQ(test::ReadFileBytes(Native(path)), "RIFF contents"); // the file itself stays
}

TEST(ShortPath, AliasesOfRelativeFolderAndMissingPaths) {
  test::TempDir dir;
  CShortPathAliases aliases(dir.Wide());

  // A relative name is resolved against the current folder when the alias is made.
  test::WriteFileBytes(dir.Path() / "rel\"ative.mp3", "relative");
  const std::string cwd = fs::current_path().string();
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  const WideString relative = aliases.ShortPathW(u"rel\"ative.mp3");
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_EQ(test::ReadFileBytes(Native(relative)), "relative");

  // A folder keeps its trailing "/".
  fs::create_directory(dir.Path() / "fol\"der");
  test::WriteFileBytes(dir.Path() / "fol\"der" / "in.txt", "inside");
  const WideString folder = aliases.ShortPathW(dir.Wide() + u"fol\"der/");
  ASSERT_EQ(folder.back(), u'/');
  EXPECT_EQ(test::ReadFileBytes(Native(folder + u"in.txt")), "inside");

  // An output that does not exist yet is created through its alias.
  const WideString output = dir.File("out\"put.ogg");
  const WideString outAlias = aliases.ShortPathW(output);
  ASSERT_NE(outAlias, output);
  test::WriteFileBytes(Native(outAlias), "written");
  EXPECT_EQ(test::ReadFileBytes(Native(output)), "written");

  // Different paths never share an alias.
  EXPECT_NE(relative, outAlias);
}

TEST(ShortPath, NoAliasFolderLeavesThePath) {
  CShortPathAliases aliases(u"/nonexistent-parent-folder/");
  EXPECT_EQ(aliases.ShortPathW(u"/x/a\"b.mp3"), u"/x/a\"b.mp3");
}

TEST(SameFile, ComparesResolvedPaths) {
  test::TempDir dir;
  const fs::path base = dir.Path();
  test::WriteFileBytes(base / "a.mp3", "a");
  test::WriteFileBytes(base / "b.mp3", "b");
  fs::create_directory(base / "sub");
  fs::create_symlink(base / "a.mp3", base / "link.mp3");
  const WideString d = dir.Wide();

  EXPECT_TRUE(IsSameFileW(d + u"a.mp3", d + u"a.mp3"));
  EXPECT_TRUE(IsSameFileW(d + u"a.mp3", d + u"sub/../a.mp3"));
  EXPECT_TRUE(IsSameFileW(d + u"a.mp3", d + u"link.mp3"));
  EXPECT_TRUE(IsSameFileW(d + u"a.mp3", d + u"./a.mp3"));
  EXPECT_FALSE(IsSameFileW(d + u"a.mp3", d + u"b.mp3"));
  EXPECT_FALSE(IsSameFileW(d + u"a.mp3", d + u"A.mp3"));
  // Missing files compare through their folder, then by their text.
  EXPECT_TRUE(IsSameFileW(d + u"new.mp3", d + u"sub/../new.mp3"));
  EXPECT_FALSE(IsSameFileW(d + u"new.mp3", d + u"a.mp3"));
  EXPECT_TRUE(IsSameFileW(u"/no/such/x.mp3", u"/no/such/x.mp3"));
  EXPECT_FALSE(IsSameFileW(u"/no/such/x.mp3", u"/no/such/y.mp3"));
}

} // namespace
} // namespace tunbrix
