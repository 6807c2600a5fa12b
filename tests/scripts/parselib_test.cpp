#include "scripts/parselib.h"

#include <gtest/gtest.h>

#include "foundation/datapaklib.h"
#include "foundation/fastini.h"
#include "foundation/file_io.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using test::W;

// The pack finds loose files beside it, so an in-memory folder with the
// three sidecar files stands in for the program's folder.
class ScriptFiles {
public:
  void Put(const std::string &name, const std::string &text) {
    fs.SetFile(u"/app/" + W(name), Bytes(text.begin(), text.end()));
  }
  std::string Get(const std::string &name) const {
    auto bytes = fs.GetFile(u"/app/" + W(name));
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
  }
  CScript &Load(const std::string &scripts, const std::string &overrides = {},
                const std::string &rules = {}) {
    if (!scripts.empty()) Put("t_script.ini", scripts);
    if (!overrides.empty()) Put("t_script_user.ini", overrides);
    if (!rules.empty()) Put("t_script_errorcodes.ini", rules);
    pack = std::make_unique<CDataPak>(fs, u"/app/t.dat");
    set = std::make_unique<CScript>(pack.get());
    set->LoadScripts(u"t_script.ini");
    return *set;
  }

  MemoryFileSystem fs;
  std::unique_ptr<CDataPak> pack;
  std::unique_ptr<CScript> set;
};

// A loadable section with the given extra lines.
std::string Section(const std::string &name, const std::string &lines) {
  return "[" + name + "]\nShortDesc=" + name + "\nMenu=" + name + "\n" + lines + "\n";
}

std::vector<std::string> SectionNames(const CScript &set) {
  std::vector<std::string> names;
  for (const auto &script : set.Scripts())
    names.push_back(script->sectionName);
  return names;
}

std::vector<int32_t> StepNumbers(const TScript &script) {
  std::vector<int32_t> numbers;
  for (const TAction &step : script.steps)
    numbers.push_back(step.number);
  return numbers;
}

TEST(ScriptLoading, WhichSectionsBecomeScripts) {
  ScriptFiles files;
  const CScript &set = files.Load(
      Section("plain", "") + Section("off", "Disable=1") + Section("offY", "Disable=Y") +
      Section("lowercase_true_is_not_true", "Disable=true") + "[no_menu]\nShortDesc=x\n" +
      "[no_name]\nMenu=x\n" + "[empty_name]\nShortDesc=\nMenu=x\n" + Section("last", ""));
  EXPECT_EQ(SectionNames(set),
            (std::vector<std::string>{"plain", "lowercase_true_is_not_true", "last"}));
  EXPECT_EQ(set.DefaultConverter(), nullptr);
  EXPECT_EQ(set.FindScript("last"), set.Scripts()[2].get());
  EXPECT_EQ(set.FindScript("LAST"), nullptr);
}

TEST(ScriptLoading, MissingFilesGiveNoScripts) {
  ScriptFiles files;
  EXPECT_TRUE(files.Load("").Scripts().empty());
  CScript withoutPack(nullptr);
  withoutPack.LoadScripts(u"t_script.ini");
  EXPECT_TRUE(withoutPack.Scripts().empty());
}

TEST(ScriptLoading, ReloadReplacesEverything) {
  ScriptFiles files;
  CScript &set = files.Load(Section("default_converter", "N0inExt=.mp3"));
  ASSERT_NE(set.DefaultConverter(), nullptr);
  files.Put("t_script.ini", Section("other", ""));
  set.LoadScripts(u"t_script.ini");
  EXPECT_EQ(SectionNames(set), std::vector<std::string>{"other"});
  EXPECT_EQ(set.DefaultConverter(), nullptr);
}

TEST(ScriptLoading, DefaultConverterNameIsCaseSensitive) {
  ScriptFiles files;
  const CScript &set =
      files.Load(Section("Default_Converter", "") + Section("default_converter", ""));
  ASSERT_NE(set.DefaultConverter(), nullptr);
  EXPECT_EQ(set.DefaultConverter()->sectionName, "default_converter");
}

TEST(ScriptLoading, FieldsAndDefaults) {
  ScriptFiles files;
  const CScript &set =
      files.Load(Section("bare", "") + Section("full", "LongDesc=long text\nOperatesOn=1\n"
                                                       "DisableConvert=1\nDisableTagging=1\n"
                                                       "EnableTagging=Y\nModifiesInput=TRUE\n"
                                                       "SeparateDirs=1\nStatusText=Busy\n"
                                                       "CustomDesc=Options\nCustomLine=-x 1\n"));
  const TScript &bare = *set.Scripts()[0];
  EXPECT_EQ(bare.StatusText, "Working");
  EXPECT_EQ(bare.OperatesOn, 0);
  EXPECT_FALSE(bare.DisableConvert || bare.DisableTagging || bare.EnableTagging ||
               bare.ModifiesInput || bare.SeparateDirs);
  EXPECT_EQ(bare.trackbar.divisor, 1);
  EXPECT_EQ(bare.trackbar.multiplier, 1);
  EXPECT_EQ(bare.trackbar.separator, 0);
  EXPECT_TRUE(bare.steps.empty());
  const TScript &full = *set.Scripts()[1];
  EXPECT_EQ(full.LongDesc, "long text");
  EXPECT_EQ(full.OperatesOn, 1);
  EXPECT_TRUE(full.DisableConvert && full.DisableTagging && full.EnableTagging &&
              full.ModifiesInput && full.SeparateDirs);
  EXPECT_EQ(full.StatusText, "Busy");
  EXPECT_EQ(full.CustomDesc, "Options");
  EXPECT_EQ(full.CustomLine, "-x 1");
  EXPECT_FALSE(full.customHistory.has_value());
}

TEST(ScriptLoading, StepsEndAtTheFirstEmptyInExtAndSkipDisabledOnes) {
  struct Case {
    const char *lines;
    std::vector<int32_t> steps; // in list order
  } cases[] = {
      {"N0inExt=.a\nN2inExt=.c", {0}},
      {"N0inExt=.a\nN1inExt=.b\nN1Disable=1\nN2inExt=.c", {2, 0}},
      {"N0inExt=.a\nN1inExt=.b\nN2inExt=.c", {2, 1, 0}},
      {"N0Disable=1\nN0inExt=.a\nN1inExt=.b", {1}},
      {"N0inExt=\" \"\nN1inExt=.b", {}},
      {"N1inExt=.b", {}},
  };
  for (const Case &c : cases) {
    ScriptFiles files;
    const CScript &set = files.Load(Section("s", c.lines));
    ASSERT_EQ(set.Scripts().size(), 1u) << c.lines;
    EXPECT_EQ(StepNumbers(*set.Scripts()[0]), c.steps) << c.lines;
  }
}

TEST(ScriptLoading, StepFields) {
  ScriptFiles files;
  const CScript &set = files.Load(
      Section("s", "N0inExt=\"  .MP3 .mp2  \"\nN0outExt=\" .ogg \"\nN0StdIn=1\nN0StdOut=Y\n"
                   "N0ErrorCode=LAME\nN0cmd0=lame '%i' '%o'\nN0cmd1=second\nN0cmd3=after gap\n"
                   "N1inExt=.wav\nN1ErrorCode=unknown\nN1cmd0=\nN1cmd1=never"),
      {}, "[lame]\n1=bad input\n");
  const TScript &script = *set.Scripts()[0];
  ASSERT_EQ(script.steps.size(), 2u);
  const TAction &one = script.steps[0];
  EXPECT_EQ(one.number, 1);
  EXPECT_EQ(one.inExt, u".wav ");
  EXPECT_EQ(one.outExt, u"");
  EXPECT_FALSE(one.StdIn || one.StdOut);
  EXPECT_EQ(one.ErrorCode, nullptr);
  EXPECT_TRUE(one.cmd.empty());
  const TAction &zero = script.steps[1];
  EXPECT_EQ(zero.inExt, u".MP3 .mp2 ");
  EXPECT_EQ(zero.outExt, u".ogg");
  EXPECT_TRUE(zero.StdIn && zero.StdOut);
  ASSERT_NE(zero.ErrorCode, nullptr);
  EXPECT_EQ(zero.ErrorCode->name, "lame");
  EXPECT_EQ(zero.cmd, (std::vector<std::string>{"lame \"%i\" \"%o\"", "second"}));
  EXPECT_EQ(set.ErrorCodes().Sets().size(), 1u);
}

TEST(ScriptLoading, HigherNumberedStepComesFirstForTheSameExtension) {
  ScriptFiles files;
  const CScript &set = files.Load(Section(
      "s", "N0inExt=.wav\nN0cmd0=first\nN1inExt=.mp3\nN1cmd0=mp3\nN2inExt=.wav\nN2cmd0=third"));
  const TScript &script = *set.Scripts()[0];
  const TAction *chosen = nullptr;
  for (const TAction &step : script.steps)
    if (IsExtensionAccepted(u"/music/song.wav", step.inExt)) {
      chosen = &step;
      break;
    }
  ASSERT_NE(chosen, nullptr);
  EXPECT_EQ(chosen->cmd, std::vector<std::string>{"third"});
}

TEST(ScriptLoading, SliderRangeListsAndOverrides) {
  struct Case {
    const char *name;
    const char *lines;
    const char *overrides; // lines of the override section, or nullptr for none
    int32_t minimum, maximum, current;
    size_t values;
  } cases[] = {
      {"computed", "TrackbarMin=1\nTrackbarMax=9\nTrackbarDefault=4", nullptr, 1, 9, 4, 0},
      {"one value stays computed", "TrackbarValues=only\nTrackbarMax=10\nTrackbarDefault=7",
       nullptr, 0, 10, 7, 1},
      {"four values set the maximum", "TrackbarValues=a,b,c,d\nTrackbarMax=10\nTrackbarDefault=7",
       nullptr, 0, 3, 3, 4},
      {"empty entries count", "TrackbarValues=a,,b,", nullptr, 0, 3, 0, 4},
      {"default clamped", "TrackbarMin=2\nTrackbarMax=8\nTrackbarDefault=-5", nullptr, 2, 8, 2, 0},
      {"override lacking TrackbarDefault gives 0, then clamped",
       "TrackbarMin=2\nTrackbarMax=8\nTrackbarDefault=5", "Time=7", 2, 8, 2, 0},
      {"override position clamped", "TrackbarMin=2\nTrackbarMax=8", "TrackbarDefault=99", 2, 8, 8,
       0},
      {"override position kept", "TrackbarMin=2\nTrackbarMax=8", "TrackbarDefault=6", 2, 8, 6, 0},
      {"no clamping when min is not below max", "TrackbarMin=5\nTrackbarMax=1\nTrackbarDefault=9",
       nullptr, 5, 1, 9, 0},
      {"bad numbers take the defaults", "TrackbarMin=x\nTrackbarMax=3y\nTrackbarDefault=0x2",
       nullptr, 0, 0, 2, 0},
  };
  for (const Case &c : cases) {
    ScriptFiles files;
    const std::string overrides = c.overrides ? std::string("[s]\n") + c.overrides + "\n" : "";
    const CScript &set = files.Load(Section("s", c.lines), overrides);
    const tScriptTrackbar &trackbar = set.Scripts()[0]->trackbar;
    EXPECT_EQ(trackbar.minimum, c.minimum) << c.name;
    EXPECT_EQ(trackbar.maximum, c.maximum) << c.name;
    EXPECT_EQ(trackbar.current, c.current) << c.name;
    EXPECT_EQ(trackbar.values.size(), c.values) << c.name;
  }
}

TEST(ScriptLoading, SliderTextsAndNumberedLists) {
  ScriptFiles files;
  const CScript &set = files.Load(
      Section("s", "TrackbarValues=lo,mid,hi\nTrackbarValues0=a,b,c\nTrackbarValues1=x\n"
                   "TrackbarValues3=skipped\nTrackbarDesc=low, middle ,\nTrackbarText=Q %x\n"
                   "TrackbarDivisor=10\nTrackbarMultiplier=3\nTrackbarDecimals=2\n"
                   "TrackbarSeparator=,;") +
          Section("one", "TrackbarValues=single\nTrackbarValues0=not read"),
      "[s]\nTime=123456789012\n");
  const tScriptTrackbar &trackbar = set.Scripts()[0]->trackbar;
  EXPECT_EQ(trackbar.values, (std::vector<std::string>{"lo", "mid", "hi"}));
  ASSERT_TRUE(trackbar.valueLists[0] && trackbar.valueLists[1]);
  EXPECT_EQ(*trackbar.valueLists[0], (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(*trackbar.valueLists[1], std::vector<std::string>{"x"});
  EXPECT_FALSE(trackbar.valueLists[2] || trackbar.valueLists[3]);
  EXPECT_EQ(trackbar.descriptions, (std::vector<std::string>{"low", " middle ", ""}));
  EXPECT_EQ(trackbar.TrackbarText, "Q %x");
  EXPECT_EQ(trackbar.divisor, 10);
  EXPECT_EQ(trackbar.multiplier, 3);
  EXPECT_EQ(trackbar.decimals, 2);
  EXPECT_EQ(trackbar.separator, ',');
  EXPECT_EQ(trackbar.Time, 123456789012);
  EXPECT_FALSE(set.Scripts()[1]->trackbar.valueLists[0]);
}

TEST(ScriptLoading, CustomLineAndHistoryFromOverrides) {
  ScriptFiles files;
  const CScript &set =
      files.Load(Section("box", "CustomDesc=Options\nCustomLine=initial") +
                     Section("keeps", "CustomDesc=Options\nCustomLine=initial") +
                     Section("nobox", "CustomLine=initial"),
                 "[box]\nCustomLine=user\nCustomLine0=one\nCustomLine1=two\nCustomLine3=after gap\n"
                 "[keeps]\nTime=5\n[nobox]\nCustomLine=ignored\nCustomLine0=ignored\n");
  const TScript &box = *set.Scripts()[0];
  EXPECT_EQ(box.CustomLine, "user");
  ASSERT_TRUE(box.customHistory);
  EXPECT_EQ(*box.customHistory, (std::vector<WideString>{u"one", u"two"}));
  EXPECT_EQ(set.Scripts()[1]->CustomLine, "initial");
  EXPECT_FALSE(set.Scripts()[1]->customHistory);
  EXPECT_EQ(set.Scripts()[2]->CustomLine, "initial");
  EXPECT_FALSE(set.Scripts()[2]->customHistory);
}

TEST(ScriptLoading, AcceptData) {
  struct Case {
    const char *lines;
    const char *accepted;
    const char *mask;
  } cases[] = {
      {"N0inExt=.mp3 .mp2", ".mp3 .mp2 ", "*.mp3;*.mp2"},
      {"N0inExt=.", ". ", "*.*"},
      {"N0inExt=.wav\nN1inExt=.wav", ".wav ", "*.wav"},
      {"N0inExt=.mp3\nN1inExt=.wav .mp3", ".wav .mp3 ", "*.wav;*.mp3"},
      {"N0inExt=.mp3\nN1inExt=.", ". .mp3 ", "*.*;*.mp3"},
      {"N0inExt=.\nN1inExt=.mp3", ".mp3 . ", "*.mp3;*.*"},
      {"N0inExt=.gz\nN1inExt=.tar.gz", ".tar.gz .gz ", "*.tar*.gz;*.gz"},
      {"", "", ""},
  };
  for (const Case &c : cases) {
    ScriptFiles files;
    const TScript &script = *files.Load(Section("s", c.lines)).Scripts()[0];
    EXPECT_EQ(script.acceptedExtensions, c.accepted) << c.lines;
    EXPECT_EQ(script.acceptMask, c.mask) << c.lines;
  }
}

TEST(ExtensionTest, WideAndByteForms) {
  struct Case {
    const char *file;
    const char *list;
    bool accepted;
  } cases[] = {
      {"/m/a.mp3", ".mp3 .wav ", true}, {"/m/a.wav", ".mp3 .wav ", true},
      {"/m/A.MP3", ".mp3 ", true},      {"/m/a.mp3", ".MP3 ", true},
      {"/m/a.ÄAC", ".äac ", true},      {"/m/a.mp", ".mp3 ", false},
      {"/m/a.mp3", ".mp ", false},      {"/m/a.gz", ".tar.gz ", false},
      {"/m/a.flac", ".mp3 ", false},    {"/m/a", ". ", true},
      {"/m/a.xyz", ". ", true},         {"/m/a.xyz", ".mp3 . ", true},
      {"/m/a", ".mp3 ", false},         {"/m/a", " ", false},
      {"/m/a.", ".mp3 ", false},        {"/m.mp3/a", ".mp3 ", false},
      {"/m/a.wav", "", false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(IsExtensionAccepted(W(c.file), W(c.list)), c.accepted) << c.file << " / " << c.list;
    EXPECT_EQ(IsExtensionAccepted(std::string(c.file), std::string(c.list)), c.accepted)
        << c.file << " / " << c.list;
  }
}

TEST(ScriptLoading, IconsAreKeptWhenThePackDeliversABitmap) {
  ScriptFiles files;
  std::string bitmap = "BM";
  bitmap.resize(70, '\x01');
  files.Put("good.bmp", bitmap);
  files.Put("text.bmp", "this is no bitmap at all, only text");
  const TScript &script = *files
                               .Load(Section("s", "IconSmall=good.bmp\nIconLarge=missing.bmp") +
                                     Section("t", "IconSmall=text.bmp"))
                               .Scripts()[0];
  EXPECT_EQ(script.IconSmall.name, "good.bmp");
  ASSERT_TRUE(script.IconSmall.bitmap);
  EXPECT_EQ(script.IconSmall.bitmap->size(), 70u);
  EXPECT_EQ(script.IconLarge.name, "missing.bmp");
  EXPECT_FALSE(script.IconLarge.bitmap);
  EXPECT_FALSE(files.set->Scripts()[1]->IconSmall.bitmap);
}

TEST(ScriptOverrides, SaveWritesOnlyWhatMattersAndKeepsVanishedScripts) {
  ScriptFiles files;
  CScript &set = files.Load(Section("slider", "TrackbarMin=0\nTrackbarMax=9\nTrackbarDefault=3") +
                                Section("fixed", "TrackbarDefault=3") +
                                Section("box", "CustomDesc=Options\nCustomLine=-q"),
                            "[gone]\nTrackbarDefault=4\nTime=99\n[slider]\nTime=12\n");
  set.Scripts()[0]->trackbar.current = 7;
  set.Scripts()[2]->CustomLine = "-v";
  ASSERT_TRUE(set.SaveUserOverrides(files.fs, u"/app/t_script.ini"));
  EXPECT_EQ(files.Get("t_script_user.ini"), "[box]\r\n"
                                            "CustomLine = -v\r\n"
                                            "\r\n"
                                            "[fixed]\r\n"
                                            "\r\n"
                                            "[gone]\r\n"
                                            "Time            = 99\r\n"
                                            "TrackbarDefault = 4\r\n"
                                            "\r\n"
                                            "[slider]\r\n"
                                            "Time            = 12\r\n"
                                            "TrackbarDefault = 7\r\n"
                                            "\r\n");
}

TEST(ScriptOverrides, RoundTrip) {
  ScriptFiles files;
  const std::string definitions =
      Section("a", "TrackbarValues=1,2,3,4\nCustomDesc=Line\nCustomLine=start") +
      Section("b", "TrackbarMin=-5\nTrackbarMax=5");
  CScript &set = files.Load(definitions);
  set.Scripts()[0]->trackbar.current = 2;
  set.Scripts()[0]->trackbar.Time = 5000000000;
  set.Scripts()[0]->CustomLine = "my text ";
  set.Scripts()[1]->trackbar.current = -4;
  ASSERT_TRUE(set.SaveUserOverrides(files.fs, u"/app/t_script.ini"));

  ScriptFiles again;
  again.Put("t_script_user.ini", files.Get("t_script_user.ini"));
  const CScript &reloaded = again.Load(definitions);
  EXPECT_EQ(reloaded.Scripts()[0]->trackbar.current, 2);
  EXPECT_EQ(reloaded.Scripts()[0]->trackbar.Time, 5000000000);
  EXPECT_EQ(reloaded.Scripts()[0]->CustomLine, "my text ");
  EXPECT_EQ(reloaded.Scripts()[1]->trackbar.current, -4);
}

TEST(ScriptOverrides, UnreadableOverrideFileIsNotReplaced) {
  ScriptFiles files;
  CScript &set = files.Load(Section("s", "TrackbarMax=3"));
  files.Put("t_script_user.ini", "[other]\nTime=1\n");
  for (int64_t failAt = 1; failAt <= 2; ++failAt) {
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem faulty(files.fs, faults);
    EXPECT_FALSE(set.SaveUserOverrides(faulty, u"/app/t_script.ini")) << failAt;
    EXPECT_EQ(files.Get("t_script_user.ini"), "[other]\nTime=1\n") << failAt;
  }
  files.Put("t_script_user.ini", "");
  EXPECT_TRUE(set.SaveUserOverrides(files.fs, u"/app/t_script.ini"));
  EXPECT_EQ(files.Get("t_script_user.ini"), "[s]\r\nTrackbarDefault = 0\r\n\r\n");
}

TEST(ScriptOverrides, DiskOverloadWritesBesideTheScriptFile) {
  test::TempDir dir;
  ScriptFiles files;
  CScript &set = files.Load(Section("s", "TrackbarMax=3\nTrackbarDefault=2"));
  test::WriteFileBytes(dir.Path() / "prog_script_user.ini", "[kept]\nTime=3\n");
  ASSERT_TRUE(set.SaveUserOverrides(dir.File("prog_script.ini")));
  EXPECT_EQ(test::ReadFileBytes(dir.Path() / "prog_script_user.ini"),
            "[kept]\r\nTime = 3\r\n\r\n[s]\r\nTrackbarDefault = 2\r\n\r\n");
}

TEST(ScriptMenu, SharedSubmenusSeparatorsAndEntries) {
  ScriptFiles files;
  const CScript &set =
      files.Load("[mp3]\nShortDesc=MP3\nMenu=Encode\\MP3\nN0inExt=.wav\nN1inExt=.mp3 .wav\n"
                 "[ogg]\nShortDesc=Ogg\nMenu=Encode\\-Ogg\nN0inExt=.wav\n"
                 "[tool]\nShortDesc=Tool\nMenu=-Tools\\Deep\\Tool\n"
                 "[twin]\nShortDesc=Twin\nMenu=Encode\\MP3\nN0inExt=.\n"
                 "[top]\nShortDesc=Top\nMenu=Top\nN0inExt=.x\n");
  const TScriptMenuItem menu = BuildScriptMenu(set);
  ASSERT_EQ(menu.children.size(), 3u);
  const TScriptMenuItem &encode = menu.children[0];
  EXPECT_EQ(encode.caption, "Encode");
  EXPECT_EQ(encode.script, nullptr);
  EXPECT_FALSE(encode.separatorBefore);
  ASSERT_EQ(encode.children.size(), 3u);
  EXPECT_EQ(encode.children[0].caption, "MP3");
  EXPECT_EQ(encode.children[0].script, set.Scripts()[0].get());
  EXPECT_EQ(encode.children[0].hint, "MP3 accepts: *.mp3;*.wav");
  EXPECT_TRUE(encode.children[0].enabled);
  EXPECT_FALSE(encode.children[0].separatorBefore);
  EXPECT_EQ(encode.children[1].caption, "Ogg");
  EXPECT_TRUE(encode.children[1].separatorBefore);
  EXPECT_EQ(encode.children[1].script, set.Scripts()[1].get());
  // A second script with the same path gets an entry of its own.
  EXPECT_EQ(encode.children[2].caption, "MP3");
  EXPECT_EQ(encode.children[2].script, set.Scripts()[3].get());
  EXPECT_EQ(encode.children[2].hint, "Twin accepts: *.*");

  const TScriptMenuItem &tools = menu.children[1];
  EXPECT_EQ(tools.caption, "Tools");
  EXPECT_TRUE(tools.separatorBefore);
  ASSERT_EQ(tools.children.size(), 1u);
  ASSERT_EQ(tools.children[0].children.size(), 1u);
  const TScriptMenuItem &tool = tools.children[0].children[0];
  EXPECT_EQ(tool.script, set.Scripts()[2].get());
  EXPECT_FALSE(tool.enabled); // no steps
  EXPECT_EQ(tool.hint, "Tool accepts: ");
  EXPECT_EQ(menu.children[2].script, set.Scripts()[4].get());
  EXPECT_TRUE(menu.children[2].children.empty());
}

TEST(ScriptSelection, ClickScriptMovesStateBetweenWindowAndScripts) {
  ScriptFiles files;
  CScript &set =
      files.Load(Section("a", "LongDesc=first\nTrackbarMin=1\nTrackbarMax=9\nTrackbarDefault=4\n"
                              "CustomDesc=Options\nCustomLine=-a") +
                 Section("b", "TrackbarMin=3\nTrackbarMax=3\nTrackbarDefault=3"));
  TScript &a = *set.Scripts()[0];
  TScript &b = *set.Scripts()[1];
  CScriptSelection selection;

  TScriptView view = selection.ClickScript(&a, 0, u"ignored: nothing was current");
  EXPECT_EQ(selection.Current(), &a);
  EXPECT_EQ(view.modeCaption, "a");
  EXPECT_EQ(view.description, "first");
  EXPECT_TRUE(view.sliderVisible);
  EXPECT_EQ(view.sliderMin, 1);
  EXPECT_EQ(view.sliderMax, 9);
  EXPECT_EQ(view.sliderPosition, 4);
  EXPECT_TRUE(view.customVisible);
  EXPECT_EQ(view.customCaption, "Options");
  EXPECT_EQ(view.customText, u"-a");
  EXPECT_EQ(view.customItems, std::vector<WideString>{u"-a"});
  ASSERT_TRUE(a.customHistory);

  // The window's slider and box belong to a until b is clicked.
  view = selection.ClickScript(&b, 7, u"-b é");
  EXPECT_EQ(a.trackbar.current, 7);
  EXPECT_EQ(a.CustomLine, "-b \xC3\xA9");
  EXPECT_EQ(view.modeCaption, "b");
  EXPECT_FALSE(view.sliderVisible);
  EXPECT_EQ(view.sliderPosition, 3);
  EXPECT_FALSE(view.customVisible);

  // b has no box: its text stays its own.
  view = selection.ClickScript(&a, 3, u"hidden box text");
  EXPECT_EQ(b.trackbar.current, 3);
  EXPECT_EQ(b.CustomLine, "");
  EXPECT_EQ(view.sliderPosition, 7);
  EXPECT_EQ(view.customText, u"-b é");
  EXPECT_EQ(view.customItems, std::vector<WideString>{u"-a"}); // the history is kept

  selection.StoreControls(2, u"closing");
  EXPECT_EQ(a.trackbar.current, 2);
  EXPECT_EQ(a.CustomLine, "closing");

  view = selection.ClickScript(nullptr, 5, u"last");
  EXPECT_EQ(selection.Current(), nullptr);
  EXPECT_EQ(a.trackbar.current, 5);
  EXPECT_EQ(view.modeCaption, "(empty)");
  EXPECT_FALSE(view.sliderVisible || view.customVisible);
  EXPECT_EQ(view.description, "");
}

} // namespace
} // namespace tunbrix
