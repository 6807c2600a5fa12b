#include <gtest/gtest.h>

#include "foundation/fastini.h"
#include "scripts/errorcodes.h"

namespace tunbrix {
namespace {

CErrorCodes Load(const std::string &text) {
  TFastini store;
  EXPECT_TRUE(store.LoadFromBuffer(text));
  CErrorCodes rules;
  rules.LoadRules(store);
  return rules;
}

TEST(ErrorCodes, SetsInFileOrderItemsInSortedKeyOrder) {
  const CErrorCodes rules = Load("[lame]\r\n2=two\r\n10=ten\r\n1=one\r\n"
                                 "[flac]\r\n0x10=sixteen\r\n 3=three\r\nx=not a number\r\n");
  ASSERT_EQ(rules.Sets().size(), 2u);
  EXPECT_EQ(rules.Sets()[0]->name, "lame");
  EXPECT_EQ(rules.Sets()[1]->name, "flac");
  // Text order of the keys: "1" < "10" < "2".
  const auto &lame = rules.Sets()[0]->items;
  ASSERT_EQ(lame.size(), 3u);
  EXPECT_EQ(lame[0].code, 1);
  EXPECT_EQ(lame[1].code, 10);
  EXPECT_EQ(lame[2].code, 2);
  EXPECT_EQ(lame[2].message, u"two");
  const CErrorCode *flac = rules.FindRuleSet("FLAC");
  ASSERT_NE(flac, nullptr);
  EXPECT_EQ(CErrorCodes::FindRule(flac, 16)->message, u"sixteen");
  EXPECT_EQ(CErrorCodes::FindRule(flac, 3)->message, u"three");
  EXPECT_EQ(CErrorCodes::FindRule(flac, 0)->message, u"not a number");
}

TEST(ErrorCodes, Judgement) {
  const CErrorCodes rules =
      Load("[Enc]\r\n3=Input file could not be read\r\n0=never shown\r\n3=second three\r\n"
           "[enc]\r\n3=the second set of the name\r\n");
  const CErrorCode *set = rules.FindRuleSet("ENC");
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set, rules.Sets()[0].get()); // the first set of a name wins
  EXPECT_EQ(ExitCodeMessage(set, 3), u"ERROR: Input file could not be read");
  EXPECT_EQ(ExitCodeMessage(set, 0), std::nullopt); // 0 is success, rule or not
  EXPECT_EQ(ExitCodeMessage(set, 4), std::nullopt); // shown as the number
  EXPECT_EQ(ExitCodeMessage(nullptr, 3), std::nullopt);
  EXPECT_EQ(rules.FindRuleSet("none"), nullptr);
}

TEST(ErrorCodes, UnicodeMessagesAndEmptyStore) {
  const CErrorCodes rules = Load("[x]\r\n1=Datei nicht gefunden \xE2\x80\x93 \xC3\xBC\r\n");
  EXPECT_EQ(ExitCodeMessage(rules.FindRuleSet("x"), 1), u"ERROR: Datei nicht gefunden – ü");
  TFastini empty;
  CErrorCodes none;
  none.LoadRules(empty);
  EXPECT_TRUE(none.Sets().empty());
}

} // namespace
} // namespace tunbrix
