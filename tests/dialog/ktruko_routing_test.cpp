// Configured variables: what startDialog subscribes, and where a change of a
// variable goes (face recognition, command mode or a motion).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;
using kt::test::Words;
using kt::test::faceVar;
using kt::test::plainVar;
using kt::test::walkVar;

class KTRukoRoutingTest : public KTRukoTest {};

TEST_F(KTRukoRoutingTest, StartSubscribesEveryVariableButNameLines) {
  emptyTopicFolder();
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2") + plainVar("ruko_name", "name") +
            faceVar("ruko_learn", "facelearn", "ruko_person") +
            faceVar("ruko_facerecog", "facerecog", "ruko_who") + plainVar("ktcom_ktinit", "command"));
  create();
  start();
  for (const char* key : {"ruko_walk", "ruko_learn", "ruko_facerecog", "ktcom_ktinit"})
    EXPECT_EQ(Words{"onVariablesChange"}, callbacksOf(key)) << key;
  EXPECT_EQ(Words{"onStoreVariables"}, callbacksOf("ruko_person"));
  EXPECT_TRUE(callbacksOf("ruko_name").empty());
  // The recognition's result key is written, not watched.
  EXPECT_TRUE(callbacksOf("ruko_who").empty());
  // Once per subscribed line, under a callback that nothing binds.
  EXPECT_EQ(Words(4, "ALMemory.subscribeToEvent [\"SystemTopicOffEvent\",\"KTRuko\",\"onSystemTopicOff\"]"),
            journalOf("ALMemory.subscribeToEvent [\"SystemTopicOffEvent\""));
  EXPECT_EQ(Words{"onSystemTopicOff"}, callbacksOf("SystemTopicOffEvent"));
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

TEST_F(KTRukoRoutingTest, WalkVariableMovesTheRobotAndReportsCompletion) {
  startWith(plainVar("ruko_sit", "sitdown") + walkVar("ruko_walk", "0.5", "0", "0.2"));
  raise("ruko_walk", AL::ALValue(1));
  EXPECT_EQ(Words{"ALMotion.moveTo [0.5,0,0.2]"}, calls("ALMotion.moveTo"));
  ASSERT_TRUE(hasData("did_ruko_walk"));
  EXPECT_EQ(AL::ALValue(1), robot.memory().getData("did_ruko_walk"));
  Words m = messages();
  ASSERT_GE(m.size(), 6u);
  EXPECT_EQ((Words{"*******　操作に関わる変数の変化をキャッチしました ******", "変数名 = ruko_walk 値 = 1",
                   "****** 変数リストに一致するものがありました ******",
                   "****** variables[i] = ruko_walk,walk,0.5,0,0.2", "変数 vname[0] = ruko vname[1] = walk",
                   "******setMotionの起動 ******"}),
            Words(m.begin(), m.begin() + 6));

  // Any value routes, a text too; the table's first line moves like any other.
  raise("ruko_sit", AL::ALValue("はい"));
  EXPECT_TRUE(informed("変数名 = ruko_sit 値 = \"はい\""));
  EXPECT_EQ(Words{"ALRobotPosture.goToPosture [\"Sit\",0.8]"}, calls("ALRobotPosture.goToPosture"));
  EXPECT_TRUE(hasData("did_ruko_sit"));
}

TEST_F(KTRukoRoutingTest, FirstMatchingLineWinsEvenANameLine) {
  startWith(plainVar("ruko_walk", "name") + walkVar("ruko_walk", "0.5", "0", "0.2"));
  // A key without a line is logged and moves nothing.
  change("ruko_run");
  EXPECT_TRUE(informed("****** 変数リストに一致するものがありません ******"));
  EXPECT_TRUE(informed("******setMotionの起動 ******"));
  EXPECT_TRUE(journal().empty());
  // The walk line subscribed the key; the name line is found first.
  EXPECT_EQ(Words{"onVariablesChange"}, callbacksOf("ruko_walk"));
  raise("ruko_walk", AL::ALValue(1));
  EXPECT_TRUE(informed("****** variables[i] = ruko_walk,name"));
  EXPECT_TRUE(calls("ALMotion.moveTo").empty());
  EXPECT_TRUE(informed("対応する動作タイプがありませんでした。"));
  EXPECT_FALSE(hasData("did_ruko_walk"));
}

TEST_F(KTRukoRoutingTest, FaceRouteNeedsTheKeyPartAndThreeFields) {
  startWith(faceVar("ruko_facerecog", "facerecog", "ruko_who") + plainVar("look_facerecog", "standup") +
            faceVar("look_at", "facerecog", "ruko_who") + faceVar("ktcom_facerecog", "facerecog", "who"));
  const char* const recognition = "***** facerecgのイベント処理をします ******";
  raise("ruko_facerecog", AL::ALValue(1));
  EXPECT_TRUE(informed(recognition));
  EXPECT_EQ(Words{"onFaceDetected"}, callbacksOf("FaceDetected"));
  EXPECT_EQ(Words{"onUserIDChanged"}, callbacksOf("UserSession/FocusedUser"));
  EXPECT_TRUE(calls("ALAutonomousMoves.setExpressiveListeningEnabled").empty());

  // Two fields: the motion of the line, not a recognition.
  log.clear();
  raise("look_facerecog", AL::ALValue(1));
  EXPECT_FALSE(informed(recognition));
  EXPECT_EQ(Words{"ALRobotPosture.goToPosture [\"Stand\",0.8]"}, calls("ALRobotPosture.goToPosture"));

  // Only the key is compared: a facerecog line under another key is a motion,
  // which the executor refuses.
  log.clear();
  raise("look_at", AL::ALValue(1));
  EXPECT_FALSE(informed(recognition));
  EXPECT_TRUE(warned("動作に失敗しました "));
  EXPECT_FALSE(hasData("did_look_at"));

  // The face route comes before command mode.
  log.clear();
  raise("ktcom_facerecog", AL::ALValue(1));
  EXPECT_TRUE(informed(recognition));
  EXPECT_FALSE(informed("****** コマンドモードにはいる ******"));
  EXPECT_EQ(Words{"onFaceDetected"}, callbacksOf("FaceDetected"));
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
  change("ktcom_ktend");
  EXPECT_EQ("コマンドモードをおわります。", spoken());
}

TEST_F(KTRukoRoutingTest, KeyWithoutUnderscoreTakesTheMotionRoute) {
  startWith(plainVar("ktcom", "standup") + plainVar("facerecog", "crouch"));
  raise("ktcom", AL::ALValue(1));
  EXPECT_TRUE(informed("変数 vname[0] = ktcom vname[1] = "));
  EXPECT_FALSE(informed("****** コマンドモードにはいる ******"));
  EXPECT_FALSE(hasData("ktorrin_speak_words"));
  raise("facerecog", AL::ALValue(1));
  EXPECT_EQ((Words{"ALRobotPosture.goToPosture [\"Stand\",0.8]", "ALRobotPosture.goToPosture [\"Crouch\",0.8]"}),
            calls("ALRobotPosture.goToPosture"));
  EXPECT_TRUE(callbacksOf("FaceDetected").empty());
  // Nor does an empty key crash the routing.
  EXPECT_NO_THROW(change(""));
}

TEST_F(KTRukoRoutingTest, StoredNamesFeedFaceLearningAndAreResetByANewStart) {
  startWith(faceVar("ruko_learn", "facelearn", "ruko_person") +
            faceVar("ruko_forget", "faceforget", "ruko_gone"));
  raise("ruko_person", AL::ALValue("たろう"));
  EXPECT_TRUE(informed("名前 [たろう] を保存しました。"));
  // A name that is not text is refused (the platform reports the failed
  // callback); the stored name stays.
  EXPECT_NO_THROW(raise("ruko_person", AL::ALValue(5)));
  raise("ruko_learn", AL::ALValue(1));
  EXPECT_EQ(Words{"ALFaceDetection.learnFace [\"たろう\"]"}, calls("ALFaceDetection.learnFace"));
  EXPECT_TRUE(hasData("did_ruko_learn"));

  raise("ruko_gone", AL::ALValue("じろう"));
  raise("ruko_gone", AL::ALValue("はなこ"));
  raise("ruko_forget", AL::ALValue(1));
  EXPECT_EQ(Words{"ALFaceDetection.forgetPerson [\"はなこ\"]"}, calls("ALFaceDetection.forgetPerson"));

  // A new start forgets the stored name.
  start();
  robot.world().clearJournal();
  raise("ruko_learn", AL::ALValue(1));
  EXPECT_EQ(Words{"ALFaceDetection.learnFace [\"\"]"}, calls("ALFaceDetection.learnFace"));
}

}  // namespace
