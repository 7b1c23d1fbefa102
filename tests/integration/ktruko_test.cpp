// libktruko loaded by ktrobot and driven with ktcli: the module as the robot
// registers it, then the road from the example topics to a walk.
// ctest-timeout: 90
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <ktplatform/robotroot.h>

#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::lines;
using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

void copyExample(const std::string& from, const std::string& to) {
  std::string text = kt::itest::readFile(std::string(KT_SOURCE_DIR) + "/examples/" + from);
  ASSERT_FALSE(text.empty()) << from;
  kt::makeFolders(to.substr(0, to.rfind('/')));
  std::ofstream out(to.c_str(), std::ios::binary);
  out << text;
}

class KTRukoRobotTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(robot.start({"--load", std::string(KT_LIB_DIR) + "/libktruko.so"}))
        << robot.robotErr();
  }
  Result cli(const std::vector<std::string>& args) { return robot.cli(args); }
  void installExamples() {
    copyExample("ruko.conf", robot.root + "/home/nao/ruko/conf/ruko.conf");
    for (const char* topic : {"ruko_motion.top", "ruko_face.top", "ruko_command.top"})
      copyExample(std::string("topics/") + topic,
                  robot.root + "/home/nao/ruko/dialog/topics/" + topic);
  }

  RobotHarness robot;
};

TEST_F(KTRukoRobotTest, InfoListsTheThirteenMethodsAsRegistered) {
  Result r = cli({"info", "--json", "KTRuko"});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string topicParam =
      "\"params\":[{\"name\":\"std::string\",\"description\":\"トピックカテゴリ\"}]";
  EXPECT_EQ(
      "{\"name\":\"KTRuko\","
      "\"description\":\"KTRukoは対話を中心としたロボットクラウドを作成するプロジェクトである。\","
      "\"methods\":["
      "{\"name\":\"startDialog\",\"description\":\"TOPICファイルにもとづく会話を開始する\"," +
          topicParam + "},"
      "{\"name\":\"stopDialog\",\"description\":\"会話を終了する\","
      "\"params\":[{\"name\":\"std:s:tring\",\"description\":\"トピックカテゴリ\"}]},"
      "{\"name\":\"forceInput\",\"description\":\"会話の入力を強制する\","
      "\"params\":[{\"name\":\"std::string\",\"description\":\"人の言葉を与える.\"}]},"
      "{\"name\":\"forceOutput\",\"description\":\"会話の出力を強制する\",\"params\":[]},"
      "{\"name\":\"onVariablesChange\",\"description\":\"動作指示に反応する\",\"params\":[]},"
      "{\"name\":\"onStoreVariables\",\"description\":\"顔の名前などを保存する\",\"params\":[]},"
      "{\"name\":\"onFaceDetected\",\"description\":\"顔を見つけ出しました\",\"params\":[]},"
      "{\"name\":\"setVariables\",\"description\":\"ruko.confから変数を組み込む\",\"params\":[]},"
      "{\"name\":\"onUserIDChanged\",\"description\":\"ユーザーの変化をキャッチする\",\"params\":[]},"
      "{\"name\":\"onMoveFailed\",\"description\":\"衝突防止機能により止まったとき\",\"params\":[]},"
      "{\"name\":\"getTopic\",\"description\":\"トピックファイルの中身\","
      "\"params\":[{\"name\":\"std:string\",\"description\":\"トピックテキスト\"}]},"
      "{\"name\":\"getTopicList\",\"description\":\"トピックファイルのリスト\",\"params\":[]},"
      "{\"name\":\"getConf\",\"description\":\"設定ファイルの中身\",\"params\":[]}]}\n",
      r.out);
}

TEST_F(KTRukoRobotTest, ExampleWalkVariableMovesTheRobotAndRaisesItsCompletion) {
  installExamples();
  Result started = cli({"call", "KTRuko.startDialog", "Dialog"});
  ASSERT_EQ(0, started.status) << started.err;
  EXPECT_EQ("\n", started.out);
  Result list = cli({"call", "KTRuko.getTopicList"});
  for (const char* topic : {"ruko_motion.top,", "ruko_face.top,", "ruko_command.top,"})
    EXPECT_TRUE(contains(list.out, topic)) << list.out;
  EXPECT_TRUE(contains(cli({"journal"}).out, "ALDialog.setLanguage [\"Japanese\"]\n"));

  std::unique_ptr<kt::itest::Process> watch =
      robot.cliAsync({"watch", "did_ruko_walkforward", "--count", "1", "--timeout", "30"});
  ASSERT_TRUE(watch->waitFor([&] { return contains(watch->err(), "watching"); }, 20))
      << watch->err();
  ASSERT_EQ(0, cli({"journal", "--clear"}).status);

  // What the rule "まえにあるいて" does: it sets its walk variable.
  ASSERT_EQ(0, cli({"insert", "ruko_walkforward", "1"}).status);
  ASSERT_EQ(0, cli({"raise", "ruko_walkforward", "1"}).status);
  EXPECT_EQ(0, watch->wait(30)) << watch->err();
  EXPECT_EQ("did_ruko_walkforward\t1\n", watch->out());

  std::vector<std::string> journal = lines(cli({"journal"}).out);
  std::vector<std::string> moves;
  for (const std::string& line : journal)
    if (line.compare(0, 16, "ALMotion.moveTo ") == 0) moves.push_back(line);
  EXPECT_EQ(std::vector<std::string>{"ALMotion.moveTo [0.5,0,0]"}, moves);
  EXPECT_EQ("[0.5,0,0]\n", cli({"call", "ALMotion.getRobotPosition", "false"}).out);

  // Stopping unloads the topics and the dialog subscription.
  ASSERT_EQ(0, cli({"call", "KTRuko.stopDialog", "Dialog"}).status);
  EXPECT_EQ("[]\n", cli({"call", "ALDialog.getLoadedTopics"}).out);
}

}  // namespace
