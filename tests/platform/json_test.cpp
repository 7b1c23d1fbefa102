// JSON text of platform values: what the journal writes and a client sends.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <ktplatform/json.h>

namespace {

// Bytes asked of operator new while counting: the work of a parse, the same
// on a fast machine and on a slow one.
std::atomic<bool> gCounting(false);
std::atomic<size_t> gAllocated(0);

}  // namespace

// This pair allocates with malloc itself: gcc, which knows operator new,
// would take the free below for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t n) {
  if (gCounting) gAllocated += n;
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

TEST(JsonTest, RoundTripsValues) {
  AL::ALValue v = AL::ALValue::array(AL::ALValue::array(1, -2), "a\"\\\n\tb", 0.5f, true);
  v.arrayPush(AL::ALValue());
  std::string text = kt::toJson(v);
  EXPECT_EQ("[[1,-2],\"a\\\"\\\\\\n\\tb\",0.5,true,null]", text);
  AL::ALValue back;
  ASSERT_TRUE(kt::parseJson(text, back));
  EXPECT_EQ(v, back);
}

TEST(JsonTest, EscapesDecodeToUtf8) {
  AL::ALValue v;
  ASSERT_TRUE(kt::parseJson("\"\\u3042\\ud83d\\ude00\\u0041\"", v));
  EXPECT_EQ("あ\xF0\x9F\x98\x80" "A", static_cast<std::string>(v));
  // Four hex digits, nothing else.
  EXPECT_FALSE(kt::parseJson("\"\\u+041\"", v));
  EXPECT_FALSE(kt::parseJson("\"\\u 041\"", v));
  EXPECT_FALSE(kt::parseJson("\"\\u-001\"", v));
  EXPECT_FALSE(kt::parseJson("\"\\u12\"", v));
}

// What is not UTF-8 becomes U+FFFD, one for each ill-formed start of a character.
TEST(JsonTest, TextIsWrittenAsValidUtf8) {
  const std::string r = "\xEF\xBF\xBD", kept = "あ\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\x7F";
  const std::pair<std::string, std::string> cases[] = {
      {kept, kept}, {"a\xFF" "b\x80", "a" + r + "b" + r}, {"\xE3\x81", r}, {"\xE3\x81" "A", r + "A"},
      {"\xC0\xAF", r + r}, {"\xED\xA0\x80", r + r + r}, {"\xF4\x90\x80\x80", r + r + r + r}};
  for (const auto& c : cases)
    EXPECT_EQ("\"" + c.second + "\"", kt::toJson(AL::ALValue(c.first))) << c.first;
}

TEST(JsonTest, ASurrogateEscapeOutsideAPairIsRefused) {
  AL::ALValue v;
  for (const char* text : {"\"\\ud800\"", "\"\\udfff\"", "\"\\ud800\\u0041\"", "\"\\ude00\\ud83d\""})
    EXPECT_FALSE(kt::parseJson(text, v)) << text;
  ASSERT_TRUE(kt::parseJson("\"\\ud800\\udc00\\udbff\\udfff\"", v));
  EXPECT_EQ("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", static_cast<std::string>(v));
}

TEST(JsonTest, AnythingElseIsText) {
  EXPECT_EQ(AL::ALValue(12), kt::valueFromArg("12"));
  EXPECT_EQ(AL::ALValue("おはよう"), kt::valueFromArg("おはよう"));
  EXPECT_EQ(AL::ALValue("[1,"), kt::valueFromArg("[1,"));
  EXPECT_EQ(AL::ALValue("{\"a\":1}"), kt::valueFromArg("{\"a\":1}"));
}

TEST(JsonTest, DeepNestingIsRefusedNotACrash) {
  AL::ALValue v;
  std::string fine = std::string(100, '[') + std::string(100, ']');
  ASSERT_TRUE(kt::parseJson(fine, v));
  EXPECT_EQ(fine, kt::toJson(v));

  std::string deep = std::string(1000000, '[') + std::string(1000000, ']');
  EXPECT_FALSE(kt::parseJson(deep, v));
  EXPECT_EQ(AL::ALValue(deep), kt::valueFromArg(deep));
}

// A client's request may be wide deep inside: parsing must stay linear, not
// copy the wide part once per level around it.
TEST(JsonTest, WideValuesDeepInsideParseInLinearTime) {
  const int levels = 250, width = 10000;
  std::string text = std::string(levels, '[') + "0";
  for (int i = 1; i < width; ++i) text += ",0";
  text += std::string(levels, ']');

  AL::ALValue v;
  gAllocated = 0;
  gCounting = true;
  bool parsed = kt::parseJson(text, v);
  gCounting = false;
  ASSERT_TRUE(parsed);
  // The wide array once, with the room it grew through; copied at each
  // level around it, it would be asked for once per level.
  EXPECT_LT(gAllocated.load(), 8 * width * sizeof(AL::ALValue));

  const AL::ALValue* inner = &v;
  for (int i = 1; i < levels; ++i) {
    ASSERT_EQ(1u, inner->getSize());
    inner = &(*inner)[0];
  }
  EXPECT_EQ(static_cast<unsigned int>(width), inner->getSize());
  EXPECT_EQ(AL::ALValue(0), (*inner)[width - 1]);
}

}  // namespace
