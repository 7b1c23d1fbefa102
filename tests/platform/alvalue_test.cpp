#include <gtest/gtest.h>

#include <alvalue/alvalue.h>
#include <ktplatform/json.h>

using AL::ALValue;

TEST(ALValueText, NumbersInTheirShortestForm) {
  EXPECT_EQ("0", ALValue(0.0f).toString(AL::VerbosityMini));
  EXPECT_EQ("1", ALValue(1.0f).toString(AL::VerbosityMini));
  EXPECT_EQ("0.85", ALValue(0.85f).toString(AL::VerbosityMini));
  EXPECT_EQ("-0.523598", ALValue(-0.523598f).toString(AL::VerbosityMini));
  EXPECT_EQ("42", ALValue(42).toString(AL::VerbosityMini));
  EXPECT_EQ("-7", ALValue(-7).toString(AL::VerbosityMini));
}

TEST(ALValueText, TextsQuotedAndArraysNested) {
  EXPECT_EQ("\"a b\"", ALValue("a b").toString(AL::VerbosityMini));
  ALValue nested = ALValue::array(ALValue::array(1, 2), "a");
  EXPECT_EQ("[[1, 2], \"a\"]", nested.toString(AL::VerbosityMini));
  EXPECT_EQ("[]", ALValue::array().toString());
}

TEST(ALValueConversion, NumbersConvertAmongThemselves) {
  EXPECT_EQ(3, static_cast<int>(ALValue(3.7f)));
  EXPECT_FLOAT_EQ(2.0f, static_cast<float>(ALValue(2)));
  EXPECT_TRUE(static_cast<bool>(ALValue(1)));
  int i = ALValue(5);
  EXPECT_EQ(5, i);
}

TEST(ALValueConversion, OnlyATextConvertsToText) {
  std::string s = ALValue("x");
  EXPECT_EQ("x", s);
  EXPECT_THROW({ std::string t = ALValue(1); (void)t; }, AL::ALError);
  EXPECT_THROW({ std::string t = ALValue::array("x"); (void)t; }, AL::ALError);
  EXPECT_THROW({ int n = ALValue("1"); (void)n; }, AL::ALError);
}

TEST(ALValueArray, IndexingAndVectors) {
  std::vector<float> v;
  v.push_back(0.5f);
  v.push_back(-1.0f);
  ALValue a(v);
  ASSERT_EQ(2u, a.getSize());
  EXPECT_FLOAT_EQ(-1.0f, static_cast<float>(a[1]));
  EXPECT_THROW(a[2], AL::ALError);
  EXPECT_THROW(a[-1], AL::ALError);
  EXPECT_THROW(ALValue(3)[0], AL::ALError);
  std::vector<float> back = a;
  EXPECT_EQ(v, back);
}

TEST(Json, RoundTripAndPlainTextArguments) {
  ALValue v = ALValue::array(0.5f, 0, "ロボ\"t\n");
  std::string text = kt::toJson(v);
  EXPECT_EQ("[0.5,0,\"ロボ\\\"t\\n\"]", text);
  ALValue back;
  ASSERT_TRUE(kt::parseJson(text, back));
  EXPECT_EQ(v, back);

  EXPECT_TRUE(kt::valueFromArg("12").isInt());
  EXPECT_TRUE(kt::valueFromArg("1.5").isFloat());
  EXPECT_EQ(ALValue("hello world"), kt::valueFromArg("hello world"));
  EXPECT_EQ(ALValue("[1,"), kt::valueFromArg("[1,"));
  EXPECT_EQ(ALValue("abc"), kt::valueFromArg("\"abc\""));
  EXPECT_EQ(ALValue("\xE3\x81\x82"), kt::valueFromArg("\"\\u3042\""));
  EXPECT_FALSE(ALValue(kt::valueFromArg("null")).isValid());
}
