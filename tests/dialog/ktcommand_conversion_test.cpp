// Spoken number words and the conversion of spoken parameters into entries.
#include "ktcommand_fixture.h"

namespace {

using kt::test::CommandTest;
typedef std::vector<std::string> Words;

class ConversionTest : public CommandTest {};

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
  // Tens plus five, like every other such word.
  EXPECT_FLOAT_EQ(85.0f, com->degree["はちじゅうごど"]);
  EXPECT_EQ(4, com->count["し"]);
  EXPECT_EQ(17, com->count["じゅうなな"]);
  EXPECT_EQ(20, com->count["ふたじゅう"]);
}

TEST_F(ConversionTest, Walks) {
  EXPECT_EQ("ktcom_ktwalk,walk,1.5,0,0",
            com->convert(words("ktwalk", "ktcom_ktwalk", "まえ", "いちてんご", "メートル")));
  EXPECT_TRUE(informed("****** すすむコマンド 結果 = ktcom_ktwalk,walk,1.5,0,0"));
  EXPECT_EQ("ktcom_ktwalk,walk,0,-0.5,0",
            com->convert(words("ktwalk", "ktcom_ktwalk", "みぎに", "ごじゅう", "センチ")));
  EXPECT_EQ("ktcom_ktwalk,walk,0.075,0,0",
            com->convert(words("ktwalk", "ktcom_ktwalk", "まえに", "ななてんご", "センチ")));
  EXPECT_EQ("lbl,walk,0,2,0", com->convert(words("ktwalk", "lbl", "ひだり", "に", "")));
  EXPECT_EQ("lbl,walk,-3,0,0", com->convert(words("ktwalk", "lbl", "うしろに", "さん", "x")));
  // Further elements are ignored.
  Words longer = words("ktwalk", "lbl", "ひだりに", "いち", "");
  longer.push_back("extra");
  EXPECT_EQ("lbl,walk,0,1,0", com->convert(longer));
}

TEST_F(ConversionTest, UnlistedWordCountsAsZeroAndIsRemembered) {
  size_t before = com->distance.size();
  EXPECT_EQ("ktcom_ktwalk,walk,-0,0,0",
            com->convert(words("ktwalk", "ktcom_ktwalk", "うしろ", "ひゃく", "")));
  ASSERT_EQ(before + 1, com->distance.size());
  EXPECT_EQ(0.0f, com->distance.at("ひゃく"));
  // The same word again adds nothing more.
  com->convert(words("ktwalk", "ktcom_ktwalk", "まえ", "ひゃく", ""));
  EXPECT_EQ(before + 1, com->distance.size());
}

TEST_F(ConversionTest, WalkDirectionMustBeKnown) {
  const char* const bad[] = {"みぎ ", "ミギ", "", "うえ"};
  for (const char* direction : bad) {
    log.clear();
    EXPECT_EQ("", com->convert(words("ktwalk", "ktcom_ktwalk", direction, "ろっぴゃく", "")));
    EXPECT_TRUE(warned("歩行に関する方向の与え方が不適切です。")) << direction;
  }
  // The number word was looked up before the direction was refused.
  EXPECT_EQ(1u, com->distance.count("ろっぴゃく"));
  EXPECT_TRUE(heard().empty());
}

TEST_F(ConversionTest, Turns) {
  EXPECT_EQ("ktcom_ktturn,walk,0,0,1.5708",
            com->convert(words("ktturn", "ktcom_ktturn", "ひだり", "きゅうじゅうど", "")));
  EXPECT_TRUE(informed("****** 角度1 = 90"));
  EXPECT_TRUE(informed("****** 角度2 = 1.5708"));
  EXPECT_TRUE(informed("****** 回転コマンド 結果 = ktcom_ktturn,walk,0,0,1.5708"));
  EXPECT_EQ("ktcom_ktturn,walk,0,0,-0.523598",
            com->convert(words("ktturn", "ktcom_ktturn", "みぎ", "さんじゅうど", "")));
  EXPECT_EQ("ktcom_ktturn,walk,0,0,-0.785398",
            com->convert(words("ktturn", "ktcom_ktturn", "みぎに", "よんじゅうごど", "")));
  // A unit word means nothing to a turn.
  EXPECT_EQ("ktcom_ktturn,walk,0,0,-0.785398",
            com->convert(words("ktturn", "ktcom_ktturn", "みぎに", "よんじゅうごど", "センチ")));
  EXPECT_EQ("t,walk,0,0,1.48353", com->convert(words("ktturn", "t", "ひだりに", "はちじゅうごど", "")));
}

TEST_F(ConversionTest, TurnByAnUnlistedDegreeWord) {
  EXPECT_EQ("t,walk,0,0,0", com->convert(words("ktturn", "t", "ひだり", "ごど", "")));
  EXPECT_TRUE(informed("****** 角度1 = 0"));
  for (const std::string& m : messages()) EXPECT_EQ(std::string::npos, m.find("角度2"));
  EXPECT_EQ("t,walk,0,0,-0", com->convert(words("ktturn", "t", "みぎ", "ごど", "")));
  EXPECT_EQ(0.0f, com->degree.at("ごど"));
}

TEST_F(ConversionTest, TurnDirectionMustBeLeftOrRight) {
  EXPECT_EQ("", com->convert(words("ktturn", "ktcom_ktturn", "まえ", "じゅうど", "")));
  EXPECT_TRUE(warned("回転に関する方向の与え方が不適切です。"));
  EXPECT_EQ("", com->convert(words("ktturn", "ktcom_ktturn", "うしろ", "じゅうど", "")));
  EXPECT_TRUE(heard().empty());
}

TEST_F(ConversionTest, Navigations) {
  std::string entry =
      com->convert(Words{"ktnavi", "ktcom_ktnavi", "まえ", "さん", "ひだり", "いち", "メートル"});
  EXPECT_EQ("ktcom_ktnavi,navi,3,1,", entry);
  EXPECT_EQ(5u, com->split(entry, ',').size());
  EXPECT_TRUE(informed("****** ナビゲーションコマンド 結果 = ktcom_ktnavi,navi,3,1,"));
  EXPECT_EQ("ktcom_ktnavi,navi,-0.1,-0.05,",
            com->convert(Words{"ktnavi", "ktcom_ktnavi", "うしろに", "じゅう", "みぎに", "ご", "センチ"}));
  EXPECT_TRUE(heard().empty());
}

TEST_F(ConversionTest, NavigationWithAWrongDirectionSaysSo) {
  size_t before = com->distance.size();
  EXPECT_EQ("", com->convert(Words{"ktnavi", "n", "みぎ", "さん", "ひだり", "はっぴゃく", ""}));
  EXPECT_EQ(std::vector<std::string>{"コマンドの与え方が不適切です。"}, heard());
  EXPECT_TRUE(informed("コマンドの与え方が不適切です。"));
  // The second number word is never looked up.
  EXPECT_EQ(before, com->distance.size());

  EXPECT_EQ("", com->convert(Words{"ktnavi", "n", "まえ", "さん", "まえ", "きゅうひゃく", ""}));
  EXPECT_EQ(2u, heard().size());
  EXPECT_EQ("コマンドの与え方が不適切です。", lastHeard());
  EXPECT_EQ(1u, com->distance.count("きゅうひゃく"));
}

TEST_F(ConversionTest, ShortOrUnknownParametersGiveNothingSilently) {
  size_t before = com->distance.size() + com->degree.size();
  EXPECT_EQ("", com->convert(Words{"ktnavi", "n", "まえ", "みっつ", "ひだり", "よっつ"}));
  EXPECT_EQ("", com->convert(Words{"ktwalk", "w", "まえ", "みっつ"}));
  EXPECT_EQ("", com->convert(Words{"ktturn", "t", "ひだり", "むっつ"}));
  EXPECT_EQ("", com->convert(Words{"ktjump", "j", "まえ", "みっつ", "", "", ""}));
  EXPECT_EQ("", com->convert(Words{}));
  EXPECT_EQ(before, com->distance.size() + com->degree.size());
  EXPECT_TRUE(messages().empty());
  EXPECT_TRUE(heard().empty());
}

}  // namespace
