#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <unistd.h>

#include "foundation/file_io.h"
#include "foundation/text_types.h"
#include "foundation/unicode_winapi.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using test::W;

// ---- tokenising and parameters

TEST(NextToken, SplitsAndTerminatesTokens) {
  struct Case {
    std::string input;
    char separator;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"a,b,,c", ',', {"a", "b", "", "c"}},
      {"one", ',', {"one"}},
      {"x,", ',', {"x"}}, // nothing follows the last separator: no empty token
      {",x", ',', {"", "x"}},
      {"", ',', {}},
      {std::string("a b\0c d", 7), ' ', {"a", "b"}}, // the text ends at its NUL
      {"a=b=c", '=', {"a", "b", "c"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.input);
    std::string buffer = c.input;
    size_t position = 0;
    std::vector<std::string> tokens;
    while (auto token = NextToken(buffer, position, c.separator))
      tokens.push_back(*token);
    EXPECT_EQ(tokens, c.tokens);
    // A further call still finds the end.
    EXPECT_FALSE(NextToken(buffer, position, c.separator));
  }
}

TEST(NextToken, OverwritesSeparatorsAndStopsOnTheFinalNul) {
  std::string buffer = "ab;cd";
  size_t position = 0;
  EXPECT_EQ(NextToken(buffer, position, ';'), "ab");
  EXPECT_EQ(position, 3u);
  EXPECT_EQ(buffer, std::string("ab\0cd", 5));
  EXPECT_EQ(NextToken(buffer, position, ';'), "cd");
  EXPECT_EQ(position, 5u); // left on the terminating NUL
  EXPECT_FALSE(NextToken(buffer, position, ';'));
  EXPECT_EQ(position, 5u);
}

TEST(NextParamW, TakesOneParameter) {
  struct Case {
    std::string text;
    std::string param;
    std::string rest; // the text from the returned position on
  };
  const Case cases[] = {
      {"\"/opt/my prog/tunbrix\" -x", "/opt/my prog/tunbrix", " -x"},
      {"  plain next", "plain", " next"},
      {"\"\"  \"\"after", "after", ""},
      {"a\"b c\"d e", "ab cd", " e"},
      {"\"unclosed to end", "unclosed to end", ""},
      {"\t\x01\x1f x", "x", ""},
      {"", "", ""},
      {"   ", "", ""},
      {"\"\"", "", ""},
      {"\"\" \"a b\"", "a b", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    const WideString text = W(c.text);
    size_t position = 0;
    EXPECT_EQ(NextParamW(text, position), W(c.param));
    ASSERT_LE(position, text.size());
    EXPECT_EQ(text.substr(position), W(c.rest));
  }
}

TEST(NextParamW, WalksACommandLine) {
  const WideString line = u"/usr/bin/tunbrix \"/music/a b.mp3\"  --x";
  size_t position = 0;
  EXPECT_EQ(NextParamW(line, position), u"/usr/bin/tunbrix");
  EXPECT_EQ(NextParamW(line, position), u"/music/a b.mp3");
  EXPECT_EQ(NextParamW(line, position), u"--x");
  EXPECT_EQ(NextParamW(line, position), u"");
  EXPECT_EQ(position, line.size());
}

// ---- path parts

TEST(PathParts, SplitOnSlashOnly) {
  struct Case {
    std::string path, folder, name, ext, withoutExt;
  };
  const Case cases[] = {
      {"/music/song.mp3", "/music/", "song.mp3", ".mp3", "/music/song"},
      {"a.b/c", "a.b/", "c", "", "a.b/c"},
      {"name.", "", "name.", ".", "name"},
      {"/a.tar.gz", "/", "a.tar.gz", ".gz", "/a.tar"},
      {"C:\\dir\\x.wav", "", "C:\\dir\\x.wav", ".wav", "C:\\dir\\x"},
      {"dir:x/y", "dir:x/", "y", "", "dir:x/y"},
      {"dir/", "dir/", "", "", "dir/"},
      {".hidden", "", ".hidden", ".hidden", ""},
      {"", "", "", "", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    const WideString path = W(c.path);
    EXPECT_EQ(ExtractFilePathW(path), W(c.folder));
    EXPECT_EQ(ExtractFileNameW(path), W(c.name));
    EXPECT_EQ(ExtractFileExtW(path), W(c.ext));
    EXPECT_EQ(RemoveFileExtW(path), W(c.withoutExt));
  }
}

TEST(PathParts, ChangeFileExt) {
  struct Case {
    std::string path, ext, result;
  };
  const Case cases[] = {
      {"c.", ".mp3", "c..mp3"},       {"a.wav", "", "a.wav"},
      {"a.wav", ".mp3", "a.mp3"},     {"a", ".mp3", "a.mp3"},
      {"a.b/c", ".mp3", "a.b/c.mp3"}, {"/d/x.tar.gz", ".bz2", "/d/x.tar.bz2"},
      {"", ".mp3", ".mp3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path + " + " + c.ext);
    EXPECT_EQ(ChangeFileExtW(W(c.path), W(c.ext)), W(c.result));
  }
}

TEST(PathParts, IncludeTrailingSeparator) {
  EXPECT_EQ(IncludeTrailingBackslashW(u""), u"");
  EXPECT_EQ(IncludeTrailingBackslashW(u"a"), u"a/");
  EXPECT_EQ(IncludeTrailingBackslashW(u"/a/"), u"/a/");
  EXPECT_EQ(IncludeTrailingBackslashW(u"a\\"), u"a\\/");
}

// ---- file names

TEST(FileNames, ReplacesExactlyTheNineInvalidCharacters) {
  WideString name = W("a\"*/:<>?\\|b\t\x7f\u00ff.");
  ReplaceInvalidFileNameChars(name);
  EXPECT_EQ(name, W("a_________b\t\x7f\u00ff."));
}

TEST(FileNames, FoldsAccentsByTheTable) {
  WideString text = W("Crème Brûlée, Ærøskøbing, Ñandú, Þór × ÷ ð þ ß ÿ ý ¢ ¥");
  const size_t length = text.size();
  FoldAccentsW(text);
  EXPECT_EQ(text, W("Creme Brulee, Aroskobing, Nandu, Þor × ÷ ð þ S y y c Y"));
  EXPECT_EQ(text.size(), length);

  // The low positions of the table; characters beyond 255 are kept.
  WideString low = {128, 138, 154, 159, 0x160, 0x178, 0x100};
  FoldAccentsW(low);
  EXPECT_EQ(low, (WideString{u'C', u'S', u's', u'Y', 0x160, 0x178, 0x100}));
}

TEST(FileNames, ReplaceChar) {
  EXPECT_EQ(ReplaceCharW(u"a-b-c", u'-', u'+'), u"a+b+c");
  EXPECT_EQ(ReplaceCharA("a-b-c", '-', ' '), "a b c");
  WideString text = u"x.y.z";
  ReplaceCharInPlaceW(text, u'.', u'/');
  EXPECT_EQ(text, u"x/y/z");
}

TEST(FileNames, UnderscoresToSpaces) {
  struct Case {
    std::string text, result;
  };
  const Case cases[] = {
      {"__The_Artist__", "The Artist"},
      {"\t x_\r\n", "x"},
      {"___", ""},
      {"", ""},
      {"a  b", "a  b"},
      {"\x01y\x1f", "y"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(UnderscoresToSpaces(W(c.text)), W(c.result)) << c.text;
}

// ---- case mapping

TEST(CaseMapping, SpotChecksBeyondLatin1) {
  struct Pair {
    WideChar lower, upper;
  };
  const Pair pairs[] = {
      {u'a', u'A'},     {0x00E9, 0x00C9}, // é
      {0x00FF, 0x0178},                   // ÿ Ÿ
      {0x0101, 0x0100},                   // ā
      {0x03B1, 0x0391}, {0x03C9, 0x03A9}, // Greek alpha, omega
      {0x0434, 0x0414}, {0x0451, 0x0401}, // Cyrillic de, io
      {0x0561, 0x0531}, {0x0586, 0x0556}, // Armenian ayb, feh
      {0x24D0, 0x24B6},                   // circled a
      {0xFF41, 0xFF21},                   // fullwidth a
      {0x2C65, 0x023A},                   // a with stroke: upper below lower
  };
  for (const Pair &p : pairs) {
    EXPECT_EQ(UpperCharW(p.lower), p.upper) << std::hex << int(p.lower);
    EXPECT_EQ(LowerCharW(p.upper), p.lower) << std::hex << int(p.upper);
    EXPECT_EQ(UpperCharW(p.upper), p.upper);
    EXPECT_EQ(LowerCharW(p.lower), p.lower);
  }
  // One-way simple mappings.
  EXPECT_EQ(UpperCharW(0x00DF), 0x00DF); // ß has no single upper-case character
  EXPECT_EQ(LowerCharW(0x1E9E), 0x00DF); // capital sharp s
  EXPECT_EQ(UpperCharW(0x03C2), 0x03A3); // final sigma
  EXPECT_EQ(LowerCharW(0x03A3), 0x03C3);
  EXPECT_EQ(UpperCharW(0x00B5), 0x039C); // micro sign
  EXPECT_EQ(LowerCharW(0x0130), u'i');
  EXPECT_EQ(UpperCharW(0x01C5), 0x01C4); // title-case digraph Dž
  EXPECT_EQ(LowerCharW(0x01C5), 0x01C6);
  // Characters without mapping.
  for (WideChar c : {u'1', u'-', WideChar(0x4E2D), WideChar(0x2603), WideChar(0xD801),
                     WideChar(0xFFFF), WideChar(0)}) {
    EXPECT_EQ(UpperCharW(c), c) << std::hex << int(c);
    EXPECT_EQ(LowerCharW(c), c) << std::hex << int(c);
  }
}

TEST(CaseMapping, StringsKeepTheirLength) {
  const WideString text = W("Straße ǅ Ωμέγα Ёлка Հայաստան 中文 ") + u"\U00010428"; // + Deseret
  const WideString upper = UpperCaseW(text), lower = LowerCaseW(text);
  EXPECT_EQ(upper, W("STRAßE Ǆ ΩΜΈΓΑ ЁЛКА ՀԱՅԱՍՏԱՆ 中文 ") + u"\U00010428");
  EXPECT_EQ(lower, W("straße ǆ ωμέγα ёлка հայաստան 中文 ") + u"\U00010428");
  EXPECT_EQ(upper.size(), text.size());
  EXPECT_EQ(lower.size(), text.size());
}

// Every BMP code point against the Unicode character database, when it is
// installed: the packed table must hold every simple mapping and no other.
TEST(CaseMapping, MatchesUnicodeData) {
  std::ifstream data("/usr/share/unicode/UnicodeData.txt");
  if (!data) GTEST_SKIP() << "missing /usr/share/unicode/UnicodeData.txt";
  std::vector<char32_t> upper(0x10000), lower(0x10000);
  for (char32_t c = 0; c < 0x10000; ++c)
    upper[c] = lower[c] = c;
  std::string line;
  while (std::getline(data, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    std::string field;
    while (std::getline(split, field, ';'))
      fields.push_back(field);
    fields.resize(15);
    const unsigned long code = std::stoul(fields[0], nullptr, 16);
    if (code > 0xFFFF) continue;
    // Ranges (First/Last lines) carry no case mappings.
    if (!fields[12].empty()) upper[code] = std::stoul(fields[12], nullptr, 16);
    if (!fields[13].empty()) lower[code] = std::stoul(fields[13], nullptr, 16);
  }
  int wrong = 0;
  for (char32_t c = 0; c < 0x10000 && wrong < 10; ++c) {
    const char32_t wantUpper = upper[c] > 0xFFFF ? c : upper[c];
    const char32_t wantLower = lower[c] > 0xFFFF ? c : lower[c];
    if (UpperCharW(static_cast<WideChar>(c)) != wantUpper ||
        LowerCharW(static_cast<WideChar>(c)) != wantLower) {
      ADD_FAILURE() << "code point " << std::hex << static_cast<uint32_t>(c);
      ++wrong;
    }
  }
}

// ---- words

TEST(Words, Delimiters) {
  const std::string delimiters = " !\"#$%&()*+,-./:;<=>?@[\\]^_{|}~";
  for (int c = 0; c < 0x3000; ++c) {
    const bool expected = c < 128 && delimiters.find(static_cast<char>(c)) != std::string::npos;
    EXPECT_EQ(IsWordDelimiter(static_cast<WideChar>(c)), expected) << c;
  }
}

TEST(Words, CapitalizeWords) {
  struct Case {
    std::string text, keep, result;
  };
  const Case cases[] = {
      {"the end of time", " of the ", "The End of Time"},
      {"rock'n'roll", "", "Rock'n'roll"},
      {"o-zone", "", "O-Zone"},
      {"mIxed cASE", "", "MIxed CASE"},
      {"a (b) c.d_e", "", "A (B) C.D_E"},
      {"the the", " the ", "The the"},
      {"x Of y", " of ", "X Of Y"}, // the keep test is case-sensitive
      {"war of worlds", " of ", "War of Worlds"},
      {"élan vital über alles", "", "Élan Vital Über Alles"},
      {"ωμέγα дом", "", "Ωμέγα Дом"},
      {"  lead", "", "  Lead"},
      {"", " of ", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    WideString text = W(c.text);
    CapitalizeWords(text, W(c.keep));
    EXPECT_EQ(text, W(c.result));
  }
}

TEST(Words, ReplaceWholeWords) {
  struct Case {
    std::string text, find, replacement, result;
  };
  const Case cases[] = {
      {"feat. x", "feat.", "ft.", "ft. x"},
      {"defeat. x", "feat.", "ft.", "defeat. x"},
      {"a feat.", "feat.", "ft.", "a ft."},
      {"feat.feat. feat.", "feat.", "ft.", "feat.ft. ft."},
      {"Feat. x", "feat.", "ft.", "Feat. x"}, // exact comparison
      {"x y x", "x", "x x", "x x y x x"},     // the inserted text is not scanned again
      {"ab ab", "ab", "", " "},
      {"abc", "", "z", "abc"},
      {"", "a", "b", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text + " / " + c.find);
    EXPECT_EQ(ReplaceWholeWords(W(c.text), W(c.find), W(c.replacement)), W(c.result));
  }
}

TEST(Words, ReplaceWholeWordsNoCase) {
  struct Case {
    std::string text, find, replacement, result;
  };
  const Case cases[] = {
      {"Feat. X FEAT. y", "feat.", "ft.", "ft. X ft. y"},
      {"FEAT. Y", "FeAt.", "Ft.", "Ft. Y"},
      {"DEFEAT. y", "feat.", "ft.", "DEFEAT. y"},
      {"Feat. a FEAT. b feat.", "feat.", "Featuring", "Featuring a Featuring b Featuring"},
      {"ΑΒΓ x αβγ", "αβγ", "abc", "abc x abc"},
      {"A a", "a", "A A", "A A A A"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text + " / " + c.find);
    EXPECT_EQ(ReplaceWholeWordsNoCase(W(c.text), W(c.find), W(c.replacement)), W(c.result));
  }
}

// ---- values in settings

TEST(Escaping, EscapesTheListedBytes) {
  EXPECT_EQ(EscapeValue("a=b"), "a\\x3Db");
  EXPECT_EQ(EscapeValue("\"it's\"\\\n\x1f"), "\\x22it\\x27s\\x22\\x5C\\x0A\\x1F");
  EXPECT_EQ(EscapeValue("plain \x7f\xc3\xa9`"), "plain \x7f\xc3\xa9`");
  EXPECT_EQ(UnescapeValue("a\\x3Db"), "a=b");
}

TEST(Escaping, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b)
    all += static_cast<char>(b);
  const std::string escaped = EscapeValue(all);
  for (const char c : escaped) {
    const auto b = static_cast<unsigned char>(c);
    EXPECT_FALSE(b < 32 || b == '"' || b == '\'' || b == '=') << int(b);
  }
  EXPECT_EQ(UnescapeValue(escaped), all);
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(UnescapeValue(EscapeValue(one)), one) << b;
  }
}

TEST(Escaping, UnescapesLeniently) {
  struct Case {
    std::string text, result;
  };
  const Case cases[] = {
      {"\\x3d", "="},                 // lower-case digits
      {"\\y41", "A"},                 // the x is not checked
      {"\\x 1", std::string("\x01")}, // below '0' counts as 0
      {"\\xG1", std::string("\x01")}, // so does any other non-digit
      {"ab\\x4", "ab\\x4"},           // cut off: kept as written
      {"\\", "\\"},
      {"\\x00z", std::string("\0z", 2)},
      {"no escapes", "no escapes"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(UnescapeValue(c.text), c.result) << c.text;
}

// ---- temporary names

bool IsRandomNameChar(WideChar c) { return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'); }

TEST(TempNames, RandomTempNameShape) {
  std::mt19937 random(12345);
  std::set<WideString> seen;
  for (int i = 0; i < 200; ++i) {
    const WideString name = RandomTempName(random);
    ASSERT_EQ(name.size(), 12u);
    EXPECT_EQ(name[0], u'~');
    EXPECT_EQ(name.substr(8), u".tmp");
    for (size_t k = 1; k < 8; ++k)
      EXPECT_TRUE(IsRandomNameChar(name[k])) << WideToUtf8(name);
    seen.insert(name);
  }
  EXPECT_GT(seen.size(), 190u);
  // The caller's generator is the only state.
  std::mt19937 a(7), b(7);
  EXPECT_EQ(RandomTempName(a), RandomTempName(b));
}

// Sets an environment variable for one scope.
class ScopedEnv {
public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

private:
  const char *name_;
  std::optional<std::string> old_;
};

TEST(TempNames, TempFolderFollowsTmpdir) {
  test::TempDir dir;
  {
    ScopedEnv env("TMPDIR", dir.Path().c_str());
    EXPECT_EQ(GetTempDirectoryW(), dir.Wide());
  }
  for (const char *unusable : {static_cast<const char *>(nullptr), "", "/no/such/folder"}) {
    ScopedEnv env("TMPDIR", unusable);
    EXPECT_EQ(GetTempDirectoryW(), u"/tmp/");
  }
}

TEST(TempNames, MakeTempFileNameCreatesTheFileWhereAsked) {
  test::TempDir dir;
  RealFileSystem fs;

  const WideString beside = MakeTempFileNameW(fs, dir.File("song.mp3"), u"id3");
  EXPECT_EQ(ExtractFilePathW(beside), dir.Wide());
  EXPECT_EQ(ExtractFileNameW(beside).substr(0, 3), u"id3");
  EXPECT_TRUE(fs.Exists(beside));
  EXPECT_NE(MakeTempFileNameW(fs, dir.File("song.mp3"), u"id3"), beside);

  {
    ScopedEnv env("TMPDIR", WideToUtf8(dir.Wide()).c_str());
    const WideString temp = MakeTempFileNameW(fs, u"", u"~cnv");
    EXPECT_EQ(ExtractFilePathW(temp), dir.Wide());
    EXPECT_TRUE(fs.Exists(temp));
  }

  // A bare name: the current folder.
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  const WideString bare = MakeTempFileNameW(fs, u"song.flac", u"flac");
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  EXPECT_EQ(ExtractFilePathW(bare), u"./");
  EXPECT_TRUE(fs.Exists(dir.Wide() + ExtractFileNameW(bare)));
}

TEST(TempNames, MakeTempFileNamePassesTheFolderAndFailure) {
  MemoryFileSystem memory;
  EXPECT_EQ(MakeTempFileNameW(memory, u"/music/a:b/x.mp3", u"tag"), u"/music/a:b/tag1.tmp");
  EXPECT_EQ(MakeTempFileNameW(memory, u"x.mp3", u"tag"), u"./tag2.tmp");
  FaultInjector faults;
  faults.FailAt(1);
  FaultInjectingFileSystem failing(memory, faults);
  EXPECT_EQ(MakeTempFileNameW(failing, u"/music/x.mp3", u"tag"), u"");
}

} // namespace
} // namespace tunbrix
