// The command mode keywords, as the variable routing hands them over.
#include "ktcommand_fixture.h"

namespace {

typedef std::vector<std::string> Words;

class InterpreterTest : public kt::test::CommandTest {
protected:
  void enter() {
    ASSERT_TRUE(run("ktcom_ktinit"));
    listener->clear();
    log.clear();
    robot.world().clearJournal();
  }
  void walk(const std::string& direction, const std::string& number, const std::string& unit) {
    set("ktcom_ktwalk_1", direction);
    set("ktcom_ktwalk_2", number);
    set("ktcom_ktwalk_3", unit);
    ASSERT_TRUE(run("ktcom_ktwalk"));
  }
  void speech(const std::string& title, const std::string& words) {
    set("ktcom_ktspeak_1", title);
    set("ktcom_ktspeak_2", words);
    ASSERT_TRUE(run("ktcom_ktspeak"));
  }
  void wait(const std::string& number) {
    set("ktcom_ktwait_1", number);
    ASSERT_TRUE(run("ktcom_ktwait"));
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

TEST_F(InterpreterTest, InitWorksInEitherMode) {
  EXPECT_TRUE(run("ktcom_ktinit"));
  EXPECT_TRUE(com->comstatus);
  EXPECT_TRUE(informed("****** コマンドモード初期化処理 ******"));
  walk("まえ", "いち", "");
  EXPECT_TRUE(run("ktcom_ktinit"));
  EXPECT_TRUE(com->comstatus);
  EXPECT_EQ(0, com->size());
  EXPECT_EQ((Words{"コマンドモードに入りました。", "コマンドモードに入りました。"}), heard());
}

TEST_F(InterpreterTest, EveryOtherKeywordNeedsTheMode) {
  const char* const keywords[] = {
      "ktend",    "ktnavi",   "ktwalk",     "ktturn",     "ktget",      "ktdel",
      "ktsayall", "ktspeak",  "ktwait",     "ktexec",     "ktcomnum",   "ktsysoff",
      "ktwakeup", "ktrest",   "ktsetaware", "ktgetaware", "ktsetlife",  "ktgetlife",
      "ktgetcolli", "ktsetcolli", "ktloc",  "ktjump",     ""};
  com->commands.push_back("a,walk,1,0,0");
  for (const char* k : keywords) {
    listener->clear();
    EXPECT_FALSE(run(std::string("ktcom_") + k)) << k;
    EXPECT_EQ(Words{"コマンドモードではありません。"}, heard()) << k;
  }
  listener->clear();
  EXPECT_FALSE(run("ktcom"));
  EXPECT_EQ(Words{"コマンドモードではありません。"}, heard());
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

TEST_F(InterpreterTest, EndKeepsTheList) {
  enter();
  walk("まえ", "いち", "");
  EXPECT_TRUE(run("ktcom_ktend"));
  EXPECT_FALSE(com->comstatus);
  EXPECT_EQ("コマンドモードをおわります。", lastHeard());
  EXPECT_EQ(Words{"ktcom_ktwalk,walk,1,0,0"}, com->getAll());
  EXPECT_FALSE(run("ktcom_ktend"));
}

TEST_F(InterpreterTest, MovesAreConvertedIntoEntries) {
  enter();
  walk("みぎに", "ごじゅう", "センチ");
  EXPECT_TRUE(informed("****** すすむコマンド作成 = ktwalk:ktcom_ktwalk:みぎに:ごじゅう:センチ"));
  set("ktcom_ktturn_1", "ひだり");
  set("ktcom_ktturn_2", "きゅうじゅうど");
  set("ktcom_ktturn_3", "");
  EXPECT_TRUE(run("ktcom_ktturn"));
  EXPECT_TRUE(informed("****** 回転コマンド作成 = ktturn:ktcom_ktturn:ひだり:きゅうじゅうど:"));
  const char* const navi[] = {"まえ", "さん", "ひだり", "いち", "メートル"};
  for (int i = 0; i < 5; ++i) set("ktcom_ktnavi_" + std::to_string(i + 1), navi[i]);
  EXPECT_TRUE(run("ktcom_ktnavi"));
  EXPECT_TRUE(informed(
      "****** ナビゲーションコマンド作成 = ktnavi:ktcom_ktnavi:まえ:さん:ひだり:いち:メートル"));
  // A third part stays in the label, which names the completion event.
  EXPECT_TRUE(run("ktcom_ktturn_again"));
  // A conversion without an entry is no failure of the keyword.
  set("ktcom_ktwalk_1", "うえ");
  EXPECT_TRUE(run("ktcom_ktwalk"));
  EXPECT_EQ((Words{"ktcom_ktwalk,walk,0,-0.5,0", "ktcom_ktturn,walk,0,0,1.5708",
                   "ktcom_ktnavi,navi,3,1,", "ktcom_ktturn_again,walk,0,0,1.5708"}),
            com->getAll());
  EXPECT_TRUE(heard().empty());
}

TEST_F(InterpreterTest, EmptyListIsOnlyLogged) {
  enter();
  // The position keys are not even read.
  for (const char* k : {"ktcom_ktget", "ktcom_ktdel", "ktcom_ktsayall", "ktcom_ktexec"}) {
    log.clear();
    EXPECT_TRUE(run(k)) << k;
    EXPECT_TRUE(warned("コマンドがまだ入力されていません。")) << k;
  }
  log.clear();
  run("ktcom_ktget");
  EXPECT_EQ((Words{"****** コマンドを取得の開始 **********", "コマンドがまだ入力されていません。"}),
            messages());
  EXPECT_TRUE(heard().empty());
  EXPECT_TRUE(serviceCalls().empty());
}

TEST_F(InterpreterTest, GetPositions) {
  enter();
  walk("まえ", "いち", "");
  walk("ひだり", "に", "");
  walk("うしろ", "さん", "");
  listener->clear();
  set("ktcom_ktget_1", "");
  EXPECT_TRUE(run("ktcom_ktget"));
  EXPECT_TRUE(informed("****** コマンドを取得します No. = 2"));
  EXPECT_TRUE(informed("****** 取得したコマンド = ktcom_ktwalk,walk,-3,0,0"));
  set("ktcom_ktget_1", "いち");
  EXPECT_TRUE(run("ktcom_ktget"));
  set("ktcom_ktget_1", "ひとつ");
  EXPECT_TRUE(run("ktcom_ktget"));
  EXPECT_EQ(0, com->count.at("ひとつ"));
  set("ktcom_ktget_1", "さん");
  EXPECT_TRUE(run("ktcom_ktget"));
  EXPECT_EQ((Words{"  2番目のコマンドは、3.00メートル、後ろに下がる、です。",
                   "  1番目のコマンドは、2.00メートル左へ進む、です。",
                   "  0番目のコマンドは、1.00メートル前へ進む、です。",
                   "さんばんめのデータはありません。"}),
            heard());
}

TEST_F(InterpreterTest, GetFailsOnAnEntryThatReadsBackAsNothing) {
  enter();
  walk("まえ", "ぜろ", "");
  set("ktcom_ktget_1", "");
  EXPECT_FALSE(run("ktcom_ktget"));
  EXPECT_EQ("変数が正しく保存されていませんでした。", lastHeard());
}

TEST_F(InterpreterTest, DeletePositions) {
  enter();
  walk("まえ", "いち", "");
  walk("まえ", "に", "");
  walk("まえ", "さん", "");
  listener->clear();
  set("ktcom_ktdel_1", "よん");
  EXPECT_TRUE(run("ktcom_ktdel"));
  set("ktcom_ktdel_1", "いち");
  EXPECT_TRUE(run("ktcom_ktdel"));
  EXPECT_EQ((Words{"ktcom_ktwalk,walk,1,0,0", "ktcom_ktwalk,walk,3,0,0"}), com->getAll());
  set("ktcom_ktdel_1", "なし");
  EXPECT_TRUE(run("ktcom_ktdel"));
  set("ktcom_ktdel_1", "");
  EXPECT_TRUE(run("ktcom_ktdel"));
  EXPECT_EQ(0, com->size());
  EXPECT_EQ((Words{"よんばんめのデータはありません。", "いちばんめのデータを削除しました。",
                   "なしばんめのデータを削除しました。", "ばんめのデータを削除しました。"}),
            heard());
  log.clear();
  EXPECT_TRUE(run("ktcom_ktsayall"));
  EXPECT_TRUE(warned("コマンドがまだ入力されていません。"));
  EXPECT_EQ(4u, heard().size());
}

TEST_F(InterpreterTest, SpeechPauseCountAndSayAll) {
  enter();
  EXPECT_TRUE(run("ktcom_ktcomnum"));
  EXPECT_EQ("データは、  0こです。", lastHeard());
  speech("", "");
  speech("あいさつ", "こんにちは");
  EXPECT_EQ(1u, heard().size());  // appending speech says nothing
  wait("さん");
  EXPECT_EQ("そこで、3.00びょう、動作を停止します。", lastHeard());
  wait("たくさん");
  EXPECT_EQ("そこで、0.00びょう、動作を停止します。", lastHeard());
  EXPECT_EQ((Words{"ktcom_ktspeak_1,speak,,", "ktcom_ktspeak_1,speak,あいさつ,こんにちは",
                   "ktcom_ktwait_1,wait,  3", "ktcom_ktwait_1,wait,  0"}),
            com->getAll());
  EXPECT_TRUE(run("ktcom_ktcomnum"));
  EXPECT_EQ("データは、  4こです。", lastHeard());
  EXPECT_TRUE(run("ktcom_ktsayall"));
  EXPECT_EQ(
      "  0番目は、、を話す、  1番目は、あいさつ、を話す、  2番目は、  3びょうかん動作を停止、"
      "  3番目は、  0びょうかん動作を停止、以上です。",
      lastHeard());
}

TEST_F(InterpreterTest, AwarenessLifeAndCollision) {
  enter();
  set("ktcom_ktsetaware_1", "おふ");
  EXPECT_TRUE(run("ktcom_ktsetaware"));
  EXPECT_FALSE(robot.basicAwareness().isAwarenessRunning());
  EXPECT_TRUE(run("ktcom_ktgetaware"));
  set("ktcom_ktsetaware_1", "おん");
  EXPECT_TRUE(run("ktcom_ktsetaware"));
  EXPECT_TRUE(run("ktcom_ktgetaware"));
  EXPECT_EQ((Words{"基礎検知機能を おふ にしました。", "基礎検知機能は おふ になっています。",
                   "基礎検知機能を おん にしました。", "基礎検知機能は おん になっています。"}),
            heard());

  listener->clear();
  const char* const words[] = {"たんどく", "そうご", "むこう", "ほご"};
  const char* const states[] = {"solitary", "interactive", "disabled", "safeguard"};
  const char* const named[] = {"単独", "相互", "無効", "保護"};
  for (int i = 0; i < 4; ++i) {
    set("ktcom_ktsetlife_1", words[i]);
    EXPECT_TRUE(run("ktcom_ktsetlife"));
    EXPECT_EQ(states[i], robot.autonomousLife().getState());
    EXPECT_EQ(std::string("自動生命機能を ") + words[i] + " にしました。", lastHeard());
    EXPECT_TRUE(run("ktcom_ktgetlife"));
    EXPECT_EQ(std::string("自動生命機能は ") + named[i] + " になっています。", lastHeard());
  }

  listener->clear();
  EXPECT_TRUE(run("ktcom_ktgetcolli"));
  set("ktcom_ktsetcolli_1", "おふ");
  EXPECT_TRUE(run("ktcom_ktsetcolli"));
  EXPECT_TRUE(run("ktcom_ktgetcolli"));
  set("ktcom_ktsetcolli_1", "おん");
  EXPECT_TRUE(run("ktcom_ktsetcolli"));
  set("ktcom_ktsetcolli_1", "");
  EXPECT_TRUE(run("ktcom_ktsetcolli"));
  EXPECT_FALSE(robot.motion().getExternalCollisionProtectionEnabled("Arms"));
  EXPECT_EQ((Words{"外部衝突防止機能はおんになっています。", "外部衝突防止機能をおふにしました。",
                   "外部衝突防止機能はおふになっています。", "外部衝突防止機能をおんにしました。",
                   "外部衝突防止機能をにしました。"}),
            heard());
  EXPECT_EQ((Words{"ALMotion.setExternalCollisionProtectionEnabled [\"Move\",false]",
                   "ALMotion.setExternalCollisionProtectionEnabled [\"Arms\",false]",
                   "ALMotion.setExternalCollisionProtectionEnabled [\"Move\",true]",
                   "ALMotion.setExternalCollisionProtectionEnabled [\"Arms\",true]",
                   "ALMotion.setExternalCollisionProtectionEnabled [\"Move\",false]",
                   "ALMotion.setExternalCollisionProtectionEnabled [\"Arms\",false]"}),
            calls("ALMotion.setExternalCollisionProtectionEnabled"));
}

TEST_F(InterpreterTest, UnrecognisedWordsAndStatesAreRefused) {
  enter();
  for (const char* word : {"", "オン", "つける"}) {
    set("ktcom_ktsetaware_1", word);
    EXPECT_FALSE(run("ktcom_ktsetaware"));
    EXPECT_EQ("設定すべき基礎探知の状態が不適切です", lastHeard());
    set("ktcom_ktsetlife_1", word);
    EXPECT_FALSE(run("ktcom_ktsetlife"));
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
  EXPECT_EQ(1, static_cast<int>(robot.memory().getData("SystemTopicOffEvent")));
  EXPECT_EQ(Words{"ALMemory.raiseEvent [\"SystemTopicOffEvent\",1]"},
            calls("ALMemory.raiseEvent"));
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
  walk("まえ", "いち", "");
  speech("あいさつ", "こんにちは");
  wait("さん");
  wait("ぜろ");
  const char* const navi[] = {"まえ", "に", "ひだり", "いち", ""};
  for (int i = 0; i < 5; ++i) set("ktcom_ktnavi_" + std::to_string(i + 1), navi[i]);
  ASSERT_TRUE(run("ktcom_ktnavi"));
  Words before = com->getAll();
  listener->clear();
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

TEST_F(InterpreterTest, MissingParameterChangesNothing) {
  enter();
  walk("まえ", "いち", "");
  robot.world().clearJournal();
  log.clear();
  // ktwalk_3 holds an int, not a text.
  robot.memory().insertData("ktcom_ktwalk_3", AL::ALValue(3));
  EXPECT_THROW(run("ktcom_ktwalk"), AL::ALError);
  EXPECT_THROW(run("ktcom_ktwait"), AL::ALError);
  EXPECT_THROW(run("ktcom_ktspeak"), AL::ALError);
  EXPECT_THROW(run("ktcom_ktsetcolli"), AL::ALError);
  EXPECT_THROW(run("ktcom_ktdel"), AL::ALError);
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
  speech("a", "まえ");
  walk("まえ", "いち", "");
  speech("b", "あと");
  Words before = com->getAll();
  listener->clear();
  robot.world().setFault("ALMotion.moveTo", kt::sim::FaultThrow);
  EXPECT_THROW(run("ktcom_ktexec"), AL::ALError);
  EXPECT_EQ(Words{"まえ"}, heard());
  EXPECT_TRUE(calls("ALRobotPosture.goToPosture").empty());
  EXPECT_TRUE(calls("ALMotion.waitUntilMoveIsFinished").empty());
  EXPECT_EQ(before, com->getAll());
}

}  // namespace
