// Face recognition: detections scored from the FaceDetected value, the end
// signal, and the label handed back to the waiting dialog rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;
using kt::test::Words;
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
    startWith(faceVar("ruko_facerecog", "facerecog", "ruko_who") +
              faceVar("mimi_facerecog", "facerecog", "mimi_who"));
  }
  void recognise(const std::string& key = "ruko_facerecog") { raise(key, AL::ALValue(1)); }
  void see(const AL::ALValue& value) { raise("FaceDetected", value); }
  bool running() { return !callbacksOf("FaceDetected").empty(); }
  bool ended(const std::string& variable = "ruko_facerecog") { return hasData("did_" + variable); }
  std::string result(const std::string& key = "ruko_who") {
    return robot.memory().getData(key);
  }
  int endSignals() {
    return static_cast<int>(
        journalOf("ALMemory.raiseEvent [\"UserSession/FocusedUser\",1]").size());
  }
};

// 0.85f is above 0.85 in double: it ends at once.
TEST_F(KTRukoFaceTest, ScoreAboveThresholdEndsWithTheLabelBeforeTheEvent) {
  recognise();
  EXPECT_TRUE(running());
  EXPECT_EQ(Words{"onUserIDChanged"}, callbacksOf("UserSession/FocusedUser"));

  std::string seenAtEvent;
  int id = robot.memory().addObserver([&](const std::string& key, const AL::ALValue& value) {
    if (key == "did_ruko_facerecog") {
      EXPECT_EQ(AL::ALValue(1), value);
      seenAtEvent = result();
    }
  });
  see(named("hanako", 0.85f));
  robot.memory().removeObserver(id);

  EXPECT_EQ("hanako", seenAtEvent);
  EXPECT_EQ("hanako", result());
  EXPECT_FALSE(running());
  EXPECT_TRUE(callbacksOf("UserSession/FocusedUser").empty());
  Words j = journal();
  Words::iterator from = std::find(j.begin(), j.end(), "ALMemory.insertData [\"ruko_who\",\"hanako\"]");
  EXPECT_EQ((Words{"ALMemory.insertData [\"ruko_who\",\"hanako\"]",
                   "ALMemory.raiseEvent [\"did_ruko_facerecog\",1]",
                   "ALMemory.unsubscribeToEvent [\"FaceDetected\",\"KTRuko\"]",
                   "ALMemory.unsubscribeToEvent [\"UserSession/FocusedUser\",\"KTRuko\"]"}),
            Words(from, j.end()));

  EXPECT_TRUE(informed("******* 顔認識のイベントfaceDetectedをキャッチしました ******"));
  EXPECT_TRUE(informed("name = FaceDetected valu = " +
                       named("hanako", 0.85f).toString(AL::VerbosityMini) + "\n"));
  EXPECT_TRUE(informed("認識した顔 name =  hanako スコア = 0.85 ID = 3"));
  EXPECT_TRUE(informed("最高認識率の顔 name =  hanako 最高スコア = 0.85"));
  EXPECT_TRUE(informed("顔認識終了後のイベント変数 didevent =  did_ruko_facerecog"));
  EXPECT_TRUE(informed("最終的に判定された顔 name =  hanako スコア = 0.85"));

  // Later detections are not delivered.
  log.clear();
  see(named("jiro", 0.99f));
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ("hanako", result());
}

TEST_F(KTRukoFaceTest, HundredDetectionsBelowThresholdGoOnAndTheHundredFirstEnds) {
  recognise();
  // No face in view, or fewer than three items: not counted.
  see(AL::ALValue::array(AL::ALValue::array(AL::ALValue(1), AL::ALValue(2)), AL::ALValue::array()));
  see(AL::ALValue("[[[0], [7, 0.8]]]"));
  // Equal scores keep the first label; a score that is no number counts as 0.
  see(named("taro", 0.5f));
  see(named("jiro", 0.5f));
  EXPECT_TRUE(informed("最高認識率の顔 name =  taro 最高スコア = 0.5"));
  AL::ALValue noNumber = detection(AL::ALValue(2), AL::ALValue(true), AL::ALValue("saburo"));
  for (int i = 0; i < 98; ++i) see(noNumber);
  EXPECT_TRUE(informed("認識した顔 name =  saburo スコア = true ID = 2"));
  EXPECT_EQ(0, endSignals());
  EXPECT_FALSE(ended());
  EXPECT_TRUE(running());
  see(noNumber);
  EXPECT_EQ(1, endSignals());
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
  EXPECT_EQ(Words{"onFaceDetected"}, callbacksOf("FaceDetected"));
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
