#include <gtest/gtest.h>

#include "foundation/codepages.h"

namespace tunbrix {
namespace {

TEST(Codepages, Utf8RoundTripsValidText) {
  const std::string text = "Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5 \xE6\x97\xA5";
  const WideString wide = Utf8ToWide(text);
  EXPECT_EQ(wide, u"Björk € \U0001F3B5 日");
  EXPECT_EQ(WideToUtf8(wide), text);
  EXPECT_TRUE(IsValidUtf8(text));
}

TEST(Codepages, InvalidBytesBecomeEscapesAndComeBack) {
  struct Case {
    std::string bytes;
    WideString wide;
  } cases[] = {
      {"a\xFF"
       "b",
       u"a\xDCFF"
       "b"},
      {"\xC3", u"\xDCC3"},                               // truncated sequence
      {"\xC0\xAF", u"\xDCC0\xDCAF"},                     // overlong "/"
      {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},           // encoded surrogate
      {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"}, // above U+10FFFF
      {"\xE2\x82", u"\xDCE2\xDC82"},
      {"x\x80\xC3\xA9", u"x\xDC80\u00E9"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Utf8ToWide(c.bytes), c.wide);
    EXPECT_EQ(WideToUtf8(c.wide), c.bytes);
    EXPECT_FALSE(IsValidUtf8(c.bytes));
  }
}

TEST(Codepages, EveryByteStringSurvives) {
  std::string all;
  for (int i = 0; i < 256; ++i)
    all.push_back(static_cast<char>(i));
  all += "\xE2\x82\xAC\xE2\x82";
  EXPECT_EQ(WideToUtf8(Utf8ToWide(all)), all);
}

TEST(Codepages, LoneSurrogatesOutsideTheEscapeRangeBecomeReplacement) {
  EXPECT_EQ(WideToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(WideToUtf8(u"\xDC10"), "\xEF\xBF\xBD");
}

TEST(Codepages, Windows1252) {
  const std::string bytes = "\x80\x8A\x81\x9F\xE9\xFF A";
  const WideString wide = Cp1252ToWide(bytes);
  EXPECT_EQ(wide, u"\u20AC\u0160\u0081\u0178\u00E9\u00FF A");
  EXPECT_EQ(WideToCp1252(wide), bytes);
  // Characters without a byte become "?", a surrogate pair only one.
  EXPECT_EQ(WideToCp1252(u"日\U0001F3B5x"), "??x");
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(WideToCp1252(Cp1252ToWide(one)), one) << b;
  }
}

} // namespace
} // namespace tunbrix
