#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "foundation/datapaklib.h"
#include "foundation/fastini.h"
#include "foundation/file_io.h"
#include "settings/language.h"
#include "settings/settings.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

TEST(Language, WithoutAFileEveryTextIsBuiltIn) {
  test::TempDir dir;
  for (const WideString &path : {dir.File("missing.ini"), dir.Wide(), WideString()}) {
    const TLanguageTexts texts = ApplyLanguage(path);
    EXPECT_EQ(texts, TLanguageTexts());
    EXPECT_EQ(texts.ToolbarAbort, u"Abort");
    EXPECT_EQ(texts.ToolbarDestDir, u"Output Directory: ");
    EXPECT_EQ(texts.GeneralPreserveDates, u"Preserve original filedate");
  }
  test::WriteFileBytes(dir.Path() / "empty.ini", "");
  EXPECT_EQ(ApplyLanguage(dir.File("empty.ini")), TLanguageTexts());
}

TEST(Language, AFileReplacesOnlyTheTextsItHolds) {
  test::TempDir dir;
  test::WriteFileBytes(dir.Path() / "one.ini", "[MainForm.Toolbar]\nSettings=Einstellungen\n");
  TLanguageTexts expected;
  expected.ToolbarSettings = u"Einstellungen";
  EXPECT_EQ(ApplyLanguage(dir.File("one.ini")), expected);

  // Values are system code page text (UTF-8 here); an empty value is a text
  // of its own, not a missing key; names of sections and keys ignore case.
  test::WriteFileBytes(dir.Path() / "two.ini",
                       "[settings.tabs]\nEXTPROGS=Externe Programme \xC3\xA4\n"
                       "[MainForm.Popup]\nOpen=\n"
                       "[MainForm.Toolbar]\nTrackbar.Hint=Qualit\xC3\xA4t\n");
  const TLanguageTexts texts = ApplyLanguage(dir.File("two.ini"));
  EXPECT_EQ(texts.TabExtProgs, u"Externe Programme ä");
  EXPECT_EQ(texts.PopupOpen, u"");
  EXPECT_EQ(texts.ToolbarTrackbarHint, u"Qualität");
  EXPECT_EQ(texts.TabGeneral, u"General");
}

// The shipped English file holds every key with the built-in text, and the
// build puts a copy beside the executable, where the default path looks.
TEST(Language, ShippedFileHoldsEveryBuiltInText) {
  const auto source = test::SourceDir() / "data" / "tunbrix_language.ini";
  TFastini store;
  ASSERT_TRUE(store.LoadFromFile(FromNativePath(source.string())));
  const TLanguageTexts defaults;
  const std::string missing = "\x01missing";
  for (const TLanguageKey &key : LanguageKeys()) {
    SCOPED_TRACE(std::string(key.section) + "." + key.key);
    ASSERT_TRUE(store.FindSection(key.section));
    EXPECT_EQ(SysToWide(store.ReadString(key.key, missing)), defaults.*key.text);
  }
  ASSERT_TRUE(store.FindSection("Language"));
  EXPECT_EQ(store.ReadString("Long", ""), "English");

  const auto beside = test::Executable().parent_path() / "tunbrix_language.ini";
  EXPECT_EQ(test::ReadFileBytes(beside), test::ReadFileBytes(source));
  const WideString exeDir = FromNativePath(test::Executable().parent_path().string()) + u"/";
  const TLanguageList list = ListLanguages(exeDir, u"tunbrix_language.ini");
  ASSERT_GE(list.selected, 0);
  EXPECT_EQ(list.entries[list.selected].text, u"English         (tunbrix_language.ini)");
}

// The default language file lies beside the executable: it is stored as its
// bare name and found again by a start from another working folder.
TEST(Language, FileBesideTheExecutableIsFoundFromAnotherWorkingFolder) {
  test::TempDir exeDir, elsewhere;
  test::WriteFileBytes(exeDir.Path() / "tunbrix_language.ini",
                       "[Language]\nLong=Test\n[MainForm.Toolbar]\nAbort=Stop\n");
  RealFileSystem fs;
  const TSettingsPaths paths{exeDir.Wide(), exeDir.File("tunbrix")};
  const WideString cfg = exeDir.File("tunbrix_cfg.ini");
  CDataPak pak(fs, exeDir.File("tunbrix.dat"));
  ASSERT_TRUE(SaveSettings(LoadSettings(pak, "tunbrix_cfg.ini", paths), paths, cfg));
  TFastini written;
  ASSERT_TRUE(written.LoadFromFile(cfg));
  written.FindSection("General");
  EXPECT_EQ(written.ReadString("Language", ""), "tunbrix_language.ini");

  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(elsewhere.Path());
  const TSettings settings = LoadSettings(pak, "tunbrix_cfg.ini", paths);
  const TLanguageTexts texts =
      ApplyLanguage(ResolveLanguagePath(settings.General.Language, paths.exeDir));
  std::filesystem::current_path(previous);
  EXPECT_EQ(settings.General.Language, u"tunbrix_language.ini");
  EXPECT_EQ(texts.ToolbarAbort, u"Stop");
  EXPECT_EQ(ListLanguages(paths.exeDir, settings.General.Language).selected, 0);
}

class LanguageFolder : public ::testing::Test {
protected:
  void SetUp() override {
    // What lies beside an executable: its configuration (an INI file without
    // a Language section), two translations, and INI files that are none.
    Write("tunbrix_cfg.ini", "[General]\nLanguage=deutsch.ini\n");
    Write("deutsch.ini", "[Language]\nLong=Deutsch\n[MainForm.Toolbar]\nAbort=Abbrechen\n");
    Write("english_uk.ini", "[language]\nLong=English (UK)\n");
    Write("nameless.ini", "[Language]\n");
    Write("garbage.ini", std::string("\x00\xFF\x13\x88 [[\r\n=\x01", 12));
    Write("empty.ini", "");
    Write("notes.txt", "[Language]\nLong=Not an INI name\n");
    std::filesystem::create_directory(dir.Path() / "folder.ini");
  }
  void Write(const std::string &name, const std::string &bytes) {
    test::WriteFileBytes(dir.Path() / name, bytes);
  }
  test::TempDir dir;
};

TEST_F(LanguageFolder, ListsTheLanguageFilesSorted) {
  const TLanguageList list = ListLanguages(dir.Wide(), u"deutsch.ini");
  ASSERT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(list.entries[0].text, u"         (nameless.ini)");
  EXPECT_EQ(list.entries[1].text, u"Deutsch         (deutsch.ini)");
  EXPECT_EQ(list.entries[2].text, u"English (UK)         (english_uk.ini)");
  EXPECT_EQ(list.entries[2].fileName, u"english_uk.ini");
  EXPECT_EQ(list.selected, 1);
}

TEST_F(LanguageFolder, SelectionNeedsTheExactFileName) {
  const struct {
    WideString setting;
    int selected;
  } cases[] = {
      {u"english_uk.ini", 2},
      {u"English_UK.ini", -1},
      {dir.File("english_uk.ini"), -1}, // the default full path of a first start
      {u"", -1},
      {u"tunbrix_cfg.ini", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToUtf8(c.setting));
    EXPECT_EQ(ListLanguages(dir.Wide(), c.setting).selected, c.selected);
  }
  EXPECT_TRUE(ListLanguages(dir.File("no such folder"), u"").entries.empty());
}

// Choosing an entry gives a full path, which the configuration stores as the
// bare name, which selects the entry again at the next start.
TEST_F(LanguageFolder, ChosenEntryBecomesTheSetting) {
  for (const TLanguageEntry &entry : ListLanguages(dir.Wide(), u"").entries) {
    SCOPED_TRACE(WideToUtf8(entry.text));
    const auto setting = LanguageSettingFromEntry(entry.text, dir.Wide());
    ASSERT_TRUE(setting);
    EXPECT_EQ(*setting, dir.File(WideToUtf8(entry.fileName)));
    const WideString stored = StoredLanguagePath(*setting, dir.Wide());
    EXPECT_EQ(stored, entry.fileName);
    const TLanguageList again = ListLanguages(dir.Wide(), stored);
    ASSERT_GE(again.selected, 0);
    EXPECT_EQ(again.entries[again.selected].text, entry.text);
  }
  EXPECT_EQ(ApplyLanguage(*LanguageSettingFromEntry(u"Deutsch         (deutsch.ini)", dir.Wide()))
                .ToolbarAbort,
            u"Abbrechen");

  const struct {
    WideString text;
    std::optional<WideString> setting;
  } cases[] = {
      {u"X (a.ini)", u"/exe/a.ini"}, // no wide separator: after the first "("
      {u"Lang         (old (2).ini)", u"/exe/old (2).ini"},
      {u"no file name", std::nullopt},
      {u"Lang         ()", std::nullopt},
      {u"Lang         (a.ini", std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToUtf8(c.text));
    EXPECT_EQ(LanguageSettingFromEntry(c.text, u"/exe/"), c.setting);
  }
}

} // namespace
} // namespace tunbrix
