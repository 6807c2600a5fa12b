#include <gtest/gtest.h>

#include <climits>
#include <map>

#include "scripts/tag_fields.h"
#include "scripts/templates.h"
#include "support/test_support.h"

namespace tunbrix {
namespace {

using test::W;

// Stands in for the aggregate tag of an analysed input.
class MapTags : public ITagFieldSource {
public:
  explicit MapTags(std::map<std::string, WideString> items) : items_(std::move(items)) {}
  WideString GetItem(std::string_view name) const override {
    const auto it = items_.find(std::string(name));
    return it == items_.end() ? WideString() : it->second;
  }

private:
  std::map<std::string, WideString> items_;
};

tFileFormat FileRecord(const ITagFieldSource *tags) {
  tFileFormat r;
  r.infile = u"/music/in put.flac";
  r.outfile = u"/out/o.mp3";
  r.tmpfile = u"/tmp/~tmp1A2B.tmp";
  r.infiles = u"\"/a/1.wav\" \"/a/2.wav\"";
  r.outfiles = u"\"/b/1.mp3\" \"/b/2.mp3\"";
  r.trackbar = u"128";
  r.trackbarDesc = u"good";
  r.customLine = u"--preset";
  r.trackbarValues[0] = u"v0";
  r.trackbarValues[9] = u"v9";
  r.analysis = tags;
  return r;
}

struct Case {
  const char *templ;
  const char *expected;
};

void ExpectAll(const tFileFormat &record, const std::vector<Case> &cases) {
  for (const Case &c : cases)
    EXPECT_EQ(get_format(c.templ, record), c.expected) << "template: " << c.templ;
}

TEST(Templates, EveryVariableFunctionAndConditional) {
  const MapTags tags({{"artist", u"X"},
                      {"title", u"Song"},
                      {"album", u"Alb"},
                      {"year", u"1999"},
                      {"genre", u"Rock"},
                      {"comment", u"note"},
                      {"track", u"3/12"}});
  ExpectAll(
      FileRecord(&tags),
      {
          {"", ""},
          {"lame %i %o", "lame /music/in put.flac /out/o.mp3"},
          {"lame %i $%o", "lame /music/in put.flac /out/o.mp3"},
          {"-b %x$kbps $$", "-b 128kbps "},
          {"%%i is 100%%", "%i is 100%"},
          {"%t|%I|%O", "/tmp/~tmp1A2B.tmp|\"/a/1.wav\" \"/a/2.wav\"|\"/b/1.mp3\" \"/b/2.mp3\""},
          {"%X %k", "good --preset"},
          {"%y0 %y9 [%y5]", "v0 v9 []"},
          {"[%yq]", "[]"}, // the non-digit is consumed as well
          {"a%y", "a"},
          {"a%", "a"},
          {"a%qb%>c", "abc"},
          {"a%|b%>c", "ac"},
          {"a%|b", "a"},
          // functions
          {"%[cext,%i,.wav]", "/music/in put.wav"},
          {"%[cext,%i,]", "/music/in put"},
          {"%[cext,/a.b/c,.wav]", "/a.b/c.wav"},
          {"%[cext,/a/c.,.wav]", "/a/c.wav"},
          {"%[cext,%i,.wav,extra]", "/music/in put.wav"},
          {"%[path,%i]|%[path,name.wav]", "/music/|"},
          {"[%[drv,%i]]", "[]"},
          {"%[fn,%o] %[ext,%i]", "o.mp3 .flac"},
          {"[%[ext,/a.b/c]] %[ext,/a/c.]", "[] ."},
          {"%[fn,%<Ax%|y%>]", "x"},
          // the text ends at the first "]", so the arguments are "%[fn" and "%i"
          {"%[cext,%[fn,%i],.wav]", "/music/in put.flac,.wav]"},
          {"a%[fn,b", "a"},
          // tag fields
          {"%[A] - %[T]", "X - Song"},
          {"%[Artist] %[L]%[G]%[C]%[Y]", "X AlbRocknote1999"},
          {"%[N] %[N8]", "3 3"},
          {"[%[a]%[Q]%[]]", "[]"},
          // conditionals on set fields
          {"%<A by %[A]%|untitled%>", " by X"},
          {"%<[Artist,x] yes%|no%>!", " yes!"},
          {"%<[,x]then%|else%>", "then"},
          {"%<qthen%|else%> after", "then after"},
          {"%<C%[C]%> %<[Title]%[T]%>", "note Song"},
          {"x%<", "x"},
          {"%<[Artist", ""},
      });
}

TEST(Templates, ConditionalsOnEmptyFields) {
  const MapTags tags({{"title", u"Song"}, {"track", u"0"}});
  ExpectAll(FileRecord(&tags), {
                                   {"%<A by %[A]%|untitled%>", "untitled"},
                                   {"%<Aby%>rest", "rest"},
                                   {"%<Y%[Y]%|no year%>", "no year"},
                                   {"%<A then", ""},           // no %> after a skipped then-part
                                   {"%<A then%|else", "else"}, // the else part runs to the end
                                   {"%<A 100%%|x%|else%>", "else"}, // "%%" is no marker
                                   {"%<A %[fn,%<Tx%|y%>] %|else%>", "else"},
                                   // the raw track text "0" is not empty, though %[N] shows nothing
                                   {"%<N[%[N]]%|no track%>", "[]"},
                                   // no nesting: the inner %| and %> close the outer conditional
                                   {"%<T<%<A a%|b%> c%|d%>", "<b c"},
                               });
}

TEST(Templates, WithoutStreamAnalysisTagsAreEmptyAndConditionalsOutputTheirThenPart) {
  ExpectAll(FileRecord(nullptr), {
                                     {"%<A by %[A]%|untitled%>", " by "},
                                     {"[%[A]%[N]%[T8]]", "[]"},
                                     {"%[fn,%i]", "in put.flac"},
                                 });
}

TEST(Templates, TagFieldsInUtf8AndInTheSystemCodePage) {
  // The system code page is UTF-8 here, so both forms give UTF-8 for real
  // letters; they differ for raw bytes kept as U+DC00 + byte, which only the
  // code-page form gives back.
  const MapTags tags({{"artist", u"Bj\u00F6rk"},
                      {"title", WideString(u"Bj") + char16_t(0xDCF6) + u"rk"},
                      {"album", u"\U0001F3B5"}});
  const tFileFormat r = FileRecord(&tags);
  EXPECT_EQ(get_format("%[A8]", r), "Bj\xC3\xB6rk");
  EXPECT_EQ(get_format("%[A]", r), "Bj\xC3\xB6rk");
  EXPECT_EQ(get_format("%[T]", r), "Bj\xF6rk");
  EXPECT_EQ(get_format("%[T8]", r), "Bj\xEF\xBF\xBDrk");
  EXPECT_EQ(get_format("%[L8]", r), "\xF0\x9F\x8E\xB5");
}

TEST(Templates, FileNamesKeepTheirBytes) {
  // Not UTF-8: the file system's bytes E9 and FF, read as U+DCE9 and U+DCFF.
  const std::string name = "/m/caf\xE9 $1 100%\xFF.wav";
  tFileFormat r;
  r.infile = Utf8ToWide(name);
  r.infiles = u"\"" + Utf8ToWide(name) + u"\"";
  EXPECT_EQ(get_format("%i", r), name);
  EXPECT_EQ(get_format("%I", r), "\"" + name + "\"");
  EXPECT_EQ(get_format("%[fn,%i]", r), "caf\xE9 $1 100%\xFF.wav");
  EXPECT_EQ(get_format("%[cext,%i,.mp3]", r), "/m/caf\xE9 $1 100%\xFF.mp3");
}

TEST(Templates, LongExpansionsGrowWithoutLimit) {
  // A folder run's %O list and tag fields are not bounded by the template's
  // own length; they expand in full instead of stopping the batch.
  WideString list;
  for (int i = 0; i < 2000; ++i)
    list += u"\"/music/some folder/track number " + AsciiToWide(std::to_string(i)) + u".mp3\" ";
  const WideString longTitle(100000, u't');
  const MapTags tags({{"title", longTitle}});
  tFileFormat r;
  r.outfiles = list;
  r.tmpfile = WideString(5000, u'p');
  r.trackbarValues[3] = WideString(5000, u'y');
  r.analysis = &tags;
  const std::string expanded = get_format("enc %O", r);
  EXPECT_GT(expanded.size(), 70000u);
  EXPECT_EQ(expanded, "enc " + WideToUtf8(list));
  EXPECT_EQ(get_format("%[T]%t%y3", r),
            std::string(100000, 't') + std::string(5000, 'p') + std::string(5000, 'y'));
  EXPECT_EQ(get_format("%[cext,%t,.x]", r), std::string(5000, 'p') + ".x");
}

tScriptTrackbar Bar(int32_t multiplier, int32_t divisor, int32_t decimals, char separator = 0) {
  tScriptTrackbar bar;
  bar.multiplier = multiplier;
  bar.divisor = divisor;
  bar.decimals = decimals;
  bar.separator = separator;
  return bar;
}

TEST(Slider, Values) {
  struct SliderCase {
    const char *what;
    tScriptTrackbar bar;
    int32_t position;
    char system;
    const char *commandLine;
    const char *label;
  };
  tScriptTrackbar list;
  list.values = {"low", "mid", "high"};
  tScriptTrackbar single = Bar(2, 1, 0);
  single.values = {"only"};
  const SliderCase cases[] = {
      {"divisor 1 takes the position on command lines", Bar(8, 1, 0), 16, '.', "16", "128"},
      {"script separator", Bar(1, 10, 1, ','), 25, '.', "2,5", "2,5"},
      {"system separator", Bar(1, 10, 1), 25, ',', "2,5", "2,5"},
      {"dot by default", Bar(1, 10, 1), 25, 0, "2.5", "2.5"},
      {"divisor 0", Bar(8, 0, 0), 16, '.', "", ""},
      {"truncated toward zero", Bar(1, 2, 0), -7, '.', "-3", "-3"},
      {"rounded to the decimals", Bar(1, 3, 2), 1, '.', "0.33", "0.33"},
      {"exact decimals", Bar(3, 2, 3, ','), 1, '.', "1,500", "1,500"},
      {"negative decimals count as none", Bar(1, 2, -1), 5, '.', "2", "2"},
      {"product beyond 32 bits", Bar(4, 1000, 0), 2000000000, '.', "8000000", "8000000"},
      {"negated minimum", Bar(-1, 1, 0), INT32_MIN, '.', "-2147483648", "2147483648"},
      {"list entry", list, 2, '.', "high", "high"},
      {"list beyond its end", list, 3, '.', "", ""},
      {"list before its start", list, -1, '.', "", ""},
      {"one entry is no list", single, 4, '.', "4", "8"},
  };
  for (const SliderCase &c : cases) {
    EXPECT_EQ(SliderValueText(c.position, c.bar, c.system, SliderUse::CommandLine), c.commandLine)
        << c.what;
    EXPECT_EQ(SliderValueText(c.position, c.bar, c.system, SliderUse::Label), c.label) << c.what;
  }
  const std::string many = SliderValueText(1, Bar(1, 1, 1000000000), '.', SliderUse::Label);
  EXPECT_EQ(many, "1." + std::string(100, '0')); // decimals are capped
}

TEST(Slider, DescriptionsAndValueListsAtThePosition) {
  tScriptTrackbar bar;
  bar.values = {"v0", "v1", "v2"};
  bar.descriptions = {"bad", "ok", "good"};
  bar.valueLists[3] = std::vector<std::string>{"a", "b"};
  bar.valueLists[4] = std::vector<std::string>{"x"};
  tFileFormat r;
  r.trackbarValues[5] = u"stale";
  SetSliderFields(r, 1, bar, '.', SliderUse::CommandLine);
  EXPECT_EQ(r.trackbar, u"v1");
  EXPECT_EQ(r.trackbarDesc, u"ok");
  EXPECT_EQ(r.trackbarValues[3], u"b");
  EXPECT_EQ(r.trackbarValues[4], u""); // shorter than the position
  EXPECT_EQ(r.trackbarValues[5], u""); // absent list
  SetSliderFields(r, 7, bar, '.', SliderUse::CommandLine);
  EXPECT_EQ(r.trackbar, u"");
  EXPECT_EQ(r.trackbarDesc, u"");

  // A computed slider names its positions through the descriptions too.
  tScriptTrackbar computed = Bar(8, 1, 0);
  computed.descriptions = {"low", "high"};
  SetSliderFields(r, 1, computed, '.', SliderUse::Label);
  EXPECT_EQ(r.trackbar, u"8");
  EXPECT_EQ(r.trackbarDesc, u"high");
}

TEST(Slider, LabelHoldsOnlySliderFields) {
  tScriptTrackbar bar = Bar(8, 1, 0);
  bar.descriptions.assign(17, "");
  bar.descriptions[16] = "standard";
  bar.TrackbarText = "%x kbps (%X)%<A!%|?%> [%i%o%k%[A]%[fn,%i]]";
  EXPECT_EQ(SliderLabel(16, bar, '.'), "128 kbps (standard)! []");
  bar.TrackbarText = "";
  EXPECT_EQ(SliderLabel(16, bar, '.'), "");
}

} // namespace
} // namespace tunbrix


namespace tunbrix {
namespace {

TEST(TemplateTagFields, ReadFromTheAggregateTag) {
  CTAG tag;
  tag.SetItem("ARTIST", u"Sigur Rós");
  tag.SetItem("Track", u"04/09");
  tag.SetItem("Title", u"");
  const CTagFields fields(tag);
  tFileFormat record;
  record.analysis = &fields;
  EXPECT_EQ(get_format("%[A] - %[N] %<T%[T]%|untitled%>", record), "Sigur R\xC3\xB3s - 4 untitled");
  EXPECT_EQ(get_format("%[A8]", record), "Sigur R\xC3\xB3s");
}

} // namespace
} // namespace tunbrix
