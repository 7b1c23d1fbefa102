// libktruko loaded by ktrobot: the module as a client sees it registered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "robot_harness.h"

using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

class KTRukoRobotTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(robot.start({"--load", RobotHarness::library("ktruko")})) << robot.robotErr();
  }
  Result cli(const std::vector<std::string>& args) { return robot.cli(args); }

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

}  // namespace
