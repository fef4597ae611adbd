// SPDX-License-Identifier: Apache-2.0
#include "cash/cash_counts.h"

#include <gtest/gtest.h>

#include <random>

namespace vexokrt::cash {
namespace {

DispenseRecord Parse(std::string_view text, bool keywords = false, bool all = false, bool* ok = nullptr) {
  DispenseRecord record;
  const bool accepted = ParseCashCounts(text, &record, keywords, all);
  if (ok != nullptr) *ok = accepted;
  return record;
}

bool Accepts(std::string_view text, bool keywords = false, bool all = false) {
  DispenseRecord record;
  return ParseCashCounts(text, &record, keywords, all);
}

CashCounts Counts(std::initializer_list<int32_t> record_order) {
  CashCounts counts{};
  int i = 0;
  for (const int32_t value : record_order) counts[i++] = value;
  return counts;
}

TEST(ParseCashCounts, MixedCoinsAndBills_FillTheirSlotsOthersZero) {
  bool ok = false;
  const DispenseRecord record = Parse("1:2,500:1;1000:3", false, false, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.Counts(), Counts({0, 0, 0, 3, 1, 0, 0, 0, 0, 2}));
  for (int slot = 10; slot < DispenseRecord::kSlots; ++slot) EXPECT_EQ(record.slot[slot], 0) << slot;
}

TEST(ParseCashCounts, OrderAndSeparatorDoNotMatter) {
  bool ok = false;
  const DispenseRecord record = Parse("1000:3;1:2", false, false, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.slot[3], 3);
  EXPECT_EQ(record.slot[9], 2);
  EXPECT_TRUE(Accepts("1:1;5:1;10000:2,50:3"));
}

TEST(ParseCashCounts, EmptyPiecesAndEmptyTextAreAccepted) {
  EXPECT_TRUE(Accepts(""));
  EXPECT_TRUE(Accepts(",,"));
  EXPECT_TRUE(Accepts("1:2,"));
  EXPECT_TRUE(Accepts(";1000:1"));
}

TEST(ParseCashCounts, RefusesUnknownDenominationsAndMalformedPieces) {
  EXPECT_FALSE(Accepts("3:1"));
  EXPECT_FALSE(Accepts("0:1"));
  EXPECT_FALSE(Accepts("20:1"));
  EXPECT_FALSE(Accepts("1:x"));
  EXPECT_FALSE(Accepts("1:"));
  EXPECT_FALSE(Accepts(":5"));
  EXPECT_FALSE(Accepts("15"));
  EXPECT_FALSE(Accepts("1:-1"));
  EXPECT_FALSE(Accepts("1:2:3"));
  EXPECT_FALSE(Accepts("1:2,3:1"));  // one bad piece refuses the whole text
}

TEST(ParseCashCounts, LeadingZerosInKeyAreTheDenomination) {
  bool ok = false;
  const DispenseRecord record = Parse("010:4", false, false, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.slot[RecordIndex(10)], 4);
}

TEST(ParseCashCounts, FieldsOfNineCharactersPassTenAreRefused) {
  EXPECT_TRUE(Accepts("1:123456789"));
  EXPECT_FALSE(Accepts("1:1234567890"));
  EXPECT_TRUE(Accepts("000000010:1"));
  EXPECT_FALSE(Accepts("0000000010:1"));
}

TEST(ParseCashCounts, FffMeansAllPiecesOnlyWhenAllowed) {
  bool ok = false;
  const DispenseRecord record = Parse("10000:fff", false, true, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.slot[0], kAllPieces);
  EXPECT_FALSE(Accepts("10000:fff", false, false));
  EXPECT_FALSE(Accepts("10000:FF", false, true));
}

TEST(ParseCashCounts, KeywordsFillTheirSlotsOnlyWhenAllowed) {
  bool ok = false;
  DispenseRecord record = Parse("bov:1", true, false, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.slot[DispenseRecord::kBov], 1);
  EXPECT_FALSE(Accepts("bov:1", false, false));
  record = Parse("BL:1,COV:2,1000OV:3,2000OV:4,5000OV:5,10000OV:6,1000PR:7", true, false, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.slot[DispenseRecord::kBl], 1);
  EXPECT_EQ(record.slot[DispenseRecord::kCov], 2);
  EXPECT_EQ(record.slot[DispenseRecord::k1000Ov], 3);
  EXPECT_EQ(record.slot[DispenseRecord::k2000Ov], 4);
  EXPECT_EQ(record.slot[DispenseRecord::k5000Ov], 5);
  EXPECT_EQ(record.slot[DispenseRecord::k10000Ov], 6);
  EXPECT_EQ(record.slot[DispenseRecord::k1000Pr], 7);
  EXPECT_EQ(record.slot[10], 0);
}

TEST(ParseCashCounts, KeyGivenTwiceKeepsTheLaterValue) {
  bool ok = false;
  const DispenseRecord record = Parse("5:1,5:7", false, false, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.slot[RecordIndex(5)], 7);
}

TEST(ParseCashCounts, PreviousContentIsCleared) {
  DispenseRecord record;
  record.slot.fill(9);
  ASSERT_TRUE(ParseCashCounts("1:1", &record, false, false));
  EXPECT_EQ(record.slot[0], 0);
  EXPECT_EQ(record.slot[9], 1);
}

TEST(ParseCashCounts, RandomTextsNeverCrashAndPlainFormsRoundTrip) {
  std::mt19937 random(12345);
  const std::string alphabet = "0123456789:,;FfBLOVCPRx-";
  for (int i = 0; i < 20000; ++i) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    DispenseRecord record;
    ParseCashCounts(text, &record, random() % 2 == 0, random() % 2 == 0);
  }
  for (int i = 0; i < 1000; ++i) {
    CashCounts counts;
    for (int d = 0; d < 10; ++d) counts[d] = static_cast<int32_t>(random() % 1000);
    DispenseRecord record;
    ASSERT_TRUE(ParseCashCounts(FormatPlain(counts), &record, false, false));
    EXPECT_EQ(record.Counts(), counts);
  }
}

TEST(FormatCashCounts, PlainFormRunsFromOneYenUp) {
  EXPECT_EQ(FormatPlain(Counts({10, 9, 8, 7, 6, 5, 4, 3, 2, 1})),
            "1:1,5:2,10:3,50:4,100:5,500:6;1000:7,2000:8,5000:9,10000:10");
}

TEST(FormatCashCounts, TotalFormLeadsWithPiecesOfSetB) {
  const CashCounts set_b = Counts({0, 0, 0, 0, 0, 0, 1, 0, 0, 2});
  EXPECT_EQ(FormatTotal(CashCounts{}, set_b), "0:3,1:0,5:0,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:0");
}

TEST(FormatCashCounts, TwoSetsAllBillsAndAll10000Forms) {
  const CashCounts a = Counts({1, 0, 0, 2, 0, 0, 0, 0, 0, 3});
  const CashCounts b = Counts({0, 0, 0, 0, 0, 0, 0, 0, 4, 0});
  EXPECT_EQ(FormatTwoSets(a, b),
            "1:3,5:0,10:0,50:0,100:0,500:0;1000:2,2000:0,5000:0,10000:1/"
            "1:0,5:4,10:0,50:0,100:0,500:0;1000:0,2000:0,5000:0,10000:0");
  EXPECT_EQ(FormatAllBills(a), "1:3,5:0,10:0,50:0,100:0,500:0;1000:FFF,2000:FFF,5000:FFF,10000:FFF");
  EXPECT_EQ(FormatAll10000(a), "1:3,5:0,10:0,50:0,100:0,500:0;1000:2,2000:0,5000:0,10000:FFF");
}

TEST(CashCountsArithmetic, AmountPiecesAndSum) {
  const CashCounts a = Counts({1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  EXPECT_EQ(Amount(a), 18666);
  EXPECT_EQ(Pieces(a), 10);
  EXPECT_EQ(Sum(a, a), Counts({2, 2, 2, 2, 2, 2, 2, 2, 2, 2}));
}

}  // namespace
}  // namespace vexokrt::cash
