// The command mode keywords, as the variable routing hands them over.
#include "ktcommand_fixture.h"

namespace {

using kt::test::Words;

class InterpreterTest : public kt::test::CommandTest {
protected:
  void enter() {
    ASSERT_TRUE(run("ktcom_ktinit"));
    clearHeard();
    log.clear();
    robot.world().clearJournal();
  }
  // Stores the keyword's spoken words as ktcom_<keyword>_1... then runs it.
  bool say(const std::string& keyword, const Words& words = Words()) {
    for (size_t i = 0; i < words.size(); ++i)
      set("ktcom_" + keyword + "_" + std::to_string(i + 1), words[i]);
    return run("ktcom_" + keyword);
  }
  // Calls made to the services other than the memory that carries speech.
  Words serviceCalls() {
    Words out;
    for (const std::string& line : journal())
      if (line.compare(0, 9, "ALMemory.") != 0) out.push_back(line);
    return out;
  }
  // Leaves com->autolife pointing at a module whose state is not one of the four.
  struct OddLife : public AL::ALModule {
    OddLife(boost::shared_ptr<AL::ALBroker> b, const std::string& n) : AL::ALModule(b, n) {
      functionName("getState", getName(), "odd state", 0);
      BIND_METHOD(OddLife::getState);
    }
    std::string getState() { return "sleeping"; }
  };
};

TEST_F(InterpreterTest, InitWorksInEitherModeAndEndKeepsTheList) {
  EXPECT_TRUE(run("ktcom_ktinit"));
  EXPECT_TRUE(informed("****** コマンドモード初期化処理 ******"));
  ASSERT_TRUE(say("ktwalk", {"まえ", "に", ""}));
  EXPECT_TRUE(run("ktcom_ktinit"));
  EXPECT_TRUE(com->comstatus);
  EXPECT_EQ(0, com->size());
  ASSERT_TRUE(say("ktwalk", {"まえ", "いち", ""}));
  EXPECT_TRUE(run("ktcom_ktend"));
  EXPECT_FALSE(com->comstatus);
  EXPECT_EQ(Words{"ktcom_ktwalk,walk,1,0,0"}, com->getAll());
  EXPECT_FALSE(run("ktcom_ktend"));
  EXPECT_EQ((Words{"コマンドモードに入りました。", "コマンドモードに入りました。",
                   "コマンドモードをおわります。", "コマンドモードではありません。"}),
            heard());
}

TEST_F(InterpreterTest, EveryOtherKeywordNeedsTheMode) {
  const char* const keys[] = {
      "ktcom_ktend",   "ktcom_ktnavi",     "ktcom_ktwalk",     "ktcom_ktturn",    "ktcom_ktget",
      "ktcom_ktdel",   "ktcom_ktsayall",   "ktcom_ktspeak",    "ktcom_ktwait",    "ktcom_ktexec",
      "ktcom_ktcomnum", "ktcom_ktsysoff",  "ktcom_ktwakeup",   "ktcom_ktrest",    "ktcom_ktsetaware",
      "ktcom_ktgetaware", "ktcom_ktsetlife", "ktcom_ktgetlife", "ktcom_ktgetcolli",
      "ktcom_ktsetcolli", "ktcom_ktloc",   "ktcom_ktjump",     "ktcom_",          "ktcom"};
  com->commands.push_back("a,walk,1,0,0");
  for (const char* k : keys) EXPECT_FALSE(run(k)) << k;
  EXPECT_EQ(Words(24, "コマンドモードではありません。"), heard());
  // No parameter was read and no service called.
  for (const std::string& line : journal())
    EXPECT_TRUE(line.compare(0, 19, "ALMemory.insertData") == 0 ||
                line.compare(0, 19, "ALMemory.raiseEvent") == 0)
        << line;
  EXPECT_EQ(Words{"a,walk,1,0,0"}, com->getAll());
  EXPECT_TRUE(messages().empty());
}

TEST_F(InterpreterTest, UnknownAndMissingKeywords) {
  enter();
  EXPECT_FALSE(run("ktcom_ktjump"));
  EXPECT_TRUE(warned("コマンド変数の型が不適切です varname = ktjump"));
  EXPECT_FALSE(run("ktcom_KTEND"));
  EXPECT_FALSE(run("ktcom__ktend"));
  EXPECT_TRUE(warned("コマンド変数の型が不適切です varname = "));
  // A key with no second part is answered the same way.
  log.clear();
  EXPECT_FALSE(com->process(Words{"ktcom"}, "ktcom"));
  EXPECT_TRUE(warned("コマンド変数の型が不適切です varname = "));
  EXPECT_EQ(Words(4, "コマンドの変数が不適切です。"), heard());
  EXPECT_TRUE(com->comstatus);
}

TEST_F(InterpreterTest, MovesAreConvertedIntoEntries) {
  enter();
  EXPECT_TRUE(say("ktwalk", {"みぎに", "ごじゅう", "センチ"}));
  EXPECT_TRUE(informed("****** すすむコマンド作成 = ktwalk:ktcom_ktwalk:みぎに:ごじゅう:センチ"));
  EXPECT_TRUE(say("ktturn", {"ひだり", "きゅうじゅうど", ""}));
  EXPECT_TRUE(informed("****** 回転コマンド作成 = ktturn:ktcom_ktturn:ひだり:きゅうじゅうど:"));
  EXPECT_TRUE(say("ktnavi", {"まえ", "さん", "ひだり", "いち", "メートル"}));
  EXPECT_TRUE(informed(
      "****** ナビゲーションコマンド作成 = ktnavi:ktcom_ktnavi:まえ:さん:ひだり:いち:メートル"));
  // A third part stays in the label, which names the completion event.
  EXPECT_TRUE(run("ktcom_ktturn_again"));
  // A conversion without an entry is no failure of the keyword.
  EXPECT_TRUE(say("ktwalk", {"うえ"}));
  EXPECT_EQ((Words{"ktcom_ktwalk,walk,0,-0.5,0", "ktcom_ktturn,walk,0,0,1.5708",
                   "ktcom_ktnavi,navi,3,1,", "ktcom_ktturn_again,walk,0,0,1.5708"}),
            com->getAll());
  EXPECT_TRUE(heard().empty());
}

TEST_F(InterpreterTest, EmptyListIsOnlyLogged) {
  enter();
  // The position keys are not even read.
  for (const char* k : {"ktcom_ktdel", "ktcom_ktsayall", "ktcom_ktexec", "ktcom_ktget"}) {
    log.clear();
    EXPECT_TRUE(run(k)) << k;
    EXPECT_TRUE(warned("コマンドがまだ入力されていません。")) << k;
  }
  EXPECT_EQ((Words{"****** コマンドを取得の開始 **********", "コマンドがまだ入力されていません。"}),
            messages());
  EXPECT_TRUE(heard().empty());
  EXPECT_TRUE(serviceCalls().empty());
}

TEST_F(InterpreterTest, GetAndDeletePositions) {
  enter();
  ASSERT_TRUE(say("ktwalk", {"まえ", "いち", ""}));
  ASSERT_TRUE(say("ktwalk", {"ひだり", "に", ""}));
  ASSERT_TRUE(say("ktwalk", {"うしろ", "さん", ""}));
  clearHeard();
  // The empty text is the last entry, an unlisted word is 0.
  EXPECT_TRUE(say("ktget", {""}));
  EXPECT_TRUE(informed("****** コマンドを取得します No. = 2"));
  EXPECT_TRUE(informed("****** 取得したコマンド = ktcom_ktwalk,walk,-3,0,0"));
  EXPECT_TRUE(say("ktget", {"いち"}));
  EXPECT_TRUE(say("ktget", {"ひとつ"}));
  EXPECT_EQ(0, com->count.at("ひとつ"));
  EXPECT_TRUE(say("ktget", {"さん"}));
  EXPECT_TRUE(say("ktdel", {"よん"}));
  EXPECT_TRUE(say("ktdel", {""}));
  EXPECT_TRUE(say("ktdel", {"いち"}));
  EXPECT_EQ(Words{"ktcom_ktwalk,walk,1,0,0"}, com->getAll());
  EXPECT_TRUE(say("ktdel", {"なし"}));
  EXPECT_EQ(0, com->size());
  // An entry that reads back as nothing fails.
  ASSERT_TRUE(say("ktwalk", {"まえ", "ぜろ", ""}));
  EXPECT_FALSE(say("ktget", {""}));
  EXPECT_EQ((Words{"  2番目のコマンドは、3.00メートル、後ろに下がる、です。",
                   "  1番目のコマンドは、2.00メートル左へ進む、です。",
                   "  0番目のコマンドは、1.00メートル前へ進む、です。",
                   "さんばんめのデータはありません。", "よんばんめのデータはありません。",
                   "ばんめのデータを削除しました。", "いちばんめのデータを削除しました。",
                   "なしばんめのデータを削除しました。", "変数が正しく保存されていませんでした。"}),
            heard());
}

TEST_F(InterpreterTest, SpeechPauseCountAndSayAll) {
  enter();
  EXPECT_TRUE(run("ktcom_ktcomnum"));
  EXPECT_EQ("データは、  0こです。", lastHeard());
  // Appending speech says nothing.
  EXPECT_TRUE(say("ktspeak", {"", ""}));
  EXPECT_TRUE(say("ktspeak", {"あいさつ", "こんにちは"}));
  EXPECT_TRUE(say("ktwait", {"さん"}));
  EXPECT_TRUE(say("ktwait", {"たくさん"}));
  EXPECT_EQ((Words{"ktcom_ktspeak_1,speak,,", "ktcom_ktspeak_1,speak,あいさつ,こんにちは",
                   "ktcom_ktwait_1,wait,  3", "ktcom_ktwait_1,wait,  0"}),
            com->getAll());
  EXPECT_TRUE(run("ktcom_ktcomnum"));
  EXPECT_TRUE(run("ktcom_ktsayall"));
  EXPECT_EQ((Words{"データは、  0こです。", "そこで、3.00びょう、動作を停止します。",
                   "そこで、0.00びょう、動作を停止します。", "データは、  4こです。",
                   "  0番目は、、を話す、  1番目は、あいさつ、を話す、  2番目は、  3びょうかん動作を停止、"
                   "  3番目は、  0びょうかん動作を停止、以上です。"}),
            heard());
}

TEST_F(InterpreterTest, AwarenessLifeAndCollision) {
  enter();
  for (const char* word : {"おふ", "おん"}) {
    EXPECT_TRUE(say("ktsetaware", {word}));
    EXPECT_EQ(std::string(word) == "おん", robot.basicAwareness().isAwarenessRunning());
    EXPECT_TRUE(run("ktcom_ktgetaware"));
  }
  EXPECT_EQ((Words{"基礎検知機能を おふ にしました。", "基礎検知機能は おふ になっています。",
                   "基礎検知機能を おん にしました。", "基礎検知機能は おん になっています。"}),
            heard());

  const char* const life[][3] = {{"たんどく", "solitary", "単独"}, {"そうご", "interactive", "相互"},
                                 {"むこう", "disabled", "無効"}, {"ほご", "safeguard", "保護"}};
  for (const auto& row : life) {
    EXPECT_TRUE(say("ktsetlife", {row[0]}));
    EXPECT_EQ(row[1], robot.autonomousLife().getState());
    EXPECT_EQ(std::string("自動生命機能を ") + row[0] + " にしました。", lastHeard());
    EXPECT_TRUE(run("ktcom_ktgetlife"));
    EXPECT_EQ(std::string("自動生命機能は ") + row[2] + " になっています。", lastHeard());
  }

  clearHeard();
  EXPECT_TRUE(run("ktcom_ktgetcolli"));
  EXPECT_TRUE(say("ktsetcolli", {"おふ"}));
  EXPECT_TRUE(run("ktcom_ktgetcolli"));
  EXPECT_TRUE(say("ktsetcolli", {"おん"}));
  EXPECT_TRUE(say("ktsetcolli", {""}));
  EXPECT_FALSE(robot.motion().getExternalCollisionProtectionEnabled("Arms"));
  EXPECT_EQ((Words{"外部衝突防止機能はおんになっています。", "外部衝突防止機能をおふにしました。",
                   "外部衝突防止機能はおふになっています。", "外部衝突防止機能をおんにしました。",
                   "外部衝突防止機能をにしました。"}),
            heard());
  Words expected;
  for (const char* flag : {"false", "true", "false"})
    for (const char* part : {"Move", "Arms"})
      expected.push_back(std::string("ALMotion.setExternalCollisionProtectionEnabled [\"") + part +
                         "\"," + flag + "]");
  EXPECT_EQ(expected, calls("ALMotion.setExternalCollisionProtectionEnabled"));
}

TEST_F(InterpreterTest, UnrecognisedWordsAndStatesAreRefused) {
  enter();
  for (const char* word : {"", "オン", "つける"}) {
    EXPECT_FALSE(say("ktsetaware", {word}));
    EXPECT_EQ("設定すべき基礎探知の状態が不適切です", lastHeard());
    EXPECT_FALSE(say("ktsetlife", {word}));
    EXPECT_EQ("設定すべき自動生命の状態が不適切です", lastHeard());
  }
  EXPECT_TRUE(serviceCalls().empty());

  AL::ALModule::createModule<OddLife>(broker, "OddLife");
  com->autolife = broker->getProxy("OddLife", 0);
  EXPECT_FALSE(run("ktcom_ktgetlife"));
  EXPECT_EQ("自動生命の状態を取得できませんでした。", lastHeard());
}

TEST_F(InterpreterTest, SystemOffWakeUpRestAndLocation) {
  enter();
  EXPECT_TRUE(run("ktcom_ktsysoff"));
  EXPECT_EQ(Words{"ALMemory.raiseEvent [\"SystemTopicOffEvent\",1]"}, calls("ALMemory.raiseEvent"));
  EXPECT_TRUE(run("ktcom_ktwakeup"));
  EXPECT_TRUE(robot.motion().isAwake());
  EXPECT_EQ("StandInit", robot.posture().getPosture());
  EXPECT_TRUE(run("ktcom_ktrest"));
  EXPECT_FALSE(robot.motion().isAwake());
  EXPECT_TRUE(heard().empty());
  robot.motion().setPosition(-1.234f, 0.5f, 0.7854f);
  EXPECT_TRUE(run("ktcom_ktloc"));
  EXPECT_EQ("現在位置は原点より、後方に、1.23メートル、左方向に、0.50メートル、 45度、左に回転している、です。",
            lastHeard());
}

TEST_F(InterpreterTest, ExecuteRunsTheListInOrder) {
  enter();
  ASSERT_TRUE(say("ktwalk", {"まえ", "いち", ""}));
  ASSERT_TRUE(say("ktspeak", {"あいさつ", "こんにちは"}));
  ASSERT_TRUE(say("ktwait", {"さん"}));
  ASSERT_TRUE(say("ktwait", {"ぜろ"}));
  ASSERT_TRUE(say("ktnavi", {"まえ", "に", "ひだり", "いち", ""}));
  Words before = com->getAll();
  clearHeard();
  robot.world().clearJournal();

  EXPECT_TRUE(run("ktcom_ktexec"));
  EXPECT_EQ(before, com->getAll());
  // The words are spoken, never the title.
  EXPECT_EQ(Words{"こんにちは"}, heard());
  // Each motion waits 1 second first; the pause entry of 0 makes none.
  EXPECT_EQ((std::vector<unsigned int>{1, 3, 1}), sleeps.calls());
  Words moves;
  for (const std::string& line : serviceCalls())
    if (line.find("moveTo") != std::string::npos || line.find("navigateTo") != std::string::npos ||
        line.find("waitUntil") != std::string::npos || line.find("goToPosture") != std::string::npos)
      moves.push_back(line);
  EXPECT_EQ((Words{"ALMotion.moveTo [1,0,0]", "ALMotion.waitUntilMoveIsFinished []",
                   "ALNavigation.navigateTo [2,1]", "ALMotion.waitUntilMoveIsFinished []",
                   "ALRobotPosture.goToPosture [\"StandInit\",0.5]"}),
            moves);
  EXPECT_EQ(1, static_cast<int>(robot.memory().getData("did_ktcom_ktwalk")));
  EXPECT_EQ(1, static_cast<int>(robot.memory().getData("did_ktcom_ktnavi")));
}

TEST_F(InterpreterTest, NoEntryCanShiftItsFieldsAndNoWaitOutlastsTheLongestWord) {
  enter();
  set("ktcom_ktwalk_1", "まえ"), set("ktcom_ktwalk_2", "いち"), set("ktcom_ktwalk_3", "");
  EXPECT_TRUE(run("ktcom_ktwalk_,wait,2000000000"));
  EXPECT_TRUE(warned("コマンド名にカンマがあるので、コマンドを作成しません。 = ktcom_ktwalk_,wait,2000000000"));
  EXPECT_FALSE(say("ktspeak", {"あいさつ", "a,b"}));
  EXPECT_EQ(0, com->size());
  com->commands.push_back("x,wait,2000000000");
  EXPECT_TRUE(run("ktcom_ktexec"));
  EXPECT_EQ((std::vector<unsigned int>{20}), sleeps.calls());
}

TEST_F(InterpreterTest, MissingParameterChangesNothing) {
  enter();
  ASSERT_TRUE(say("ktwalk", {"まえ", "いち", ""}));
  robot.world().clearJournal();
  log.clear();
  // ktwalk_3 holds an int, not a text; the other keys are missing.
  robot.memory().insertData("ktcom_ktwalk_3", AL::ALValue(3));
  for (const char* k : {"ktcom_ktwalk", "ktcom_ktwait", "ktcom_ktspeak", "ktcom_ktsetcolli", "ktcom_ktdel"})
    EXPECT_THROW(run(k), AL::ALError) << k;
  EXPECT_TRUE(messages().empty());
  EXPECT_THROW(run("ktcom_ktget"), AL::ALError);
  EXPECT_EQ(Words{"****** コマンドを取得の開始 **********"}, messages());
  EXPECT_EQ(Words{"ktcom_ktwalk,walk,1,0,0"}, com->getAll());
  EXPECT_EQ(26u, com->count.size());
  EXPECT_TRUE(heard().empty());
  EXPECT_TRUE(serviceCalls().empty());
}

TEST_F(InterpreterTest, FailingServiceStopsTheRun) {
  enter();
  ASSERT_TRUE(say("ktspeak", {"a", "まえ"}));
  ASSERT_TRUE(say("ktwalk", {"まえ", "いち", ""}));
  ASSERT_TRUE(say("ktspeak", {"b", "あと"}));
  Words before = com->getAll();
  clearHeard();
  robot.world().setFault("ALMotion.moveTo", kt::sim::FaultThrow);
  EXPECT_THROW(run("ktcom_ktexec"), AL::ALError);
  EXPECT_EQ(Words{"まえ"}, heard());
  EXPECT_TRUE(calls("ALRobotPosture.goToPosture").empty());
  EXPECT_TRUE(calls("ALMotion.waitUntilMoveIsFinished").empty());
  EXPECT_EQ(before, com->getAll());
}

}  // namespace
