// Configured variables: what startDialog subscribes, and where a change of a
// variable goes (face recognition, command mode or a motion).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;
using kt::test::faceVar;
using kt::test::plainVar;
using kt::test::walkVar;

class KTRukoRoutingTest : public KTRukoTest {
protected:
  void startWith(const std::string& variables) {
    emptyTopicFolder();
    writeConf(variables);
    create();
    start();
    log.clear();
    robot.world().clearJournal();
  }
  bool hasData(const std::string& key) { return robot.memory().hasData(key); }
  std::string spoken() { return robot.memory().getData("ktorrin_speak_words"); }
  int systemTopicSubscriptions() {
    int n = 0;
    for (const std::string& l : calls("ALMemory.subscribeToEvent"))
      if (l == "ALMemory.subscribeToEvent [\"SystemTopicOffEvent\",\"KTRuko\",\"onSystemTopicOff\"]")
        ++n;
    return n;
  }
};

TEST_F(KTRukoRoutingTest, StartSubscribesEveryVariableButNameLines) {
  emptyTopicFolder();
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2") + plainVar("ruko_name", "name") +
            faceVar("ruko_learn", "facelearn", "ruko_person") +
            faceVar("ruko_facerecog", "facerecog", "ruko_who") + plainVar("ktcom_ktinit", "command"));
  create();
  start();
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ruko_walk"));
  EXPECT_TRUE(callbacksOf("ruko_name").empty());
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ruko_learn"));
  EXPECT_EQ(std::vector<std::string>{"onStoreVariables"}, callbacksOf("ruko_person"));
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ruko_facerecog"));
  // The recognition's result key is written, not watched.
  EXPECT_TRUE(callbacksOf("ruko_who").empty());
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ktcom_ktinit"));
  // Once per subscribed line, under a callback that nothing binds.
  EXPECT_EQ(4, systemTopicSubscriptions());
  EXPECT_EQ(std::vector<std::string>{"onSystemTopicOff"}, callbacksOf("SystemTopicOffEvent"));
  EXPECT_FALSE(ruko->isMethodBound("onSystemTopicOff"));

  EXPECT_TRUE(informed("変数設定の開始"));
  EXPECT_TRUE(informed("xml2をインスタンス作成した"));
  EXPECT_TRUE(informed("設定ファイル中の変数の数 = 5"));
  EXPECT_TRUE(informed("変数[0] = ruko_walk,walk,0.5,0,0.2"));
  EXPECT_TRUE(informed("変数[2] = ruko_learn,facelearn,ruko_person"));
  EXPECT_TRUE(informed("顔学習・忘却の名前[ruko_person] に保存イベントをセットしました。"));

  // The unbound callback is skipped by the platform, not fatal.
  EXPECT_NO_THROW(raise("SystemTopicOffEvent", AL::ALValue(1)));
}

TEST_F(KTRukoRoutingTest, NameLinesOnlySubscribeNothing) {
  emptyTopicFolder();
  writeConf(plainVar("ruko_name", "name"));
  create();
  robot.world().clearJournal();
  start();
  EXPECT_TRUE(calls("ALMemory.subscribeToEvent").empty());
}

TEST_F(KTRukoRoutingTest, MissingConfigurationGivesAnEmptyTable) {
  emptyTopicFolder();
  create();
  robot.world().clearJournal();
  start();
  EXPECT_TRUE(informed("設定ファイル中の変数の数 = 0"));
  EXPECT_TRUE(calls("ALMemory.subscribeToEvent").empty());
}

TEST_F(KTRukoRoutingTest, WalkVariableMovesTheRobotAndReportsCompletion) {
  startWith(plainVar("ruko_sit", "sitdown") + walkVar("ruko_walk", "0.5", "0", "0.2"));
  raise("ruko_walk", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALMotion.moveTo [0.5,0,0.2]"}, calls("ALMotion.moveTo"));
  ASSERT_TRUE(hasData("did_ruko_walk"));
  EXPECT_EQ(AL::ALValue(1), robot.memory().getData("did_ruko_walk"));

  std::vector<std::string> m = messages();
  ASSERT_GE(m.size(), 5u);
  EXPECT_EQ("*******　操作に関わる変数の変化をキャッチしました ******", m[0]);
  EXPECT_EQ("変数名 = ruko_walk 値 = 1", m[1]);
  EXPECT_EQ("****** 変数リストに一致するものがありました ******", m[2]);
  EXPECT_EQ("****** variables[i] = ruko_walk,walk,0.5,0,0.2", m[3]);
  EXPECT_EQ("変数 vname[0] = ruko vname[1] = walk", m[4]);
  EXPECT_TRUE(informed("******setMotionの起動 ******"));

  // Any value routes, a text too; the table's first line moves like any other.
  raise("ruko_sit", AL::ALValue("はい"));
  EXPECT_TRUE(informed("変数名 = ruko_sit 値 = \"はい\""));
  EXPECT_EQ(std::vector<std::string>{"ALRobotPosture.goToPosture [\"Sit\",0.8]"},
            calls("ALRobotPosture.goToPosture"));
  EXPECT_TRUE(hasData("did_ruko_sit"));
}

TEST_F(KTRukoRoutingTest, KeyWithoutLineIsLoggedAndMovesNothing) {
  startWith(walkVar("ruko_walk", "0.5", "0", "0.2"));
  proxy->callVoid("onVariablesChange", std::string("ruko_run"), AL::ALValue(1),
                  std::string("KTRuko"));
  EXPECT_TRUE(informed("****** 変数リストに一致するものがありません ******"));
  EXPECT_TRUE(informed("******setMotionの起動 ******"));
  EXPECT_TRUE(journal().empty());
}

TEST_F(KTRukoRoutingTest, FirstMatchingLineWinsEvenANameLine) {
  startWith(plainVar("ruko_walk", "name") + walkVar("ruko_walk", "0.5", "0", "0.2"));
  // The walk line subscribed the key; the name line is found first.
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ruko_walk"));
  raise("ruko_walk", AL::ALValue(1));
  EXPECT_TRUE(informed("****** variables[i] = ruko_walk,name"));
  EXPECT_TRUE(calls("ALMotion.moveTo").empty());
  EXPECT_TRUE(informed("対応する動作タイプがありませんでした。"));
  EXPECT_FALSE(hasData("did_ruko_walk"));
}

TEST_F(KTRukoRoutingTest, FaceRouteNeedsTheKeyPartAndThreeFields) {
  startWith(faceVar("ruko_facerecog", "facerecog", "ruko_who") +
            plainVar("look_facerecog", "standup") + faceVar("look_at", "facerecog", "ruko_who"));

  raise("ruko_facerecog", AL::ALValue(1));
  EXPECT_TRUE(informed("***** facerecgのイベント処理をします ******"));
  EXPECT_EQ(std::vector<std::string>{"onFaceDetected"}, callbacksOf("FaceDetected"));
  EXPECT_EQ(std::vector<std::string>{"onUserIDChanged"}, callbacksOf("UserSession/FocusedUser"));
  EXPECT_TRUE(calls("ALAutonomousMoves.setExpressiveListeningEnabled").empty());

  // Two fields: the motion of the line, not a recognition.
  log.clear();
  robot.world().clearJournal();
  raise("look_facerecog", AL::ALValue(1));
  EXPECT_FALSE(informed("***** facerecgのイベント処理をします ******"));
  EXPECT_EQ(std::vector<std::string>{"ALRobotPosture.goToPosture [\"Stand\",0.8]"},
            calls("ALRobotPosture.goToPosture"));

  // Only the key is compared: a facerecog line under another key is a motion,
  // which the executor refuses.
  log.clear();
  raise("look_at", AL::ALValue(1));
  EXPECT_FALSE(informed("***** facerecgのイベント処理をします ******"));
  EXPECT_TRUE(warned("動作に失敗しました "));
  EXPECT_FALSE(hasData("did_look_at"));
}

TEST_F(KTRukoRoutingTest, CommandKeysGoToCommandModeWhateverTheirLine) {
  startWith(plainVar("ktcom_ktinit", "sitdown") + plainVar("ktcom_ktcomnum", "command"));
  raise("ktcom_ktinit", AL::ALValue(1));
  EXPECT_TRUE(informed("****** コマンドモードにはいる ******"));
  EXPECT_EQ("コマンドモードに入りました。", spoken());
  EXPECT_TRUE(calls("ALMotion.moveTo").empty());

  raise("ktcom_ktcomnum", AL::ALValue(1));
  EXPECT_EQ("データは、  0こです。", spoken());

  // A command key without a line of its own still reaches command mode.
  proxy->callVoid("onVariablesChange", std::string("ktcom_ktend"), AL::ALValue(1),
                  std::string("KTRuko"));
  EXPECT_EQ("コマンドモードをおわります。", spoken());
}

TEST_F(KTRukoRoutingTest, CommandFacerecogKeyWithThreeFieldsStartsARecognition) {
  startWith(faceVar("ktcom_facerecog", "facerecog", "ruko_who"));
  raise("ktcom_facerecog", AL::ALValue(1));
  EXPECT_TRUE(informed("***** facerecgのイベント処理をします ******"));
  EXPECT_FALSE(informed("****** コマンドモードにはいる ******"));
  EXPECT_EQ(std::vector<std::string>{"onFaceDetected"}, callbacksOf("FaceDetected"));
}

TEST_F(KTRukoRoutingTest, KeyWithoutUnderscoreTakesTheMotionRoute) {
  startWith(plainVar("ktcom", "standup") + plainVar("facerecog", "crouch"));
  raise("ktcom", AL::ALValue(1));
  EXPECT_TRUE(informed("変数 vname[0] = ktcom vname[1] = "));
  EXPECT_FALSE(informed("****** コマンドモードにはいる ******"));
  EXPECT_FALSE(hasData("ktorrin_speak_words"));
  raise("facerecog", AL::ALValue(1));
  EXPECT_EQ((std::vector<std::string>{"ALRobotPosture.goToPosture [\"Stand\",0.8]",
                                      "ALRobotPosture.goToPosture [\"Crouch\",0.8]"}),
            calls("ALRobotPosture.goToPosture"));
  EXPECT_TRUE(callbacksOf("FaceDetected").empty());

  // Nor does an empty key crash the routing.
  EXPECT_NO_THROW(proxy->callVoid("onVariablesChange", std::string(""), AL::ALValue(1),
                                  std::string("KTRuko")));
}

TEST_F(KTRukoRoutingTest, StoredNamesFeedFaceLearningAndAreResetByANewStart) {
  startWith(faceVar("ruko_learn", "facelearn", "ruko_person") +
            faceVar("ruko_forget", "faceforget", "ruko_gone"));
  raise("ruko_person", AL::ALValue("たろう"));
  EXPECT_TRUE(informed("名前 [たろう] を保存しました。"));
  raise("ruko_learn", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.learnFace [\"たろう\"]"},
            calls("ALFaceDetection.learnFace"));
  EXPECT_TRUE(hasData("did_ruko_learn"));

  raise("ruko_gone", AL::ALValue("じろう"));
  raise("ruko_gone", AL::ALValue("はなこ"));
  raise("ruko_forget", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.forgetPerson [\"はなこ\"]"},
            calls("ALFaceDetection.forgetPerson"));

  // A new start forgets the stored name.
  start();
  robot.world().clearJournal();
  raise("ruko_learn", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.learnFace [\"\"]"},
            calls("ALFaceDetection.learnFace"));
}

TEST_F(KTRukoRoutingTest, NameThatIsNotTextIsRefused) {
  startWith(faceVar("ruko_learn", "facelearn", "ruko_person"));
  raise("ruko_person", AL::ALValue("たろう"));
  // The platform reports the failed callback; the stored name stays.
  EXPECT_NO_THROW(raise("ruko_person", AL::ALValue(5)));
  raise("ruko_learn", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.learnFace [\"たろう\"]"},
            calls("ALFaceDetection.learnFace"));
}

}  // namespace
