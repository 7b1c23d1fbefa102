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
using kt::test::Words;

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
};

TEST_F(KTRukoExamplesTest, StartLoadsEveryTopicAndTheConfiguredVariablesMoveTheRobot) {
  EXPECT_EQ("", start());
  Words active = robot.dialog().getActivatedTopics();
  std::sort(active.begin(), active.end());
  EXPECT_EQ((Words{"ruko_command", "ruko_face", "ruko_motion"}), active);
  EXPECT_TRUE(informed("設定ファイル中の変数の数 = 16"));
  for (const char* key : {"ruko_walkforward", "ruko_turnleft", "ruko_sitdown", "ruko_standup",
                          "ruko_facelearn", "ruko_faceforget", "ruko_facerecog", "ktcom_ktinit",
                          "ktcom_ktwalk", "ktcom_ktturn", "ktcom_ktsayall", "ktcom_ktcomnum",
                          "ktcom_ktexec", "ktcom_ktend"})
    EXPECT_EQ(Words{"onVariablesChange"}, callbacksOf(key)) << key;
  EXPECT_EQ(Words{"onStoreVariables"}, callbacksOf("ruko_personname"));
  EXPECT_EQ(Words{"onStoreVariables"}, callbacksOf("ruko_forgetname"));
  std::string list = proxy->call<std::string>("getTopicList");
  EXPECT_EQ(3, std::count(list.begin(), list.end(), ','));

  // Rules of the walk and the face topic reach the robot.
  robot.world().clearJournal();
  set("ruko_walkforward", AL::ALValue(1));
  EXPECT_EQ(Words{"ALMotion.moveTo [0.5,0,0]"}, calls("ALMotion.moveTo"));
  EXPECT_TRUE(hasData("did_ruko_walkforward"));
  set("ruko_personname", AL::ALValue("たろう"));
  set("ruko_facelearn", AL::ALValue(1));
  EXPECT_EQ(Words{"ALFaceDetection.learnFace [\"たろう\"]"}, calls("ALFaceDetection.learnFace"));
  EXPECT_TRUE(hasData("did_ruko_facelearn"));
}

}  // namespace
