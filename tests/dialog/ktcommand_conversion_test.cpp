// Spoken number words, their conversion into command entries, the number
// formatting of entries and sentences, and the command list.
#include <climits>
#include <limits>

#include "ktcommand_fixture.h"

namespace {

using kt::test::Words;

class ConversionTest : public kt::test::CommandTest {
protected:
  size_t wordsKnown() { return com->distance.size() + com->degree.size() + com->count.size(); }
};

TEST_F(ConversionTest, NumberWordTablesHoldEveryWord) {
  EXPECT_EQ(42u, com->distance.size());
  EXPECT_EQ(21u, com->degree.size());
  EXPECT_EQ(26u, com->count.size());
  EXPECT_FLOAT_EQ(0.5f, com->distance["れいてんご"]);
  EXPECT_FLOAT_EQ(7.5f, com->distance["しちてんご"]);
  EXPECT_FLOAT_EQ(20.0f, com->distance["ふたじゅ"]);
  EXPECT_FLOAT_EQ(90.0f, com->distance["きゅうじゅ"]);
  EXPECT_FLOAT_EQ(25.0f, com->degree["ふたじゅうごど"]);
  EXPECT_FLOAT_EQ(75.0f, com->degree["ななじゅうごど"]);
  EXPECT_FLOAT_EQ(85.0f, com->degree["はちじゅうごど"]);  // tens plus five, like the others
  EXPECT_EQ(4, com->count["し"]);
  EXPECT_EQ(17, com->count["じゅうなな"]);
  EXPECT_EQ(20, com->count["ふたじゅう"]);
}

struct Conversion {
  Words words;
  const char* entry;  // "" for none
  const char* logged;  // the result line's title
};

TEST_F(ConversionTest, SpokenParametersBecomeEntries) {
  const char* const walk = "****** すすむコマンド 結果 = ";
  const char* const turn = "****** 回転コマンド 結果 = ";
  const char* const navi = "****** ナビゲーションコマンド 結果 = ";
  const Conversion cases[] = {
      {{"ktwalk", "ktcom_ktwalk", "まえ", "いちてんご", "メートル"}, "ktcom_ktwalk,walk,1.5,0,0", walk},
      {{"ktwalk", "ktcom_ktwalk", "みぎに", "ごじゅう", "センチ"}, "ktcom_ktwalk,walk,0,-0.5,0", walk},
      {{"ktwalk", "ktcom_ktwalk", "まえに", "ななてんご", "センチ"}, "ktcom_ktwalk,walk,0.075,0,0", walk},
      {{"ktwalk", "lbl", "ひだり", "に", ""}, "lbl,walk,0,2,0", walk},
      {{"ktwalk", "lbl", "うしろに", "さん", "x"}, "lbl,walk,-3,0,0", walk},
      {{"ktwalk", "lbl", "ひだりに", "いち", "", "extra"}, "lbl,walk,0,1,0", walk},
      {{"ktturn", "ktcom_ktturn", "ひだり", "きゅうじゅうど", ""}, "ktcom_ktturn,walk,0,0,1.5708", turn},
      {{"ktturn", "ktcom_ktturn", "みぎ", "さんじゅうど", ""}, "ktcom_ktturn,walk,0,0,-0.523598", turn},
      {{"ktturn", "ktcom_ktturn", "みぎに", "よんじゅうごど", ""}, "ktcom_ktturn,walk,0,0,-0.785398", turn},
      {{"ktturn", "t", "みぎに", "よんじゅうごど", "センチ"}, "t,walk,0,0,-0.785398", turn},
      {{"ktturn", "t", "ひだりに", "はちじゅうごど", ""}, "t,walk,0,0,1.48353", turn},
      {{"ktnavi", "ktcom_ktnavi", "まえ", "さん", "ひだり", "いち", "メートル"}, "ktcom_ktnavi,navi,3,1,", navi},
      {{"ktnavi", "ktcom_ktnavi", "うしろに", "じゅう", "みぎに", "ご", "センチ"},
       "ktcom_ktnavi,navi,-0.1,-0.05,", navi},
      // Too short or of no known type: nothing, silently, and no word looked up.
      {{"ktnavi", "n", "まえ", "みっつ", "ひだり", "よっつ"}, "", 0},
      {{"ktwalk", "w", "まえ", "みっつ"}, "", 0},
      {{"ktturn", "t", "ひだり", "むっつ"}, "", 0},
      {{"ktjump", "j", "まえ", "みっつ", "", "", ""}, "", 0},
      {{}, "", 0},
  };
  const size_t known = wordsKnown();
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.entry);
    log.clear();
    EXPECT_EQ(c.entry, com->convert(c.words));
    if (c.logged) {
      EXPECT_TRUE(informed(c.logged + std::string(c.entry)));
    } else {
      EXPECT_TRUE(messages().empty());
    }
    EXPECT_EQ(known, wordsKnown());
  }
  EXPECT_TRUE(heard().empty());
  log.clear();
  com->convert(Words{"ktturn", "t", "ひだり", "きゅうじゅうど", ""});
  EXPECT_TRUE(informed("****** 角度1 = 90"));
  EXPECT_TRUE(informed("****** 角度2 = 1.5708"));
}

TEST_F(ConversionTest, UnlistedWordsCountAsZeroAndAreRemembered) {
  const size_t before = com->distance.size();
  EXPECT_EQ("ktcom_ktwalk,walk,-0,0,0", com->convert(Words{"ktwalk", "ktcom_ktwalk", "うしろ", "ひゃく", ""}));
  EXPECT_EQ(0.0f, com->distance.at("ひゃく"));
  com->convert(Words{"ktwalk", "ktcom_ktwalk", "まえ", "ひゃく", ""});
  EXPECT_EQ(before + 1, com->distance.size());

  log.clear();
  EXPECT_EQ("t,walk,0,0,0", com->convert(Words{"ktturn", "t", "ひだり", "ごど", ""}));
  EXPECT_TRUE(informed("****** 角度1 = 0"));
  for (const std::string& m : messages()) EXPECT_EQ(std::string::npos, m.find("角度2"));
  EXPECT_EQ("t,walk,0,0,-0", com->convert(Words{"ktturn", "t", "みぎ", "ごど", ""}));
  EXPECT_EQ(0.0f, com->degree.at("ごど"));
}

TEST_F(ConversionTest, WrongDirectionsMakeNoEntry) {
  for (const char* direction : {"みぎ ", "ミギ", "", "うえ"}) {
    SCOPED_TRACE(direction);
    log.clear();
    EXPECT_EQ("", com->convert(Words{"ktwalk", "ktcom_ktwalk", direction, "ろっぴゃく", ""}));
    EXPECT_TRUE(warned("歩行に関する方向の与え方が不適切です。"));
  }
  // The number word was looked up before the direction was refused.
  EXPECT_EQ(1u, com->distance.count("ろっぴゃく"));
  for (const char* direction : {"まえ", "うしろ"}) {
    log.clear();
    EXPECT_EQ("", com->convert(Words{"ktturn", "ktcom_ktturn", direction, "じゅうど", ""}));
    EXPECT_TRUE(warned("回転に関する方向の与え方が不適切です。")) << direction;
  }
  EXPECT_TRUE(heard().empty());

  // A navigation says so; a wrong first direction leaves the second number unread.
  size_t before = com->distance.size();
  EXPECT_EQ("", com->convert(Words{"ktnavi", "n", "みぎ", "さん", "ひだり", "はっぴゃく", ""}));
  EXPECT_EQ(Words{"コマンドの与え方が不適切です。"}, heard());
  EXPECT_TRUE(informed("コマンドの与え方が不適切です。"));
  EXPECT_EQ(before, com->distance.size());
  EXPECT_EQ("", com->convert(Words{"ktnavi", "n", "まえ", "さん", "まえ", "きゅうひゃく", ""}));
  EXPECT_EQ(Words(2, "コマンドの与え方が不適切です。"), heard());
  EXPECT_EQ(1u, com->distance.count("きゅうひゃく"));
}

TEST_F(ConversionTest, Formatters) {
  // Whole numbers in three places.
  EXPECT_EQ("  3", com->itostr(3));
  EXPECT_EQ("  0", com->itostr(0));
  EXPECT_EQ(" -1", com->itostr(-1));
  EXPECT_EQ("1234", com->itostr(1234));
  EXPECT_EQ("-2147483648", com->itostr(INT_MIN));
  // Two decimals, in full past the 29 characters of the buffer.
  EXPECT_EQ("3.00", com->ftostr(3));
  EXPECT_EQ("-1.25", com->ftostr(-1.25f));
  EXPECT_EQ("0.00", com->ftostr(0.001f));
  EXPECT_EQ("-0.00", com->ftostr(-0.001f));
  float big = std::numeric_limits<float>::max();
  char expected[64];
  snprintf(expected, sizeof expected, "%.2f", static_cast<double>(big));
  EXPECT_EQ(expected, com->ftostr(big));
  EXPECT_EQ(std::string("-") + expected, com->ftostr(-big));
  EXPECT_EQ("inf", com->ftostr(std::numeric_limits<float>::infinity()));
  // Entry numbers in six significant digits.
  EXPECT_EQ("0.075", com->tostr(0.075f));
  EXPECT_EQ("2", com->tostr(2.0f));
  EXPECT_EQ("1.5708", com->tostr(1.570795f));
  EXPECT_EQ("-0", com->tostr(-0.0f));
  EXPECT_EQ("0", com->tostr(0.0f));
  // Every separator splits.
  EXPECT_EQ((Words{"a", "", "b"}), com->split("a,,b", ','));
  EXPECT_EQ(Words{""}, com->split("", ','));
  EXPECT_EQ((Words{"l", "navi", "3", "1", ""}), com->split("l,navi,3,1,", ','));
  EXPECT_EQ((Words{"ktcom", "", "x"}), com->split("ktcom__x", '_'));
}

class ListTest : public kt::test::CommandTest {
protected:
  static Words walk(const std::string& label, const std::string& number) {
    return Words{"ktwalk", label, "まえ", number, ""};
  }
  static Words bad(const std::string& label) { return Words{"ktwalk", label, "うえ", "いち", ""}; }
  // A list a,b,c of walks of 1, 2 and 3 metres.
  void fill() {
    ASSERT_TRUE(com->add(walk("a", "いち")));
    ASSERT_TRUE(com->add(walk("b", "に")));
    ASSERT_TRUE(com->add(walk("c", "さん")));
  }
};

// The list operations ignore the mode, which is off here.
TEST_F(ListTest, OperationsStayInBounds) {
  com->deleteLast();  // empty: nothing happens
  EXPECT_EQ("", com->getAt(0));
  fill();
  EXPECT_EQ((Words{"a,walk,1,0,0", "b,walk,2,0,0", "c,walk,3,0,0"}), com->getAll());
  EXPECT_FALSE(com->add(bad("d")));
  EXPECT_EQ("c,walk,3,0,0", com->getAt(2));
  EXPECT_EQ("", com->getAt(3));
  EXPECT_EQ("", com->getAt(-1));
  EXPECT_FALSE(com->deleteAt(3));
  EXPECT_FALSE(com->deleteAt(-1));
  EXPECT_EQ(3, com->size());

  Words copy = com->getAll();
  EXPECT_TRUE(com->insertAt(walk("front", "ご"), 0));
  EXPECT_TRUE(com->insertAt(walk("end", "ろく"), com->size()));
  EXPECT_TRUE(com->insertAt(walk("mid", "なな"), 2));
  EXPECT_FALSE(com->insertAt(bad("x"), 1));
  EXPECT_EQ((Words{"front,walk,5,0,0", "a,walk,1,0,0", "mid,walk,7,0,0", "b,walk,2,0,0",
                   "c,walk,3,0,0", "end,walk,6,0,0"}),
            com->getAll());
  // Outside the list nothing is converted: the unlisted word stays unknown.
  log.clear();
  EXPECT_FALSE(com->insertAt(walk("far", "ななひゃく"), com->size() + 1));
  EXPECT_FALSE(com->insertAt(walk("neg", "ななひゃく"), -1));
  EXPECT_EQ(0u, com->distance.count("ななひゃく"));
  EXPECT_TRUE(messages().empty());

  EXPECT_TRUE(com->deleteAt(1));
  com->deleteLast();
  EXPECT_EQ((Words{"front,walk,5,0,0", "mid,walk,7,0,0", "b,walk,2,0,0", "c,walk,3,0,0"}),
            com->getAll());
  // The copy taken before is its own.
  EXPECT_EQ((Words{"a,walk,1,0,0", "b,walk,2,0,0", "c,walk,3,0,0"}), copy);
}

TEST_F(ListTest, ConstructionNeedsItsServices) {
  for (const char* service : {"ALMemory", "ALAutonomousLife", "ALBasicAwareness"}) {
    kt::sim::Robot other;
    boost::shared_ptr<AL::ALBroker> b = other.broker();
    b->unregisterModule(service);
    EXPECT_THROW(KTCommand(b, executor.get()), AL::ALError) << service;
  }
}

}  // namespace
