// The example configuration and topics, played as their dialog rules would:
// what the demo and the content server hand to a robot.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;

std::string sourceFile(const std::string& relative) {
  std::ifstream in((std::string(KT_SOURCE_DIR) + "/examples/" + relative).c_str(),
                   std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class KTRukoExamplesTest : public KTRukoTest {
protected:
  void SetUp() override {
    root.write(kt::test::kConf, sourceFile("ruko.conf"));
    for (const char* topic : {"ruko_motion.top", "ruko_face.top", "ruko_command.top"})
      root.write(std::string(kt::test::kTopics) + topic, sourceFile(std::string("topics/") + topic));
    create();
  }
  // A rule sets its variable (after its parameters) as ALDialog would.
  void set(const std::string& key, const AL::ALValue& value) {
    robot.memory().insertData(key, value);
    robot.memory().raiseEvent(key, value);
  }
  std::string spoken() { return robot.memory().getData("ktorrin_speak_words"); }
};

TEST_F(KTRukoExamplesTest, StartLoadsEveryTopicAndSubscribesTheConfiguredVariables) {
  ASSERT_FALSE(root.read(kt::test::kConf).empty());
  EXPECT_EQ("", start());
  std::vector<std::string> active = robot.dialog().getActivatedTopics();
  std::sort(active.begin(), active.end());
  EXPECT_EQ((std::vector<std::string>{"ruko_command", "ruko_face", "ruko_motion"}), active);
  EXPECT_TRUE(informed("設定ファイル中の変数の数 = 16"));
  for (const char* key : {"ruko_walkforward", "ruko_turnleft", "ruko_sitdown", "ruko_standup",
                          "ruko_facelearn", "ruko_faceforget", "ruko_facerecog", "ktcom_ktinit",
                          "ktcom_ktwalk", "ktcom_ktturn", "ktcom_ktsayall", "ktcom_ktcomnum",
                          "ktcom_ktexec", "ktcom_ktend"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf(key));
  }
  EXPECT_EQ(std::vector<std::string>{"onStoreVariables"}, callbacksOf("ruko_personname"));
  EXPECT_EQ(std::vector<std::string>{"onStoreVariables"}, callbacksOf("ruko_forgetname"));
  std::string list = proxy->call<std::string>("getTopicList");
  EXPECT_EQ(3, std::count(list.begin(), list.end(), ','));
}

TEST_F(KTRukoExamplesTest, WalkFaceAndCommandRulesReachTheRobot) {
  start();
  robot.world().clearJournal();
  set("ruko_walkforward", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALMotion.moveTo [0.5,0,0]"}, calls("ALMotion.moveTo"));
  EXPECT_TRUE(robot.memory().hasData("did_ruko_walkforward"));

  set("ruko_personname", AL::ALValue("たろう"));
  set("ruko_facelearn", AL::ALValue(1));
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.learnFace [\"たろう\"]"},
            calls("ALFaceDetection.learnFace"));
  EXPECT_TRUE(robot.memory().hasData("did_ruko_facelearn"));

  // A spoken command mode session: a walk and a turn, read back, executed.
  set("ktcom_ktinit", AL::ALValue(1));
  EXPECT_EQ("コマンドモードに入りました。", spoken());
  robot.memory().insertData("ktcom_ktwalk_1", AL::ALValue("まえ"));
  robot.memory().insertData("ktcom_ktwalk_2", AL::ALValue("いち"));
  robot.memory().insertData("ktcom_ktwalk_3", AL::ALValue("メートル"));
  set("ktcom_ktwalk", AL::ALValue(1));
  robot.memory().insertData("ktcom_ktturn_1", AL::ALValue("ひだり"));
  robot.memory().insertData("ktcom_ktturn_2", AL::ALValue("きゅうじゅうど"));
  robot.memory().insertData("ktcom_ktturn_3", AL::ALValue("ど"));
  set("ktcom_ktturn", AL::ALValue(1));
  set("ktcom_ktcomnum", AL::ALValue(1));
  EXPECT_EQ("データは、  2こです。", spoken());
  robot.world().clearJournal();
  set("ktcom_ktexec", AL::ALValue(1));
  EXPECT_EQ((std::vector<std::string>{"ALMotion.moveTo [1,0,0]", "ALMotion.moveTo [0,0,1.5708]"}),
            calls("ALMotion.moveTo"));
  EXPECT_TRUE(robot.memory().hasData("did_ktcom_ktwalk"));
  EXPECT_TRUE(robot.memory().hasData("did_ktcom_ktturn"));
  set("ktcom_ktend", AL::ALValue(1));
  EXPECT_EQ("コマンドモードをおわります。", spoken());
}

}  // namespace
