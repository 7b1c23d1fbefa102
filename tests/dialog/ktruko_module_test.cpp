// KTRuko as the platform sees it: registration, construction, and the bound
// methods that a client may call before any dialog was started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;

struct Expected {
  const char* name;
  const char* description;
  const char* paramName;  // 0 when the method declares no parameter
  const char* paramDescription;
  int arity;
};

const Expected kMethods[] = {
    {"startDialog", "TOPICファイルにもとづく会話を開始する", "std::string", "トピックカテゴリ", 1},
    {"stopDialog", "会話を終了する", "std:s:tring", "トピックカテゴリ", 1},
    {"forceInput", "会話の入力を強制する", "std::string", "人の言葉を与える.", 1},
    {"forceOutput", "会話の出力を強制する", 0, 0, 0},
    {"onVariablesChange", "動作指示に反応する", 0, 0, 3},
    {"onStoreVariables", "顔の名前などを保存する", 0, 0, 3},
    {"onFaceDetected", "顔を見つけ出しました", 0, 0, 3},
    {"setVariables", "ruko.confから変数を組み込む", 0, 0, 2},
    {"onUserIDChanged", "ユーザーの変化をキャッチする", 0, 0, 3},
    {"onMoveFailed", "衝突防止機能により止まったとき", 0, 0, 3},
    {"getTopic", "トピックファイルの中身", "std:string", "トピックテキスト", 1},
    {"getTopicList", "トピックファイルのリスト", 0, 0, 0},
    {"getConf", "設定ファイルの中身", 0, 0, 0},
};

TEST_F(KTRukoTest, RegistersDescriptionAndThirteenMethodsInOrder) {
  create();
  EXPECT_EQ("KTRukoは対話を中心としたロボットクラウドを作成するプロジェクトである。",
            ruko->getModuleDescription());
  const std::vector<AL::ALMethodInfo>& methods = ruko->getMethods();
  const size_t expected = sizeof kMethods / sizeof kMethods[0];
  ASSERT_EQ(expected, methods.size());
  for (size_t i = 0; i < expected; ++i) {
    SCOPED_TRACE(kMethods[i].name);
    EXPECT_EQ(kMethods[i].name, methods[i].name);
    EXPECT_EQ("KTRuko", methods[i].moduleName);
    EXPECT_EQ(kMethods[i].description, methods[i].description);
    EXPECT_EQ(kMethods[i].arity, methods[i].arity);
    if (kMethods[i].paramName) {
      ASSERT_EQ(1u, methods[i].params.size());
      EXPECT_EQ(kMethods[i].paramName, methods[i].params[0].name);
      EXPECT_EQ(kMethods[i].paramDescription, methods[i].params[0].description);
    } else {
      EXPECT_TRUE(methods[i].params.empty());
    }
  }
}

TEST_F(KTRukoTest, ConstructionTouchesNoDialogAndNeedsItsServices) {
  robot.world().clearJournal();
  create();
  EXPECT_TRUE(journalOf("ALDialog.").empty());
  EXPECT_TRUE(journalOf("ALMemory.subscribeToEvent").empty());
  // The motion executor asked where the robot stands.
  EXPECT_FALSE(calls("ALMotion.getRobotPosition").empty());
  EXPECT_TRUE(robot.dialog().subscribers().empty());

  kt::sim::Robot other;
  boost::shared_ptr<AL::ALBroker> b = other.broker();
  b->unregisterModule("ALBasicAwareness");
  EXPECT_THROW(AL::ALModule::createModule<KTRuko>(b, "KTRuko"), AL::ALError);
  EXPECT_FALSE(b->isModulePresent("KTRuko"));
}

// Before the first startDialog the module has no dialog and no memory proxy.
TEST_F(KTRukoTest, CallsBeforeStartNeitherCrashNorTouchTheRobot) {
  writeConf(kt::test::faceVar("look_facerecog", "facerecog", "who"));
  create();
  robot.world().clearJournal();
  EXPECT_NO_THROW(stop());
  EXPECT_TRUE(warned("会話が開始されていないため、終了する会話はありません。"));
  std::string text = "こんにちは";
  try {
    proxy->callVoid("forceInput", text);
    ADD_FAILURE() << "forceInput did not raise";
  } catch (const AL::ALError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("会話が開始されていません。"));
  }
  EXPECT_THROW(proxy->callVoid("forceOutput"), AL::ALError);
  EXPECT_TRUE(robot.dialog().inputs().empty());
  EXPECT_THROW(ruko->logSpeaking("まだです"), AL::ALError);
  AL::ALValue face = AL::ALValue("[[[0], [1, 0.9, \"taro\", []]]]");
  EXPECT_THROW(proxy->callVoid("onFaceDetected", std::string("FaceDetected"), face,
                               std::string("KTRuko")),
               AL::ALError);
  // With no best label there is nothing to end.
  EXPECT_NO_THROW(proxy->callVoid("onUserIDChanged", std::string("UserSession/FocusedUser"), 1,
                                  std::string("KTRuko")));
  // No line yet: the motion route, which finds nothing to do.
  EXPECT_NO_THROW(change("look_facerecog"));
  EXPECT_TRUE(informed("****** 変数リストに一致するものがありません ******"));
  EXPECT_TRUE(journalOf("ALDialog.").empty());
  EXPECT_TRUE(journalOf("ALMemory.").empty());
  EXPECT_TRUE(calls("ALMotion.moveTo").empty());

  // setVariables is bound: a client may fill the table before any start; the
  // face route then has no memory proxy of the module's own.
  AL::ALMemoryProxy memory(broker);
  proxy->callVoid("setVariables", memory.getModuleName(), std::string("Dialog"));
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("look_facerecog"));
  EXPECT_THROW(change("look_facerecog"), AL::ALError);
  EXPECT_TRUE(callbacksOf("FaceDetected").empty());
}

TEST_F(KTRukoTest, SpeechOutputStoresThenAnnounces) {
  startWith("");
  std::vector<std::string> seen;
  int id = robot.memory().addObserver([&](const std::string& key, const AL::ALValue& value) {
    if (key == "ktorrin_speak") {
      EXPECT_EQ(AL::ALValue(1), value);
      seen.push_back(spoken());
    }
  });
  ruko->logSpeaking("こんにちは");
  ruko->logSpeaking("");
  robot.memory().removeObserver(id);
  EXPECT_EQ((std::vector<std::string>{"こんにちは", ""}), seen);
}

TEST_F(KTRukoTest, MoveFailedLogsWhatTheValueHolds) {
  create();
  const std::pair<AL::ALValue, const char*> cases[] = {
      {AL::ALValue::array(AL::ALValue("Obstacle"), AL::ALValue(1),
                          AL::ALValue::array(AL::ALValue(0.5f), AL::ALValue(0))),
       "障害物によりロボットを停止。 理由 = \"Obstacle\" 状態 = 1 障害物位置 = [0.5, 0]"},
      {AL::ALValue::array(AL::ALValue("Obstacle"), AL::ALValue(2)),
       "障害物によりロボットを停止。 理由 = \"Obstacle\" 状態 = 2 障害物位置 = "},
      {AL::ALValue("blocked"), "障害物によりロボットを停止。 理由 = \"blocked\" 状態 =  障害物位置 = "},
  };
  for (const auto& c : cases) {
    EXPECT_NO_THROW(proxy->callVoid("onMoveFailed", std::string("ALMotion/MoveFailed"), c.first,
                                    std::string("x")));
    EXPECT_TRUE(informed(c.second)) << c.second;
  }
}

}  // namespace
