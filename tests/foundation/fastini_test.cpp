#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sys/stat.h>

#include "foundation/assertions.h"
#include "foundation/fastini.h"
#include "foundation/file_io.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using namespace test::bytes;

// Every section in file order with its keys in file order:
// "[name]key=value|key=value|[next]...".
std::string Dump(const TFastini &ini) {
  std::string out;
  for (const auto &section : ini.Sections()) {
    out += "[" + section->name + "]";
    for (const auto &key : section->keys)
      out += key->name + "=" + key->value + "|";
  }
  return out;
}

// The same in the order the store writes: sections and keys sorted by name,
// equal names in file order.
std::string SortedDump(const TFastini &ini) {
  const auto byName = [](const auto *a, const auto *b) {
    return CompareIniNames(a->name, b->name) < 0;
  };
  std::vector<const TIniSection *> sections;
  for (const auto &section : ini.Sections())
    sections.push_back(section.get());
  std::stable_sort(sections.begin(), sections.end(), byName);
  std::string out;
  for (const TIniSection *section : sections) {
    out += "[" + section->name + "]";
    std::vector<const TIniKey *> keys;
    for (const auto &key : section->keys)
      keys.push_back(key.get());
    std::stable_sort(keys.begin(), keys.end(), byName);
    for (const TIniKey *key : keys)
      out += key->name + "=" + key->value + "|";
  }
  return out;
}

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string ToText(const Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

struct ParseCase {
  const char *what;
  std::string input; // lines end in LF; also run with CR LF and with CR alone
  std::string expected;
};

TEST(Fastini, ParsesTheSameWithEveryLineEnd) {
  const std::vector<ParseCase> cases = {
      {"key before any header is dropped", "k=v\n[s]\na=1\n", "[s]a=1|"},
      {"headers differing in case stay two", "[Abc]\nx=1\n[aBC]\nx=2\n", "[Abc]x=1|[aBC]x=2|"},
      {"header name is not trimmed", "[ s ]\n[]\nk=v\n", "[ s ][]k=v|"},
      {"header without ] ends at its line", "[abc\nk=v\n[def]\nx=1\n", "[abc]k=v|[def]x=1|"},
      {"comment after a header", "[s] ; note\nk=v\n", "[s]k=v|"},
      {"quoted value keeps blanks, unquoted loses them",
       "[s]\na = \"  b  \"\nc = d \t \ne=\"\"\nf=\"open  \n", "[s]a=  b  |c=d|e=|f=open|"},
      {"blanks around name and = go", "  [s]\n\tkey \t=\t v\t\n", "[s]key=v|"},
      {"trailing quotes leave the name", "[s]\nkey\" \t= v\n", "[s]key=v|"},
      {"semicolon inside a value belongs to it", "[s]\na=b;c\n;x=1\n  ; y=2\n", "[s]a=b;c|"},
      {"unquoted value ends at its first quote", "[s]\na=xy\"\nb=1\n", "[s]a=xy|b=1|"},
      {"second = stays in the value", "[s]\na=b=c\n", "[s]a=b=c|"},
      {"lines starting with punctuation or control bytes are ignored whole",
       "[s]\n#N0cmd0=x\n  !k=v\n\"q\"=1\n@a=1\n(p=1\n:c=1\n?d=1\n\x01k=1\n\x1fk=2\nz=1\n",
       "[s]z=1|"},
      {"key starts from * to 9 and from A up", "[s]\n*=1\n-x=2\n9=3\n_u=4\n~t=5\n\xC3\xA9=6\n]=7\n",
       "[s]*=1|-x=2|9=3|_u=4|~t=5|\xC3\xA9=6|]=7|"},
      {"key without = has an empty value", "[s]\nflag\nnext=1\nlast", "[s]flag=|next=1|last=|"},
      {"value may hold brackets", "[s]\nk=[x]\n", "[s]k=[x]|"},
      {"duplicate keys are kept", "[s]\nk=1\nK=2\nk=3\n", "[s]k=1|K=2|k=3|"},
      {"empty and blank lines", "\n\n  \n[s]\n\t\n\nk=v\n\n", "[s]k=v|"},
      {"byte-order mark before the first line", "\xEF\xBB\xBF[s]\nk=v\n", "[s]k=v|"},
      {"a ] mid-line does not start anything", "[s]\nk=v]\n", "[s]k=v]|"},
  };
  for (const ParseCase &c : cases) {
    for (const char *eol : {"\n", "\r\n", "\r"}) {
      TFastini ini;
      const std::string input = ReplaceAll(c.input, "\n", eol);
      ASSERT_TRUE(ini.LoadFromBuffer(input)) << c.what;
      EXPECT_EQ(Dump(ini), c.expected) << c.what << " (line end "
                                       << (eol[0] == '\n' ? "LF"
                                           : eol[1]       ? "CR LF"
                                                          : "CR")
                                       << ")";
    }
  }
}

TEST(Fastini, LongNamesAndValuesAreCut) {
  const std::string header(1500, 'h'), name(2000, 'k'), value(3000, 'v');
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[" + header + "]\r\n" + name + "=" + value + "\r\nnext=1\r\n"));
  ASSERT_EQ(ini.SectionCount(), 1);
  const TIniSection &section = *ini.Sections()[0];
  EXPECT_EQ(section.name, std::string(1024, 'h'));
  ASSERT_EQ(section.KeyCount(), 2);
  EXPECT_EQ(section.keys[0]->name, std::string(1024, 'k'));
  EXPECT_EQ(section.keys[0]->value, std::string(1024, 'v'));
  EXPECT_EQ(section.keys[1]->name, "next"); // the long line did not spill over
}

// Random text rich in the bytes the parser cares about: loading never fails
// or crashes, and what is written reads back as the same store.
TEST(Fastini, RandomBytesLoadAndSurviveASaveRoundTrip) {
  std::mt19937 random(20240611);
  const std::string special = "[]=;\"# \t\r\n\r\nab*~\x01\xC3";
  for (int round = 0; round < 3000; ++round) {
    std::string input(random() % 700 + 1, '\0');
    for (char &c : input)
      c = random() % 4 ? special[random() % special.size()] : static_cast<char>(random());
    TFastini first;
    ASSERT_TRUE(first.LoadFromBuffer(input));
    const std::string saved = first.Serialise();
    if (first.SectionCount() == 0) {
      EXPECT_EQ(saved, "");
      continue;
    }
    TFastini second;
    ASSERT_TRUE(second.LoadFromBuffer(saved));
    ASSERT_EQ(Dump(second), SortedDump(first)) << "input: " << testing::PrintToString(input);
    EXPECT_EQ(second.Serialise(), saved);
  }
}

TEST(Fastini, SerialisesSortedPaddedAndQuoted) {
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[b]\n"
                                 "zeta=1\n"
                                 "Alpha=\" lead\"\n"
                                 "mid=\"trail \"\n"
                                 "tab=\"\tx\"\n"
                                 "an_extremely_long_key_name_here=long\n" // 31 bytes
                                 "[a]\n"
                                 "key3=w\n"
                                 "_x=u\n"
                                 "k= v\n"
                                 "[B]\n"));
  const std::string pad30 = std::string(30, ' ');
  const auto padded = [&](const std::string &name, size_t width) {
    return name + std::string(width - name.size(), ' ');
  };
  const std::string expected = "[a]\r\n"
                               "k    = v\r\n"
                               "key3 = w\r\n"
                               "_x   = u\r\n" // "_" sorts after the letters
                               "\r\n"
                               "[b]\r\n" +
                               padded("Alpha", 30) + " = \" lead\"\r\n" +
                               "an_extremely_long_key_name_here = long\r\n" + padded("mid", 30) +
                               " = \"trail \"\r\n" + padded("tab", 30) + " = \"\tx\"\r\n" +
                               padded("zeta", 30) + " = 1\r\n" +
                               "\r\n"
                               "[B]\r\n"
                               "\r\n";
  EXPECT_EQ(ini.Serialise(), expected);

  MemoryFileSystem fs;
  ASSERT_TRUE(ini.SaveToFile(fs, u"/x.ini"));
  EXPECT_EQ(ToText(*fs.GetFile(u"/x.ini")), expected);
  TFastini again;
  ASSERT_TRUE(again.LoadFromFile(fs, u"/x.ini"));
  EXPECT_EQ(Dump(again), "[a]k=v|key3=w|_x=u|[b]Alpha= lead|an_extremely_long_key_name_here=long|"
                         "mid=trail |tab=\tx|zeta=1|[B]");
}

TEST(Fastini, LookupsIgnoreCaseAndKeepDuplicates) {
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[Zed]\nk=z\n[Abc]\nk=1\nb=2\na=3\n[aBC]\nk=2\n"));
  std::vector<std::string> names;
  ini.ReadSectionNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"Zed", "Abc", "aBC"}));

  ASSERT_TRUE(ini.FindSection("ABC"));
  const std::string found = ini.ReadString("K", "none");
  EXPECT_TRUE(found == "1" || found == "2") << found;
  EXPECT_FALSE(ini.FindSection("Ab"));
  EXPECT_EQ(ini.CurrentSection(), nullptr);
  EXPECT_EQ(ini.ReadString("k", "none"), "none");

  std::vector<std::string> pairs;
  ini.ReadSectionPairs("zed", pairs);
  EXPECT_EQ(pairs, (std::vector<std::string>{"k", "z"}));
  ini.ReadSectionPairs("missing", pairs);
  EXPECT_TRUE(pairs.empty());

  // Added after the index was built: still found, and written in order.
  ASSERT_TRUE(ini.SelectSection("mid"));
  ini.WriteString("x", "1");
  ASSERT_TRUE(ini.FindSection("MID"));
  EXPECT_EQ(ini.ReadString("X", ""), "1");
  ini.ReadSectionNames(names);
  EXPECT_EQ(names.back(), "mid");
}

TEST(Fastini, SectionsAreSelectedCreatedAndDeleted) {
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[a]\nk=1\n[b]\nk=2\n"));
  EXPECT_TRUE(ini.SelectSection("B"));
  EXPECT_EQ(ini.ReadString("k", ""), "2");
  EXPECT_TRUE(ini.SelectSection("c")); // created empty
  EXPECT_EQ(ini.SectionCount(), 3);
  EXPECT_EQ(ini.CurrentSection()->KeyCount(), 0);

  ini.EraseSection("A");
  EXPECT_EQ(ini.CurrentSection(), nullptr);
  ini.EraseSection("nothing");
  std::vector<std::string> names;
  ini.ReadSectionNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"b", "c"}));
  EXPECT_FALSE(ini.FindSection("a"));

  ASSERT_TRUE(ini.FindSection("b"));
  ini.DeleteSection(ini.CurrentSection());
  EXPECT_EQ(ini.CurrentSection(), nullptr);
  EXPECT_EQ(ini.Serialise(), "[c]\r\n\r\n");

  ini.DeleteAllUnits();
  EXPECT_EQ(ini.SectionCount(), 0);
  EXPECT_EQ(ini.Serialise(), "");
}

TEST(Fastini, DeletingASectionThatIsNotThereIsAConsistencyError) {
  TFastini ini, other;
  other.SelectSection("x");
  const auto conditionOf = [&](TIniSection *section) {
    try {
      ini.DeleteSection(section);
    } catch (const TConsistencyError &e) {
      EXPECT_EQ(e.Module(), "fastini");
      return e.Condition();
    }
    return std::string("no error");
  };
  EXPECT_EQ(conditionOf(nullptr), "TFastini.DeleteSection: U = nil");
  EXPECT_EQ(conditionOf(other.CurrentSection()), "TFastini.DeleteSection: U^.prev = nil");
  EXPECT_EQ(other.SectionCount(), 1);
}

TEST(Fastini, TypedReadersConvert) {
  struct Case {
    std::string value;
    bool asBool; // read with default true, so a present value is never the default
    std::optional<int32_t> asInt;
    std::optional<int64_t> asInt64;
  };
  const std::vector<Case> cases = {
      {"1", true, 1, 1},
      {"Y", true, std::nullopt, std::nullopt},
      {"TRUE", true, std::nullopt, std::nullopt},
      {"true", false, std::nullopt, std::nullopt},
      {"y", false, std::nullopt, std::nullopt},
      {"yes", false, std::nullopt, std::nullopt},
      {"0", false, 0, 0},
      {"", false, std::nullopt, std::nullopt},
      {"   42", false, 42, 42},
      {"+7", false, 7, 7},
      {"-7", false, -7, -7},
      {"007", false, 7, 7},
      {"$1F", false, 31, 31},
      {"x1f", false, 31, 31},
      {"X10", false, 16, 16},
      {"0x1F", false, 31, 31},
      {"0XfF", false, 255, 255},
      {" -$10", false, -16, -16},
      {"12ab", false, std::nullopt, std::nullopt},
      {"42 ", false, std::nullopt, std::nullopt},
      {"\t42", false, std::nullopt, std::nullopt},
      {"4 2", false, std::nullopt, std::nullopt},
      {"-", false, std::nullopt, std::nullopt},
      {"$", false, std::nullopt, std::nullopt},
      {"0x", false, std::nullopt, std::nullopt},
      {"$G", false, std::nullopt, std::nullopt},
      {"2147483647", false, 2147483647, 2147483647},
      {"2147483648", false, std::nullopt, 2147483648LL},
      {"-2147483648", false, INT32_MIN, -2147483648LL},
      {"-2147483649", false, std::nullopt, -2147483649LL},
      {"$C0000005", false, -1073741819, 0xC0000005LL}, // an exit code written in hex
      {"$FFFFFFFF", false, -1, 0xFFFFFFFFLL},
      {"$100000000", false, std::nullopt, 0x100000000LL},
      {"9223372036854775807", false, std::nullopt, INT64_MAX},
      {"9223372036854775808", false, std::nullopt, std::nullopt},
      {"-9223372036854775808", false, std::nullopt, INT64_MIN},
      {"$FFFFFFFFFFFFFFFF", false, std::nullopt, -1},
      {"$10000000000000000", false, std::nullopt, std::nullopt},
  };
  TFastini ini;
  ini.SelectSection("s");
  for (const Case &c : cases) {
    ini.WriteString("v", c.value);
    EXPECT_EQ(ini.ReadBool("v", true), c.asBool) << c.value;
    EXPECT_EQ(ini.ReadInteger("v", -99), c.asInt.value_or(-99)) << c.value;
    EXPECT_EQ(ini.ReadInt64("v", -99), c.asInt64.value_or(-99)) << c.value;
  }
  // Missing keys and a missing section give the defaults.
  EXPECT_TRUE(ini.ReadBool("missing", true));
  EXPECT_EQ(ini.ReadInteger("missing", 5), 5);
  EXPECT_EQ(ini.ReadInt64("missing", 6), 6);
  EXPECT_EQ(ini.ReadString("missing", "d"), "d");
  EXPECT_EQ(ini.ReadWideString("missing", u"w"), u"w");
  ini.FindSection("none");
  ini.WriteString("v", "lost");
  EXPECT_EQ(ini.ReadString("v", "d"), "d");
  EXPECT_EQ(ini.SectionCount(), 1);
}

TEST(Fastini, TypedWritersStoreTextAndReplaceKeys) {
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[s]\nKey=old\n"));
  ini.SelectSection("S");
  ini.WriteString("KEY", "new"); // replaces, keeping the key's own spelling
  ini.WriteBool("b1", true);
  ini.WriteBool("b0", false);
  ini.WriteInteger("i", INT32_MIN);
  ini.WriteInt64("l", INT64_MAX);
  ini.WriteWideString("w", u"Caf\u00e9 \u266b");
  EXPECT_EQ(Dump(ini), "[s]Key=new|b1=1|b0=0|i=-2147483648|l=9223372036854775807|"
                       "w=Caf\xC3\xA9 \xE2\x99\xAB|");
  EXPECT_EQ(ini.ReadWideString("W", u""), u"Caf\u00e9 \u266b");
  EXPECT_TRUE(ini.ReadBool("b1", false));
  EXPECT_FALSE(ini.ReadBool("b0", true));
  EXPECT_EQ(ini.ReadInt64("l", 0), INT64_MAX);
}

TEST(Fastini, NumberedListsKeepTheirOrder) {
  struct Case {
    size_t count;
    std::string first, last;
  };
  for (const Case &c : std::vector<Case>{{1, "n0", "n0"},
                                         {10, "n0", "n9"},
                                         {11, "n00", "n10"},
                                         {99, "n00", "n98"},
                                         {100, "n000", "n099"},
                                         {101, "n000", "n100"}}) {
    std::vector<WideString> list;
    for (size_t i = 0; i < c.count; ++i)
      list.push_back(u"item \u00e9" + AsciiToWide(std::to_string(i)));
    TFastini ini;
    ini.SelectSection("List");
    ini.WriteString("stale", "gone"); // writing a list replaces every key
    ini.WriteWideStringList("list", list);
    EXPECT_EQ(ini.SectionCount(), 1);

    MemoryFileSystem fs;
    ASSERT_TRUE(ini.SaveToFile(fs, u"/l.ini"));
    TFastini loaded;
    ASSERT_TRUE(loaded.LoadFromFile(fs, u"/l.ini"));
    std::vector<std::string> pairs;
    loaded.ReadSectionPairs("LIST", pairs);
    ASSERT_EQ(pairs.size(), 2 * c.count) << c.count;
    EXPECT_EQ(pairs.front(), c.first) << c.count;
    EXPECT_EQ(pairs[pairs.size() - 2], c.last) << c.count;
    std::vector<WideString> read;
    loaded.ReadWideStringList("list", read);
    EXPECT_EQ(read, list) << c.count;
  }
  TFastini ini;
  std::vector<WideString> read{u"x"};
  ini.ReadWideStringList("missing", read);
  EXPECT_TRUE(read.empty());
}

TEST(Fastini, SaveReplacesTheFileOrLeavesItWhole) {
  const WideString path = u"/cfg/app.ini";
  const Bytes old = B("[old]\r\nk = 1\r\n\r\n");
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[new]\nk=2\n"));

  MemoryFileSystem counted;
  counted.SetFile(path, old);
  FaultInjector none;
  {
    FaultInjectingFileSystem fs(counted, none);
    ASSERT_TRUE(ini.SaveToFile(fs, path));
  }
  EXPECT_EQ(ToText(*counted.GetFile(path)), ini.Serialise());
  EXPECT_EQ(counted.FileNames(), std::vector<WideString>{path});
  const int64_t calls = none.stats.calls;
  ASSERT_GE(calls, 4);

  for (int64_t failAt = 1; failAt <= calls; ++failAt) {
    MemoryFileSystem mem;
    mem.SetFile(path, old);
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    EXPECT_FALSE(ini.SaveToFile(fs, path)) << failAt;
    EXPECT_EQ(mem.GetFile(path), old) << failAt;
    EXPECT_EQ(mem.FileNames(), std::vector<WideString>{path}) << "temporary file left, " << failAt;
  }
}

TEST(Fastini, SavingAnEmptyStoreLeavesAnEmptyFile) {
  MemoryFileSystem fs;
  fs.SetFile(u"/a.ini", B("[x]\r\n\r\n"));
  TFastini ini;
  EXPECT_FALSE(ini.SaveToFile(fs, u"/a.ini"));
  EXPECT_EQ(fs.GetFile(u"/a.ini"), Bytes{});
  EXPECT_FALSE(ini.SaveToFile(fs, u"new.ini"));
  EXPECT_EQ(fs.GetFile(u"new.ini"), Bytes{});
}

TEST(Fastini, FailedLoadKeepsTheStore) {
  const std::string kept = "[kept]k=v|";
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[kept]\nk=v\n"));
  MemoryFileSystem mem;
  mem.SetFile(u"/empty.ini", {});
  mem.SetFile(u"/good.ini", B("[other]\nx=1\n"));
  EXPECT_FALSE(ini.LoadFromFile(mem, u"/missing.ini"));
  EXPECT_FALSE(ini.LoadFromFile(mem, u"/empty.ini"));
  EXPECT_FALSE(ini.LoadFromBuffer(nullptr, 5));
  EXPECT_FALSE(ini.LoadFromBuffer("", 0));
  EXPECT_EQ(Dump(ini), kept);

  for (int64_t failAt = 1;; ++failAt) {
    FaultInjector faults;
    faults.FailAt(failAt);
    FaultInjectingFileSystem fs(mem, faults);
    const bool loaded = ini.LoadFromFile(fs, u"/good.ini");
    if (!faults.Failed()) { // every call has been failed once
      EXPECT_TRUE(loaded);
      break;
    }
    EXPECT_FALSE(loaded) << failAt;
    EXPECT_EQ(Dump(ini), kept) << failAt;
  }
  EXPECT_EQ(Dump(ini), "[other]x=1|");

  // A successful load replaces everything and leaves no current section.
  ini.SelectSection("other");
  ASSERT_TRUE(ini.LoadFromBuffer("[third]\n"));
  EXPECT_EQ(ini.CurrentSection(), nullptr);
  EXPECT_EQ(Dump(ini), "[third]");
}

TEST(Fastini, RealFilesKeepModeAndLinks) {
  test::TempDir dir;
  TFastini ini;
  ASSERT_TRUE(ini.LoadFromBuffer("[s]\nk=v\n"));
  const std::string text = ini.Serialise();

  const mode_t mask = ::umask(022);
  ASSERT_TRUE(ini.SaveToFile(dir.File("new.ini")));
  ::umask(mask);
  EXPECT_EQ(test::ReadFileBytes(dir.Path() / "new.ini"), text);
  EXPECT_EQ(std::filesystem::status(dir.Path() / "new.ini").permissions(),
            static_cast<std::filesystem::perms>(0644));

  test::WriteFileBytes(dir.Path() / "private.ini", "old");
  std::filesystem::permissions(dir.Path() / "private.ini",
                               static_cast<std::filesystem::perms>(0640));
  ASSERT_TRUE(ini.SaveToFile(dir.File("private.ini")));
  EXPECT_EQ(test::ReadFileBytes(dir.Path() / "private.ini"), text);
  EXPECT_EQ(std::filesystem::status(dir.Path() / "private.ini").permissions(),
            static_cast<std::filesystem::perms>(0640));

  std::filesystem::create_symlink("private.ini", dir.Path() / "link.ini");
  TFastini other;
  ASSERT_TRUE(other.LoadFromBuffer("[linked]\n"));
  ASSERT_TRUE(other.SaveToFile(dir.File("link.ini")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path() / "link.ini"));
  EXPECT_EQ(test::ReadFileBytes(dir.Path() / "private.ini"), "[linked]\r\n\r\n");

  TFastini loaded;
  EXPECT_FALSE(loaded.LoadFromFile(dir.File("missing.ini")));
  EXPECT_FALSE(loaded.LoadFromFile(dir.Wide())); // a folder
  ASSERT_TRUE(loaded.LoadFromFile(dir.File("link.ini")));
  EXPECT_EQ(Dump(loaded), "[linked]");
  EXPECT_FALSE(ini.SaveToFile(dir.File("no/such/folder.ini")));

  size_t files = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(dir.Path()))
    ++files;
  EXPECT_EQ(files, 3u) << "a temporary file was left behind";
}

} // namespace
} // namespace tunbrix
