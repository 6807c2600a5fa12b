#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <string>

#include "foundation/datapaklib.h"
#include "foundation/fastini.h"
#include "foundation/file_io.h"
#include "settings/settings.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using test::W;

// An executable at /opt/tunbrix/tunbrix in a file system held in memory: its
// configuration is read through the pack (which is missing, so only the loose
// file counts) and written beside it.
class Config {
public:
  MemoryFileSystem fs;
  TSettingsPaths paths{u"/opt/tunbrix/", u"/opt/tunbrix/tunbrix"};
  const WideString path = u"/opt/tunbrix/tunbrix_cfg.ini";

  void Write(const std::string &text) { fs.SetFile(path, Bytes(text.begin(), text.end())); }
  std::string Text() const {
    const auto bytes = fs.GetFile(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
  }
  TSettings Load() {
    CDataPak pak(fs, u"/opt/tunbrix/tunbrix.dat");
    return LoadSettings(pak, "tunbrix_cfg.ini", paths);
  }
  bool Save(const TSettings &settings) { return SaveSettings(settings, paths, fs, path); }
  TSettings StartUp() {
    CDataPak pak(fs, u"/opt/tunbrix/tunbrix.dat");
    return StartUpSettings(pak, "tunbrix_cfg.ini", paths, fs, path);
  }
  // The stored value of a key in the written file; nullopt when it is missing.
  std::optional<std::string> Value(const std::string &section, const std::string &key) const {
    TFastini store;
    store.LoadFromBuffer(Text());
    if (!store.FindSection(section)) return std::nullopt;
    const std::string missing = "\x01missing";
    std::string value = store.ReadString(key, missing);
    if (value == missing) return std::nullopt;
    return value;
  }
  int SectionCount(const std::string &name) const {
    TFastini store;
    store.LoadFromBuffer(Text());
    std::vector<std::string> names;
    store.ReadSectionNames(names);
    int count = 0;
    for (const auto &n : names)
      count += CompareIniNames(n, name) == 0;
    return count;
  }
};

// A record in which every field differs from its default.
TSettings FullSettings() {
  TSettings s;
  s.guiLoaded = true;
  s.GUI = {"DejaVu Sans", 11, 0,     12,    34,    640,   480,   5,   6,  700,
           500,           0,  false, false, false, false, false, 321, 123};
  s.Columns = {{u"Filename", 1, 0, true, 0, u""},
               {u"Größe", 105, 1, false, 80, u"%.1f"},
               {u"Status", 200, 2, false, 0, u"x"}};
  TGeneralSettings &g = s.General;
  g.PreserveDirStructure = false;
  g.LoadFileInfo = false;
  g.KeepFileList = false;
  g.SaveListEveryFile = true;
  g.SaveDebugRunPrgList = false;
  g.SkipAlreadyProcessed = true;
  g.ShowHintABR = true;
  g.ShowHintABRSize = "700";
  g.DeleteInput = true;
  g.PreserveDates = false;
  g.WarnNotFound = false;
  g.Language = u"lang/deutsch.ini";
  g.Recursive = false;
  g.OutExists = 2;
  g.RedirectStdErr = false;
  g.RedirectStdErrFile = u"/tmp/errors ü.txt";
  g.WebLinksFile = u"links.ini";
  g.PlaySound = true;
  g.PlaySoundFile = u"/usr/share/sounds/done.wav";
  g.DoWhenCompleted = 5;
  s.LastUsedDirs = {u"/music/out", u"/home/ä/out"};
  s.RecentFolders = {u"/music/a", u"/music/b"};
  s.FilenamesTags = {false, true, false, false, false, false, u" the of "};
  s.WordReplace = {{u"Feat", u"feat."}, {u"ft", u""}, {u"Ü", u"ue"}};
  s.FilenamesSaving = {true, true, true, true, true, true, "32", u"abc", u"%Artist% – %Title%",
                       false};
  s.TaggingAdv = {{u".mp3 .mp2", 0x1103}, {u".flac", 0x10}};
  s.Tagging = {3, 0, 1, 0, true, false};
  s.TaggingItems = {{"COMMENT", u"ripped by me", false}, {"ALBUMARTIST", u"Björk", false}};
  s.TaggingFormat = {u"%Artist% - %Title%", u"%Track% %Title%"};
  s.TaggingFormatCurrent = u"%Artist% - %Title%";
  s.External = {7, 2};
  s.ScriptLastUsed = "MP3 (LAME)";
  s.crashMarker = 1;
  return s;
}

// Section by section, so that a failure names the part that was lost.
void ExpectSameSettings(const TSettings &a, const TSettings &b) {
  EXPECT_EQ(a.guiLoaded, b.guiLoaded);
  EXPECT_EQ(a.GUI, b.GUI);
  EXPECT_EQ(a.Columns, b.Columns);
  EXPECT_EQ(a.General, b.General);
  EXPECT_EQ(a.LastUsedDirs, b.LastUsedDirs);
  EXPECT_EQ(a.RecentFolders, b.RecentFolders);
  EXPECT_EQ(a.FilenamesTags, b.FilenamesTags);
  EXPECT_EQ(a.WordReplace, b.WordReplace);
  EXPECT_EQ(a.FilenamesSaving, b.FilenamesSaving);
  EXPECT_EQ(a.TaggingAdv, b.TaggingAdv);
  EXPECT_EQ(a.Tagging, b.Tagging);
  EXPECT_EQ(a.TaggingItems, b.TaggingItems);
  EXPECT_EQ(a.TaggingFormat, b.TaggingFormat);
  EXPECT_EQ(a.TaggingFormatCurrent, b.TaggingFormatCurrent);
  EXPECT_EQ(a.External, b.External);
  EXPECT_EQ(a.ScriptLastUsed, b.ScriptLastUsed);
  EXPECT_EQ(a.crashMarker, b.crashMarker);
  EXPECT_EQ(a, b);
}

TEST(Settings, FullRecordSurvivesSaveAndLoad) {
  Config config;
  TSettings full = FullSettings();
  full.crashMarker = kCleanExitMarker; // a clean close, read back as 1
  ASSERT_TRUE(config.Save(full));
  full.crashMarker = 1;
  TSettings loaded = config.Load();
  ExpectSameSettings(loaded, full);
  // A second save of the loaded record writes the same file.
  const std::string first = config.Text();
  loaded.crashMarker = kCleanExitMarker;
  ASSERT_TRUE(config.Save(loaded));
  EXPECT_EQ(config.Text(), first);
  ExpectSameSettings(config.Load(), full);
}

TEST(Settings, MissingOrGarbageConfigurationGivesEveryDefault) {
  Config config;
  const TSettings defaults = MakeDefaultSettings(config.paths);
  EXPECT_EQ(config.Load(), defaults);
  EXPECT_FALSE(defaults.guiLoaded);
  EXPECT_EQ(defaults.General.Language, u"/opt/tunbrix/tunbrix_language.ini");
  EXPECT_EQ(defaults.crashMarker, 0);

  std::mt19937 random(7);
  std::string garbage;
  for (int i = 0; i < 4096; ++i)
    garbage += static_cast<char>(random());
  config.Write(garbage);
  EXPECT_EQ(config.Load(), defaults);

  // Values that do not convert take their key's default; a bool reads true
  // only for "1", "Y" or "TRUE".
  config.Write("[GUI]\nFont.Size=12pt\n[General]\nKeepFileList=true\nDeleteInput=Y\n"
               "[Tagging]\nFixTagNames=abc\n[External]\nPriority=\n");
  const TSettings loaded = config.Load();
  EXPECT_TRUE(loaded.guiLoaded);
  EXPECT_EQ(loaded.GUI, defaults.GUI);
  EXPECT_FALSE(loaded.General.KeepFileList);
  EXPECT_TRUE(loaded.General.DeleteInput);
  EXPECT_EQ(loaded.Tagging.FixTagNames, 3);
  EXPECT_EQ(loaded.External.Priority, 1);
}

TEST(Settings, GuiKeysAreReadOnlyWithTheirSection) {
  Config config;
  config.Write("[Gui.Other]\nFont.Size=20\n[General]\nFont.Size=20\n");
  EXPECT_FALSE(config.Load().guiLoaded);
  config.Write("[gui]\nFont.Size=20\nMainForm.State=2\n");
  const TSettings loaded = config.Load();
  EXPECT_TRUE(loaded.guiLoaded);
  EXPECT_EQ(loaded.GUI.FontSize, 20);
  EXPECT_EQ(loaded.GUI.MainFormState, 2);
  EXPECT_EQ(loaded.GUI.FontName, "Tahoma");
}

// Stored values outside the choices of a list: the tagging indexes fall back
// to their defaults; the other lists select nothing (-1), which is written
// back as it is.
TEST(Settings, OutOfRangeChoices) {
  const struct {
    std::string section, key, stored;
    int32_t expected;
    std::string writtenBack;
  } cases[] = {
      {"Tagging", "OtherTagFormat", "4", 0, "0"},
      {"Tagging", "OtherTagFormat", "-1", 0, "0"},
      {"Tagging", "DiffTagVersion", "7", 1, "1"},
      {"Tagging", "DiffTagVersion", "0", 0, "0"},
      {"Tagging", "FixTagNames", "-1", 3, "3"},
      {"Tagging", "FixTagNames", "2", 2, "2"},
      {"Tagging", "SortTagNames", "3", 2, "2"},
      {"Tagging", "SortTagNames", "0", 0, "0"},
      {"General", "OutExists", "9", -1, "-1"},
      {"General", "OutExists", "3", 3, "3"},
      {"General", "DoWhenCompleted", "6", -1, "-1"},
      {"External", "StartProgAs", "11", -1, "-1"},
      {"External", "StartProgAs", "10", 10, "10"},
      {"External", "Priority", "3", -1, "-1"},
      {"External", "Priority", "-1", -1, "-1"},
      {"GUI", "MainForm.State", "7", 0, "0"},
      {"GUI", "SettingsForm.ActivePage", "99", 0, "-1"},
      {"GUI", "SettingsForm.ActivePage", "7", 7, "-1"},
      {"GUI", "SettingsForm.ActivePage", "-1", 0, "-1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.section + "." + c.key + "=" + c.stored);
    Config config;
    config.Write("[" + c.section + "]\n" + c.key + "=" + c.stored + "\n");
    const TSettings loaded = config.Load();
    const std::map<std::string, int32_t> read = {
        {"OtherTagFormat", loaded.Tagging.OtherTagFormat},
        {"DiffTagVersion", loaded.Tagging.DiffTagVersion},
        {"FixTagNames", loaded.Tagging.FixTagNames},
        {"SortTagNames", loaded.Tagging.SortTagNames},
        {"OutExists", loaded.General.OutExists},
        {"DoWhenCompleted", loaded.General.DoWhenCompleted},
        {"StartProgAs", loaded.External.StartProgAs},
        {"Priority", loaded.External.Priority},
        {"MainForm.State", loaded.GUI.MainFormState},
        {"SettingsForm.ActivePage", loaded.GUI.SettingsFormActivePage},
    };
    EXPECT_EQ(read.at(c.key), c.expected);
    ASSERT_TRUE(config.Save(loaded));
    EXPECT_EQ(config.Value(c.section, c.key), c.writtenBack);
  }
}

TEST(Settings, MaximisedWindowKeepsTheLastNormalGeometry) {
  Config config;
  config.Write("[GUI]\nMainForm.Top=10\nMainForm.Left=20\nMainForm.Width=800\n"
               "MainForm.Height=600\n");
  TSettings settings = config.Load();
  settings.GUI.MainFormState = 2;
  settings.GUI.MainFormWidth = 1920; // the maximised size, not to be kept
  ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.Value("GUI", "MainForm.State"), "2");
  EXPECT_EQ(config.Value("GUI", "MainForm.Width"), "800");
  const TSettings loaded = config.Load();
  EXPECT_EQ(loaded.GUI.MainFormState, 2);
  EXPECT_EQ(loaded.GUI.MainFormTop, 10);
  EXPECT_EQ(loaded.GUI.MainFormLeft, 20);
  EXPECT_EQ(loaded.GUI.MainFormWidth, 800);
  EXPECT_EQ(loaded.GUI.MainFormHeight, 600);
}

TEST(Settings, HistoryLists) {
  Config config;
  TSettings settings = MakeDefaultSettings(config.paths);
  for (int i = 0; i < 11; ++i)
    settings.LastUsedDirs.push_back(W("/out/" + std::to_string(i)));
  for (int i = 0; i < 12; ++i)
    settings.RecentFolders.push_back(W("/in/" + std::to_string(i)));
  ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.Value("LastUsedDirs", "n00"), "/out/0");
  EXPECT_EQ(config.Value("LastUsedDirs", "n10"), "/out/10");
  EXPECT_EQ(config.Value("RecentFolders", "n9"), "/in/9");
  EXPECT_EQ(config.Value("RecentFolders", "n10"), std::nullopt);
  const TSettings loaded = config.Load();
  EXPECT_EQ(loaded.LastUsedDirs, settings.LastUsedDirs);
  ASSERT_EQ(loaded.RecentFolders.size(), 10u);
  EXPECT_EQ(loaded.RecentFolders.back(), u"/in/9");
}

TEST(Settings, TagItemsAreEscapedAndOnlyLiveOnesWritten) {
  Config config;
  TSettings settings = MakeDefaultSettings(config.paths);
  settings.TaggingItems = {
      {"COMMENT", u"a=b \"quoted\"\r\nsecond line\ttab ä €", false},
      {"DELETED", u"gone", true},
      {"EMPTY", u"", false},
      {"NAME=ODD\"", u" blanks kept ", false},
  };
  ASSERT_TRUE(config.Save(settings));
  const std::string text = config.Text();
  EXPECT_NE(text.find("n0Value = a\\x3Db \\x22quoted\\x22\\x0D\\x0Asecond line\\x09tab"),
            std::string::npos)
      << text;
  EXPECT_EQ(config.Value("Tagging.Items", "n1Name"), "NAME\\x3DODD\\x22");
  EXPECT_EQ(config.Value("Tagging.Items", "n2Name"), std::nullopt);
  const TSettings loaded = config.Load();
  ASSERT_EQ(loaded.TaggingItems.size(), 2u);
  EXPECT_EQ(loaded.TaggingItems[0], settings.TaggingItems[0]);
  EXPECT_EQ(loaded.TaggingItems[1], settings.TaggingItems[3]);
}

TEST(Settings, IndexedListsEndAtTheFirstEmptyRecordAndAreRewrittenWhole) {
  Config config;
  config.Write("[GUI.Columns]\n"
               "n0Name=Filename\nn0TypeID=1\nn1Name=Bitrate\nn1TypeID=25\nn1Alignment=1\n"
               "n2Name=Status\nn2TypeID=200\nn3Name=\nn3TypeID=3\nn4Name=Hidden\nn4TypeID=4\n"
               "[WordReplace]\nn0Old=zz\nn0New=y\nn1Old=Ab\nn2Old=aa\nn2New=x\nn4Old=lost\n"
               "[Tagging.Adv]\nn0Ext=.mp3\nn0Tags=3\nn1Ext=.ogg\nn1Tags=16\nn3Ext=.wv\n"
               "[GUI.Columns]\nn0Name=Second copy\nn0TypeID=2\n");
  TSettings settings = config.Load();
  ASSERT_EQ(settings.Columns.size(), 3u);
  EXPECT_EQ(settings.Columns[1].Name, u"Bitrate");
  EXPECT_EQ(settings.Columns[1].Alignment, 1);
  EXPECT_TRUE(settings.Columns[1].AutoSize);
  ASSERT_EQ(settings.WordReplace.size(), 3u);
  EXPECT_EQ(settings.WordReplace[1].New, u"");
  ASSERT_EQ(settings.TaggingAdv.size(), 2u);

  settings.Columns.insert(settings.Columns.begin() + 1, TColumnSetting()); // left out
  settings.TaggingAdv.push_back({u"  .ape .mpc\t", (int64_t(1) << 32) | 0x2008});
  settings.TaggingAdv.push_back({u"   ", 1}); // would end the list: left out
  settings.TaggingAdv.push_back({u".wv", 8});
  ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.SectionCount("GUI.Columns"), 1);
  EXPECT_EQ(config.Value("GUI.Columns", "n2Name"), "Status");
  EXPECT_EQ(config.Value("GUI.Columns", "n3TypeID"), std::nullopt);
  EXPECT_EQ(config.Value("GUI.Columns", "n4Name"), std::nullopt);
  // Sorted by Old without regard to case, as the settings window lists them.
  EXPECT_EQ(config.Value("WordReplace", "n0Old"), "aa");
  EXPECT_EQ(config.Value("WordReplace", "n1Old"), "Ab");
  EXPECT_EQ(config.Value("WordReplace", "n2Old"), "zz");
  EXPECT_EQ(config.Value("WordReplace", "n4Old"), std::nullopt);
  EXPECT_EQ(config.Value("Tagging.Adv", "n2Ext"), ".ape .mpc");
  EXPECT_EQ(config.Value("Tagging.Adv", "n2Tags"), "8200"); // the high 32 bits dropped
  EXPECT_EQ(config.Value("Tagging.Adv", "n3Ext"), ".wv");
  EXPECT_EQ(config.Load().TaggingAdv.size(), 4u);
}

TEST(Settings, UnknownKeysAndWebLinksFileSurviveEverySave) {
  Config config;
  config.Write("[General]\nWebLinksFile=my links.ini\nFutureKey=kept\n"
               "[Plugins]\nname=value\n[Script]\nLastUsed=Old script\n");
  TSettings settings = config.Load();
  EXPECT_EQ(settings.General.WebLinksFile, u"my links.ini");
  EXPECT_EQ(settings.ScriptLastUsed, "Old script");
  settings.General.WebLinksFile = u"changed.ini"; // never written over the user's key
  settings.ScriptLastUsed.reset();                // no script selected: the key stays
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.Value("General", "WebLinksFile"), "my links.ini");
  EXPECT_EQ(config.Value("General", "FutureKey"), "kept");
  EXPECT_EQ(config.Value("Plugins", "name"), "value");
  EXPECT_EQ(config.Value("Script", "LastUsed"), "Old script");

  settings.ScriptLastUsed = "New script";
  ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.Value("Script", "LastUsed"), "New script");
}

// A stored ZIP entry (local header only, which is all the pack reads).
std::string StoredZipEntry(const std::string &name, const std::string &data) {
  auto le = [](uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i)
      out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
  };
  return le(0x04034B50, 4) + le(20, 2) + le(0, 2) + le(0, 2) + le(0, 4) + le(0, 4) +
         le(uint32_t(data.size()), 4) + le(uint32_t(data.size()), 4) +
         le(uint32_t(name.size()), 2) + le(0, 2) + name + data;
}

TEST(Settings, ConfigurationShippedInThePackKeepsItsWebLinksFile) {
  Config config;
  const std::string shipped = "[General]\nWebLinksFile=tunbrix_links.ini\nKeepFileList=0\n";
  const std::string zip = StoredZipEntry("tunbrix_cfg.ini", shipped);
  config.fs.SetFile(u"/opt/tunbrix/tunbrix.dat", Bytes(zip.begin(), zip.end()));
  const TSettings settings = config.StartUp();
  EXPECT_FALSE(settings.General.KeepFileList);
  // The start-up save made the first loose copy; the next start reads it.
  EXPECT_EQ(config.Value("General", "WebLinksFile"), "tunbrix_links.ini");
  EXPECT_EQ(config.Load().General.WebLinksFile, u"tunbrix_links.ini");
}

TEST(Settings, LanguagePathIsStoredRelativeToTheExecutable) {
  const WideString exe = u"/opt/tunbrix/";
  const struct {
    WideString setting, resolved, stored;
  } cases[] = {
      {u"/opt/tunbrix/tunbrix_language.ini", u"/opt/tunbrix/tunbrix_language.ini",
       u"tunbrix_language.ini"},
      {u"deutsch.ini", u"/opt/tunbrix/deutsch.ini", u"deutsch.ini"},
      {u"/opt/tunbrix/lang/fr.ini", u"/opt/tunbrix/lang/fr.ini", u"lang/fr.ini"},
      {u"/opt/tunbrix2/fr.ini", u"/opt/tunbrix2/fr.ini", u"/opt/tunbrix2/fr.ini"},
      {u"/home/me/fr.ini", u"/home/me/fr.ini", u"/home/me/fr.ini"},
      {u"/opt/tunbrix/", u"/opt/tunbrix/", u"/opt/tunbrix/"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(WideToUtf8(c.setting));
    EXPECT_EQ(ResolveLanguagePath(c.setting, exe), c.resolved);
    EXPECT_EQ(StoredLanguagePath(c.setting, exe), c.stored);
    EXPECT_EQ(ResolveLanguagePath(c.stored, exe), c.resolved); // what the next start finds
  }
  EXPECT_EQ(ResolveLanguagePath(u"x.ini", u"/opt/tunbrix"), u"/opt/tunbrix/x.ini");
}

TEST(Settings, CleanExitMarker) {
  Config config;
  // First start without a configuration: the marker reads 0 (a warning) and
  // the file written at once says 0.
  TSettings settings = config.StartUp();
  EXPECT_EQ(settings.crashMarker, 0);
  EXPECT_EQ(config.Value("General", "CleanExit"), "0");

  // Only the marker 5 of a clean close writes 1.
  settings.crashMarker = 1;
  ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.Value("General", "CleanExit"), "0");
  settings.crashMarker = kCleanExitMarker;
  ASSERT_TRUE(config.Save(settings));
  EXPECT_EQ(config.Value("General", "CleanExit"), "1");

  // The next start sees the clean exit, and its start-up save sets 0 again.
  settings = config.StartUp();
  EXPECT_EQ(settings.crashMarker, 1);
  EXPECT_EQ(config.Value("General", "CleanExit"), "0");
  // That run is killed: no closing save, so the start after it warns.
  EXPECT_EQ(config.StartUp().crashMarker, 0);
}

TEST(Settings, FailedSaveKeepsTheOldFile) {
  MemoryFileSystem inner;
  Config reference;
  const std::string old = "[General]\nFutureKey=kept\nKeepFileList=0\n";
  inner.SetFile(reference.path, Bytes(old.begin(), old.end()));
  const TSettings settings = FullSettings();
  bool saved = false;
  for (int64_t failAt = 1; !saved && failAt < 200; ++failAt) {
    SCOPED_TRACE(failAt);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(inner, faults);
    saved = SaveSettings(settings, reference.paths, fs, reference.path);
    const auto bytes = inner.GetFile(reference.path);
    ASSERT_TRUE(bytes);
    const std::string now(bytes->begin(), bytes->end());
    if (!saved) {
      EXPECT_EQ(now, old);
    } else {
      TFastini store; // the old file was read before it was replaced
      store.LoadFromBuffer(now);
      store.FindSection("General");
      EXPECT_EQ(store.ReadString("FutureKey", ""), "kept");
    }
    for (const WideString &name : inner.FileNames())
      EXPECT_TRUE(name == reference.path) << WideToUtf8(name); // no temporary file left
  }
  EXPECT_TRUE(saved);
  // A folder that cannot be written: false, and nothing else happens.
  EXPECT_FALSE(SaveSettings(settings, reference.paths, u"/nonexistent/folder/cfg.ini"));
}

} // namespace
} // namespace tunbrix
