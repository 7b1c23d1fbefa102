// Speech output and the read-back of entries, of the list and of the position.
#include "ktcommand_fixture.h"

namespace {

using kt::test::Words;

class ReadBackTest : public kt::test::CommandTest {};

TEST_F(ReadBackTest, SpeechOutputStoresThenAnnounces) {
  com->logSpeaking("こんにちは");
  com->logSpeaking("");
  // Heard as the speaker reads it when the event arrives.
  EXPECT_EQ((Words{"こんにちは", ""}), heard());
  for (const AL::ALValue& v : speakValues) {
    EXPECT_TRUE(v.isInt());
    EXPECT_EQ(1, static_cast<int>(v));
  }
  EXPECT_TRUE(messages().empty());
  robot.world().setFault("ALMemory.insertData", kt::sim::FaultThrow);
  EXPECT_THROW(com->logSpeaking("さようなら"), AL::ALError);
  EXPECT_EQ(2u, heard().size());
}

struct EntryCase {
  const char* entry;
  int position;
  const char* spoken;
  bool result;
};

TEST_F(ReadBackTest, EveryKindOfEntry) {
  const EntryCase cases[] = {
      {"l,walk,0.5,0,0", 0, "  0番目のコマンドは、0.50メートル前へ進む、です。", true},
      {"l,walk,-1.5,2,0", 1, "  1番目のコマンドは、1.50メートル、後ろに下がる、です。", true},
      {"l,walk,0,2,1", 5, "  5番目のコマンドは、2.00メートル左へ進む、です。", true},
      {"l,walk,0,-0.3,0", 7, "  7番目のコマンドは、0.30メートル右へ進む、です。", true},
      {"l,walk,0,0,1.5708", 12, " 12番目のコマンドは、 90度、左に回転する、です。", true},
      {"l,walk,0,0,-0.261799", 2, "  2番目のコマンドは、 14度、右に回転する、です。", true},
      {"l,walk,-0,0,0.0002", 1000, "1000番目のコマンドは、  0度、左に回転する、です。", true},
      {"l,walk,0,0,0", 0, "変数が正しく保存されていませんでした。", false},
      {"l,walk,0.0001,-0.0001,0", 3, "変数が正しく保存されていませんでした。", false},
      {"l,walk,abc,,-0", 3, "変数が正しく保存されていませんでした。", false},
      {"ktcom_ktspeak_1,speak,あいさつ,こんにちは", 1, "  1番目は、あいさつ、を話ます。", true},
      {"l,speak,", 1, "  1番目は、、を話ます。", true},
      {"ktcom_ktwait_1,wait,  3", 4, "  4番目は、  3秒間、動作を停止するです。", true},
      {"l,navi,2,-1.5,", 3, "  3番目のコマンドは、2.00メートル前、1.50メートル右の位置へ移動するです。", true},
      {"l,navi,-0.1,0.05,", 3, "  3番目のコマンドは、0.10メートル、後ろ、0.05メートル左への位置へ移動するです。",
       true},
      {"l,navi,0,-1.5,", 3, "一部、変数が正しく保存されていませんでした。1.50メートル右の位置へ移動するです。",
       true},
      {"l,navi,2,0,", 9, "  9番目のコマンドは、2.00メートル前、一部、変数が正しく保存されていませんでした。", true},
      {"l,navi,0,0,", 3, "一部、変数が正しく保存されていませんでした。一部、変数が正しく保存されていませんでした。",
       true},
      {"l,walk,1,0", 0, "コマンドが正しく保存されていませんでした。", false},
      {"", 0, "コマンドが正しく保存されていませんでした。", false},
      {"l,speak", 0, "コマンドが正しく保存されていませんでした。", false},
      {"l,navi,1", 0, "コマンドが正しく保存されていませんでした。", false},
      {"l,Walk,1,0,0", 0, "コマンドが正しく保存されていませんでした。", false},
  };
  for (const EntryCase& c : cases) {
    clearHeard();
    log.clear();
    EXPECT_EQ(c.result, com->speakCommand(c.entry, c.position)) << c.entry;
    EXPECT_EQ(Words{c.spoken}, heard()) << c.entry;
    // Only a successful read-back is logged.
    EXPECT_EQ(c.result ? Words{c.spoken} : Words{}, messages()) << c.entry;
  }
}

TEST_F(ReadBackTest, TurnsReadBackInTruncatedDegrees) {
  const char* const word[] = {"じゅうごど", "さんじゅうど", "よんじゅうど", "ごじゅうごど",
                              "ろくじゅうごど", "はちじゅうど", "よんじゅうごど", "きゅうじゅうど"};
  const char* const heardAs[] = {" 14", " 29", " 39", " 54", " 64", " 79", " 45", " 90"};
  for (size_t i = 0; i < 8; ++i) {
    std::string right = com->convert(Words{"ktturn", "t", "みぎ", word[i], ""});
    std::string left = com->convert(Words{"ktturn", "t", "ひだり", word[i], ""});
    clearHeard();
    EXPECT_TRUE(com->speakCommand(right, 0));
    EXPECT_TRUE(com->speakCommand(left, 1));
    EXPECT_EQ((Words{std::string("  0番目のコマンドは、") + heardAs[i] + "度、右に回転する、です。",
                     std::string("  1番目のコマンドは、") + heardAs[i] + "度、左に回転する、です。"}),
              heard())
        << word[i];
  }
}

TEST_F(ReadBackTest, WholeList) {
  EXPECT_EQ("以上です。", com->linkCommands(Words{}));
  EXPECT_EQ(
      "  0番目は、0.50メートル前へ進む、  1番目は、  3びょうかん動作を停止、0.30メートル左への位置へ移動、"
      "  3番目は、1.00メートル前、0.50メートル右の位置へ移動。以上です。",
      com->linkCommands(Words{"a,walk,0.5,0,0", "b,wait,  3", "c,navi,0,0.3,", "d,navi,1,-0.5,"}));
  EXPECT_EQ(
      "  0番目は、1.00メートル、後ろに下がる、  1番目は、0.20メートル左へ進む、"
      "  2番目は、0.20メートル右へ進む、  3番目は、 29度、左に回転する、  4番目は、 45度、右に回転する、"
      "変数が正しく保存されていませんでした。  6番目は、題、を話す、"
      "  7番目は、2.00メートル、後ろ、変数が正しく保存されていませんでした。"
      "コマンドが正しく保存されていませんでした。コマンドが正しく保存されていませんでした。以上です。",
      com->linkCommands(Words{"a,walk,-1,0,0", "a,walk,0,0.2,0", "a,walk,0,-0.2,0",
                              "a,walk,0,0,0.523598", "a,walk,0,0,-0.785398", "a,walk,0,0,0.0001",
                              "s,speak,題,言葉", "n,navi,-2,0,", "x,walk,1", ""}));
  // Building the sentence speaks and logs nothing.
  EXPECT_TRUE(heard().empty());
  EXPECT_TRUE(messages().empty());
}

TEST_F(ReadBackTest, Position) {
  robot.motion().setPosition(-1.234f, 0.5f, 0.7854f);
  com->speakLocation();
  robot.motion().setPosition(0.25f, -2.0f, -1.5708f);
  com->speakLocation();
  robot.motion().setPosition(-0.0f, 0.0f, 0.0001f);
  com->speakLocation();
  EXPECT_EQ((Words{
                "現在位置は原点より、後方に、1.23メートル、左方向に、0.50メートル、 45度、左に回転している、です。",
                "現在位置は原点より、前方に、0.25メートル、右方向に、2.00メートル、 90度、右に回転している、です。",
                "現在位置は原点より、前方に、0.00メートル、左方向に、0.00メートル、回転はしていない、です。"}),
            heard());
  EXPECT_EQ(Words(3, "ALMotion.getRobotPosition [false]"), calls("ALMotion.getRobotPosition"));
  EXPECT_TRUE(messages().empty());
}

// Answers the position query with fewer values than asked for.
class ShortMotion : public AL::ALModule {
public:
  ShortMotion(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
    : AL::ALModule(broker, name) {
    functionName("getRobotPosition", getName(), "short answer", 0);
    BIND_METHOD(ShortMotion::getRobotPosition);
  }
  std::vector<float> getRobotPosition(bool) { return answer; }
  std::vector<float> answer;
};

TEST_F(ReadBackTest, ShortPositionCountsMissingValuesAsZero) {
  boost::shared_ptr<ShortMotion> fake = AL::ALModule::createModule<ShortMotion>(broker, "ShortMotion");
  AL::ALProxy proxy(broker, "ShortMotion", 0, 0);
  AL::ALProxy* own = com->motion;
  com->motion = &proxy;
  fake->answer = {-0.5f, -0.2f};
  com->speakLocation();
  fake->answer = {};
  com->speakLocation();
  com->motion = own;
  EXPECT_EQ((Words{
                "現在位置は原点より、後方に、0.50メートル、右方向に、0.20メートル、回転はしていない、です。",
                "現在位置は原点より、前方に、0.00メートル、左方向に、0.00メートル、回転はしていない、です。"}),
            heard());
}

}  // namespace
