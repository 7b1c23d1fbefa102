// Number formatting of command entries and sentences.
#include <climits>
#include <cmath>
#include <limits>

#include "ktcommand_fixture.h"

namespace {

class FormattersTest : public kt::test::CommandTest {};

TEST_F(FormattersTest, WholeNumbersTakeThreePlaces) {
  EXPECT_EQ("  3", com->itostr(3));
  EXPECT_EQ("  0", com->itostr(0));
  EXPECT_EQ(" 14", com->itostr(14));
  EXPECT_EQ(" -1", com->itostr(-1));
  EXPECT_EQ("1234", com->itostr(1234));
  EXPECT_EQ("-2147483648", com->itostr(INT_MIN));
}

TEST_F(FormattersTest, TwoDecimals) {
  EXPECT_EQ("3.00", com->ftostr(3));
  EXPECT_EQ("0.50", com->ftostr(0.5f));
  EXPECT_EQ("-1.25", com->ftostr(-1.25f));
  EXPECT_EQ("0.00", com->ftostr(0.001f));
  EXPECT_EQ("-0.00", com->ftostr(-0.001f));
}

TEST_F(FormattersTest, LongValuesAreWrittenInFull) {
  // Longer than the 29 characters of the buffer.
  float big = std::numeric_limits<float>::max();
  char expected[64];
  snprintf(expected, sizeof expected, "%.2f", static_cast<double>(big));
  EXPECT_EQ(expected, com->ftostr(big));
  EXPECT_EQ(std::string("-") + expected, com->ftostr(-big));
  EXPECT_EQ("inf", com->ftostr(std::numeric_limits<float>::infinity()));
}

TEST_F(FormattersTest, EntryNumbersUseSixSignificantDigits) {
  EXPECT_EQ("0.075", com->tostr(0.075f));
  EXPECT_EQ("0.5", com->tostr(0.5f));
  EXPECT_EQ("2", com->tostr(2.0f));
  EXPECT_EQ("-1", com->tostr(-1.0f));
  EXPECT_EQ("1.5708", com->tostr(1.570795f));
  EXPECT_EQ("-0", com->tostr(-0.0f));
  EXPECT_EQ("0", com->tostr(0.0f));
}

TEST_F(FormattersTest, SplitKeepsEmptyFields) {
  EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), com->split("a,,b", ','));
  EXPECT_EQ(std::vector<std::string>{""}, com->split("", ','));
  EXPECT_EQ((std::vector<std::string>{"l", "navi", "3", "1", ""}), com->split("l,navi,3,1,", ','));
  EXPECT_EQ((std::vector<std::string>{"ktcom", "", "x"}), com->split("ktcom__x", '_'));
}

}  // namespace
