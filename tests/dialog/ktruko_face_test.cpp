// Face recognition: detections scored from the FaceDetected value, the end
// signal, and the label handed back to the waiting dialog rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;
using kt::test::faceVar;

// A FaceDetected value as the platform raises it: time stamp, then the face
// infos (shape info, extra info: ID, score, label, eye points...).
AL::ALValue detection(const AL::ALValue& id, const AL::ALValue& score, const AL::ALValue& label) {
  AL::ALValue shape = AL::ALValue::array(AL::ALValue(0), AL::ALValue(0.1f), AL::ALValue(-0.05f),
                                         AL::ALValue(0.2f));
  shape.arrayPush(AL::ALValue(0.2f));
  AL::ALValue eyes = AL::ALValue::array(AL::ALValue(0.01f), AL::ALValue(0.02f));
  AL::ALValue extra = AL::ALValue::array(id, score, label, eyes);
  AL::ALValue face = AL::ALValue::array(shape, extra);
  AL::ALValue faces = AL::ALValue::array(face, AL::ALValue::array(AL::ALValue(4)));
  AL::ALValue stamp = AL::ALValue::array(AL::ALValue(1700000000), AL::ALValue(250));
  return AL::ALValue::array(stamp, faces, AL::ALValue::array(AL::ALValue(0.0f)),
                            AL::ALValue(0));
}

AL::ALValue named(const std::string& label, float score) {
  return detection(AL::ALValue(3), AL::ALValue(score), AL::ALValue(label));
}

class KTRukoFaceTest : public KTRukoTest {
protected:
  void SetUp() override {
    emptyTopicFolder();
    writeConf(faceVar("ruko_facerecog", "facerecog", "ruko_who") +
              faceVar("mimi_facerecog", "facerecog", "mimi_who"));
    create();
    start();
    log.clear();
    robot.world().clearJournal();
  }
  void recognise(const std::string& key = "ruko_facerecog") { raise(key, AL::ALValue(1)); }
  void see(const AL::ALValue& value) { raise("FaceDetected", value); }
  bool running() { return !callbacksOf("FaceDetected").empty(); }
  bool ended(const std::string& variable = "ruko_facerecog") {
    return robot.memory().hasData("did_" + variable);
  }
  std::string result(const std::string& key = "ruko_who") {
    return robot.memory().getData(key);
  }
  int endSignals() {
    return static_cast<int>(
        journalOf("ALMemory.raiseEvent [\"UserSession/FocusedUser\",1]").size());
  }
};

TEST_F(KTRukoFaceTest, ScoreAboveThresholdEndsWithTheLabelBeforeTheEvent) {
  recognise();
  EXPECT_TRUE(running());
  EXPECT_EQ(std::vector<std::string>{"onUserIDChanged"}, callbacksOf("UserSession/FocusedUser"));

  std::string seenAtEvent;
  int id = robot.memory().addObserver([&](const std::string& key, const AL::ALValue& value) {
    if (key == "did_ruko_facerecog") {
      EXPECT_EQ(AL::ALValue(1), value);
      seenAtEvent = static_cast<std::string>(robot.memory().getData("ruko_who"));
    }
  });
  see(named("hanako", 0.9f));
  robot.memory().removeObserver(id);

  EXPECT_EQ("hanako", seenAtEvent);
  EXPECT_EQ("hanako", result());
  EXPECT_TRUE(ended());
  EXPECT_FALSE(running());
  EXPECT_TRUE(callbacksOf("UserSession/FocusedUser").empty());
  std::vector<std::string> j = journal();
  std::vector<std::string>::iterator from =
      std::find(j.begin(), j.end(), "ALMemory.insertData [\"ruko_who\",\"hanako\"]");
  EXPECT_EQ((std::vector<std::string>{
                "ALMemory.insertData [\"ruko_who\",\"hanako\"]",
                "ALMemory.raiseEvent [\"did_ruko_facerecog\",1]",
                "ALMemory.unsubscribeToEvent [\"FaceDetected\",\"KTRuko\"]",
                "ALMemory.unsubscribeToEvent [\"UserSession/FocusedUser\",\"KTRuko\"]"}),
            std::vector<std::string>(from, j.end()));

  EXPECT_TRUE(informed("******* 顔認識のイベントfaceDetectedをキャッチしました ******"));
  EXPECT_TRUE(informed("認識した顔 name =  hanako スコア = 0.9 ID = 3"));
  EXPECT_TRUE(informed("最高認識率の顔 name =  hanako 最高スコア = 0.9"));
  EXPECT_TRUE(informed("顔認識終了後のイベント変数 didevent =  did_ruko_facerecog"));
  EXPECT_TRUE(informed("最終的に判定された顔 name =  hanako スコア = 0.9"));
  std::string valueLine = "name = FaceDetected valu = " +
                          named("hanako", 0.9f).toString(AL::VerbosityMini) + "\n";
  EXPECT_TRUE(informed(valueLine));
}

TEST_F(KTRukoFaceTest, ScoreOfExactlyPointEightFiveEndsAtOnce) {
  recognise();
  see(named("taro", 0.85f));
  EXPECT_TRUE(ended());
  EXPECT_EQ("taro", result());
  EXPECT_TRUE(informed("最終的に判定された顔 name =  taro スコア = 0.85"));
}

TEST_F(KTRukoFaceTest, HundredDetectionsBelowThresholdGoOnAndTheHundredFirstEnds) {
  recognise();
  // No face in view: not counted.
  see(AL::ALValue::array(AL::ALValue::array(AL::ALValue(1), AL::ALValue(2)), AL::ALValue::array()));
  see(AL::ALValue("[[[0], [7, 0.8]]]"));
  for (int i = 0; i < 100; ++i) see(named("jiro", 0.8f));
  EXPECT_EQ(0, endSignals());
  EXPECT_FALSE(ended());
  EXPECT_TRUE(running());
  see(named("jiro", 0.8f));
  EXPECT_EQ(1, endSignals());
  EXPECT_TRUE(ended());
  EXPECT_EQ("jiro", result());
}

TEST_F(KTRukoFaceTest, TextThatIsNoNumberCountsWithScoreZero) {
  recognise();
  see(named("jiro", 0.3f));
  for (int i = 0; i < 100; ++i)
    see(detection(AL::ALValue(2), AL::ALValue(true), AL::ALValue("saburo")));
  EXPECT_TRUE(ended());
  EXPECT_EQ("jiro", result());
  EXPECT_TRUE(informed("認識した顔 name =  saburo スコア = true ID = 2"));
}

TEST_F(KTRukoFaceTest, EqualScoresKeepTheFirstLabel) {
  recognise();
  see(named("taro", 0.5f));
  see(named("jiro", 0.5f));
  EXPECT_TRUE(informed("最高認識率の顔 name =  taro 最高スコア = 0.5"));
  EXPECT_FALSE(ended());
  // Anyone may raise the end signal.
  raise("UserSession/FocusedUser", AL::ALValue(1));
  EXPECT_TRUE(ended());
  EXPECT_EQ("taro", result());
}

TEST_F(KTRukoFaceTest, UnknownFaceWithTheBestScoreBlocksTheEndUntilANamedOneScoresHigher) {
  recognise();
  see(named("taro", 0.4f));
  see(named("", 0.9f));
  see(named("", 0.9f));
  // The end signal comes on every scored detection, yet nothing ends.
  EXPECT_EQ(2, endSignals());
  EXPECT_FALSE(ended());
  EXPECT_TRUE(running());
  EXPECT_FALSE(robot.memory().hasData("ruko_who"));

  see(named("hanako", 0.95f));
  EXPECT_TRUE(ended());
  EXPECT_EQ("hanako", result());
  EXPECT_FALSE(running());
}

TEST_F(KTRukoFaceTest, BlanksAndQuotesAroundTheItemsAreRemoved) {
  recognise();
  see(detection(AL::ALValue(7), AL::ALValue(0.5f), AL::ALValue("  hanako ")));
  EXPECT_TRUE(informed("認識した顔 name =  hanako スコア = 0.5 ID = 7"));
  // A value whose items carry blanks and quotes of their own.
  see(AL::ALValue("[[[0], [ \"8\" , 0.9 ,  \"jiro\" , []]]]"));
  EXPECT_TRUE(informed("認識した顔 name =  jiro スコア = 0.9 ID = 8"));
  EXPECT_EQ("jiro", result());

  EXPECT_EQ("word", ruko->strip("  \"word\"\" "));
  EXPECT_EQ("", ruko->strip("\"\""));
  EXPECT_EQ("", ruko->strip(""));
  EXPECT_EQ("\tword\t", ruko->strip("\tword\t"));
  EXPECT_EQ("a \"b\" c", ruko->strip(" a \"b\" c "));
}

TEST_F(KTRukoFaceTest, NewRecognitionRestartsWithItsOwnVariableAndCount) {
  recognise("ruko_facerecog");
  for (int i = 0; i < 60; ++i) see(named("taro", 0.5f));
  recognise("mimi_facerecog");
  EXPECT_EQ(std::vector<std::string>{"onFaceDetected"}, callbacksOf("FaceDetected"));
  for (int i = 0; i < 60; ++i) see(named("jiro", 0.4f));
  // The count started again, and taro's score was forgotten.
  EXPECT_EQ(0, endSignals());
  EXPECT_TRUE(informed("最高認識率の顔 name =  jiro 最高スコア = 0.4"));
  raise("UserSession/FocusedUser", AL::ALValue(1));
  EXPECT_TRUE(ended("mimi_facerecog"));
  EXPECT_EQ("jiro", result("mimi_who"));
  EXPECT_FALSE(ended("ruko_facerecog"));
  EXPECT_FALSE(robot.memory().hasData("ruko_who"));
}

TEST_F(KTRukoFaceTest, DetectionsAfterTheEndAreNotDelivered) {
  recognise();
  see(named("taro", 0.9f));
  ASSERT_TRUE(ended());
  log.clear();
  see(named("jiro", 0.99f));
  EXPECT_FALSE(informed("******* 顔認識のイベントfaceDetectedをキャッチしました ******"));
  EXPECT_EQ("taro", result());
}

TEST_F(KTRukoFaceTest, FailedResultWriteRaisesNoEventAndKeepsListening) {
  recognise();
  robot.world().setFault("ALMemory.insertData", kt::sim::FaultThrow);
  see(named("taro", 0.9f));
  EXPECT_FALSE(ended());
  EXPECT_TRUE(running());
  robot.world().clearFaults();
  see(named("taro", 0.9f));
  EXPECT_TRUE(ended());
}

}  // namespace
