// The motion executor: service calls, completion events, log lines and pauses.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <alerror/alerror.h>
#include <ktplatform/sleephook.h>

#include "ktest.h"
#include "ktmotion.h"

namespace {

typedef std::vector<std::string> Fields;
typedef std::map<std::string, std::string> VarMap;

const char* const kFailed = "動作に失敗しました ";
const char* const kNoType = "対応する動作タイプがありませんでした。";
const char* const kListenOff = "ALAutonomousMoves.setExpressiveListeningEnabled [false]";
const char* const kListenOn = "ALAutonomousMoves.setExpressiveListeningEnabled [true]";

std::string twoDecimals(float f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(f));
  return buf;
}

class KTMotionTest : public kt::test::RobotTest {
protected:
  KTMotionTest() {
    observer = robot.memory().addObserver([this](const std::string& key, const AL::ALValue& v) {
      if (key.compare(0, 4, "did_") == 0) raised.push_back(std::make_pair(key, v));
    });
  }
  ~KTMotionTest() { robot.memory().removeObserver(observer); }

  KTMotion& executor() {
    if (!motion) motion.reset(new KTMotion(broker));
    return *motion;
  }
  // Clean journal, log and event record.
  void clean() {
    executor();
    robot.world().clearJournal();
    log.clear();
    raised.clear();
    pausesBefore = sleeps.calls().size();
  }
  // Runs one motion from a clean state.
  void run(const Fields& fields, const VarMap& varmap = VarMap{{"DUMMY", "DUMMY"}}) {
    clean();
    motion->setMotion(fields, varmap);
  }
  // Pauses asked for by the last run.
  std::vector<unsigned int> pauses() {
    std::vector<unsigned int> all = sleeps.calls();
    return std::vector<unsigned int>(all.begin() + pausesBefore, all.end());
  }
  std::vector<std::string> messages() { return log.messages("ktruko"); }
  bool warned(const std::string& text) { return log.has(qi::LogLevel_Warning, "ktruko", text); }
  bool informed(const std::string& text) { return log.has(qi::LogLevel_Info, "ktruko", text); }
  std::vector<std::string> listening() {
    return calls("ALAutonomousMoves.setExpressiveListeningEnabled");
  }

  // The event name raised, checked to carry the integer 1; empty when none.
  std::string onlyEvent() {
    if (raised.size() != 1) {
      EXPECT_TRUE(raised.empty()) << raised.size() << " events";
      return "";
    }
    EXPECT_TRUE(raised[0].second.isInt());
    EXPECT_EQ(1, static_cast<int>(raised[0].second));
    return raised[0].first;
  }
  // A call that leaves no event: the failure warning and both listening switches.
  void expectFailure() {
    EXPECT_TRUE(raised.empty());
    EXPECT_TRUE(warned(kFailed));
    EXPECT_FALSE(informed("動作に成功しました "));
    EXPECT_EQ((Fields{kListenOff, kListenOn}), listening());
    EXPECT_EQ(std::vector<unsigned int>{1}, pauses());
  }

  int observer;
  size_t pausesBefore = 0;
  std::vector<std::pair<std::string, AL::ALValue> > raised;
  std::unique_ptr<KTMotion> motion;
};

TEST_F(KTMotionTest, ConstructionReadsAndLogsTheStartPosition) {
  robot.motion().setPosition(1.5f, -1.0f, 0.25f);
  executor();
  EXPECT_EQ(Fields{"ALMotion.getRobotPosition [false]"}, journal());
  EXPECT_EQ(Fields{"*****　ロボットの現在位置 x = 1.50, y = -1.00,z = 0.25 ******"}, messages());

  // With services i..4 gone, service i is the one reported: it is created
  // before every later one.
  const Fields order = {"ALRobotPosture", "ALMotion", "ALNavigation", "ALAutonomousMoves",
                        "ALFaceDetection"};
  robot.world().clearJournal();
  log.clear();
  for (size_t i = order.size(); i-- > 0;) {
    broker->unregisterModule(order[i]);
    try {
      KTMotion m(broker);
      ADD_FAILURE() << "no error without " << order[i];
    } catch (const AL::ALError& e) {
      EXPECT_EQ(order[i], e.getModuleName());
    }
  }
  EXPECT_TRUE(journal().empty());
  EXPECT_TRUE(messages().empty());
}

TEST_F(KTMotionTest, PosturesGoWithTheirNamesAndSpeedThenRaiseTheEvent) {
  robot.world().setFault("ALRobotPosture.goToPosture", kt::sim::FaultFalse);
  run({"p_sit", "sitdown"});
  EXPECT_EQ(1u, calls("ALRobotPosture.goToPosture").size());
  expectFailure();
  robot.world().clearFaults();

  // The one pause comes between listening off and the motion.
  Fields atPause;
  kt::setSleepHook([&](unsigned int s) {
    atPause = journal();
    atPause.push_back("pause " + std::to_string(s));
  });
  const std::vector<std::pair<std::string, std::string> > rows = {
      {"sitdown", "Sit"}, {"standup", "Stand"}, {"crouch", "Crouch"}, {"lyingback", "LyingBack"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    std::string before = robot.posture().getPosture();
    run({"p_" + row.first, row.first});
    EXPECT_EQ((Fields{"ALRobotPosture.getPosture []", kListenOff,
                      "ALRobotPosture.goToPosture [\"" + row.second + "\",0.8]",
                      "ALMemory.raiseEvent [\"did_p_" + row.first + "\",1]", kListenOn}),
              journal());
    EXPECT_EQ((Fields{"ALRobotPosture.getPosture []", kListenOff, "pause 1"}), atPause);
    EXPECT_EQ("did_p_" + row.first, onlyEvent());
    EXPECT_EQ((Fields{"現在のロボットのポーズ: " + before, "呼び出された動作: " + row.first,
                      "動作に成功しました ", "終了後の変数イベントの登録 didevent =  did_p_" + row.first,
                      "終了後の変数に入力を終えました "}),
              messages());
    EXPECT_EQ(row.second, robot.posture().getPosture());
  }
  kt::setSleepHook([](unsigned int) {});
}

struct FaceCase {
  Fields fields;
  VarMap varmap;
  const char* call;
  bool success;
  Fields learned;  // the database afterwards
};

TEST_F(KTMotionTest, FaceOperationsUseTheNameStoredUnderTheKey) {
  const FaceCase cases[] = {
      {{"p_learn", "facelearn", "learnName"}, {{"learnName", "taro"}, {"other", "jiro"}},
       "ALFaceDetection.learnFace [\"taro\"]", true, {"taro"}},
      // A missing key gives the empty name, which the database refuses.
      {{"p_learn", "facelearn", "learnName"}, {{"DUMMY", "DUMMY"}}, "ALFaceDetection.learnFace [\"\"]",
       false, {"taro"}},
      {{"p_forget", "faceforget", "nobody"}, {}, "ALFaceDetection.forgetPerson [\"\"]", false, {"taro"}},
      {{"p_forget", "faceforget", "forgetName"}, {{"forgetName", "taro"}},
       "ALFaceDetection.forgetPerson [\"taro\"]", true, {}},
      {{"p_learn", "facelearn", "n"}, {{"n", "hanako"}}, "ALFaceDetection.learnFace [\"hanako\"]", true,
       {"hanako"}},
      {{"p_clear", "faceclear"}, {}, "ALFaceDetection.clearDatabase []", true, {}},
  };
  for (const FaceCase& c : cases) {
    SCOPED_TRACE(c.call);
    run(c.fields, c.varmap);
    ASSERT_LE(3u, journal().size());
    EXPECT_EQ(c.call, journal()[2]);
    if (c.success)
      EXPECT_EQ("did_" + c.fields[0], onlyEvent());
    else
      expectFailure();
    EXPECT_EQ(c.learned, robot.faceDetection().getLearnedFacesList());
  }
}

TEST_F(KTMotionTest, WhatMatchesNoMotionFailsWithoutAServiceCall) {
  const char* const tooFew = "動作に必要な値が足りません。 値の数 = ";
  const std::pair<Fields, std::string> cases[] = {
      {{"p_facerecog", "facerecog", "seen"}, ""},  // a route of its own
      {{"u_x", "dance", "1", "0", "0"}, kNoType},
      {{"u_x", "Walk", "1", "0", "0"}, kNoType},
      {{"u_x", "walk ", "1", "0", "0"}, kNoType},
      {{"u_x", " sitdown"}, kNoType},
      {{"only_name"}, kNoType},
      {{}, kNoType},
      // Too few fields for the type: none is read past the end.
      {{"n_conf", "navi"}, tooFew + std::string("2")},
      {{"w_x", "walk", "1", "0"}, tooFew + std::string("4")},
      {{"f_l", "facelearn"}, tooFew + std::string("2")},
      {{"f_f", "faceforget"}, tooFew + std::string("2")},
  };
  for (const auto& c : cases) {
    std::string type = c.first.size() > 1 ? c.first[1] : "";
    SCOPED_TRACE("type [" + type + "]");
    run(c.first, {{"", "someone"}});
    EXPECT_EQ((Fields{"ALRobotPosture.getPosture []", kListenOff, kListenOn}), journal());
    Fields expected = {"呼び出された動作: " + type, c.second, kFailed};
    if (c.second.empty()) expected.erase(expected.begin() + 1);
    Fields m = messages();
    EXPECT_EQ(expected, Fields(m.begin() + (m.empty() ? 0 : 1), m.end()));
    expectFailure();
  }
}

TEST_F(KTMotionTest, WalkMovesRelativelyAndLogsTheThreePositions) {
  robot.motion().setPosition(1.0f, -1.0f, 0.5f);
  run({"a_b", "walk", "0.5", "0.25", "0.2"});
  EXPECT_EQ((Fields{"ALRobotPosture.getPosture []", kListenOff, "ALMotion.moveTo [0.5,0.25,0.2]",
                    "ALMotion.getRobotPosition [false]", "ALMemory.raiseEvent [\"did_a_b\",1]", kListenOn}),
            journal());
  EXPECT_EQ("did_a_b", onlyEvent());

  std::vector<float> at = robot.motion().getRobotPosition(false);
  Fields m = messages();
  ASSERT_EQ(8u, m.size());
  EXPECT_EQ("ロボットの移動距離 [ △x = 0.50, △y = 0.25,△z = 0.20 ]", m[2]);
  // Added component by component, not turned into the world frame.
  EXPECT_EQ("ロボットの到達予定位置 [ x = 1.50, y = -0.75,z = 0.70 ]", m[3]);
  EXPECT_EQ("ロボットの実現位置 [ x = " + twoDecimals(at[0]) + ", y = " + twoDecimals(at[1]) +
                ",z = " + twoDecimals(at[2]) + " ]",
            m[4]);
  EXPECT_NE(m[3].substr(m[3].find('[')), m[4].substr(m[4].find('[')));
  EXPECT_EQ("動作に成功しました ", m[5]);
}

TEST_F(KTMotionTest, WalkSucceedsHoweverFarTheRobotGotAndReadsFieldsAsStrtof) {
  robot.motion().setMoveFraction(0.5f);
  run({"w_short", "walk", "2", "abc", "0"});
  EXPECT_EQ(Fields{"ALMotion.moveTo [2,0,0]"}, calls("ALMotion.moveTo"));
  EXPECT_EQ("did_w_short", onlyEvent());
  EXPECT_TRUE(informed("ロボットの実現位置 [ x = 1.00, y = 0.00,z = 0.00 ]"));

  run({"w_lead", "walk", "0.3m", " -0.5", ""});
  EXPECT_EQ(Fields{"ALMotion.moveTo [0.3,-0.5,0]"}, calls("ALMotion.moveTo"));
  EXPECT_EQ("did_w_lead", onlyEvent());
}

TEST_F(KTMotionTest, NaviKeepsTheHeadingOfTheLastWalk) {
  run({"w_turn", "walk", "0", "0", "0.5"});
  // The platform's heading changes behind the executor's back.
  robot.motion().setPosition(0.0f, 0.0f, 1.0f);
  run({"n_go", "navi", "1", "0.5"});
  EXPECT_EQ((Fields{"ALRobotPosture.getPosture []", kListenOff, "ALNavigation.navigateTo [1,0.5]",
                    "ALMotion.getRobotPosition [false]", "ALMemory.raiseEvent [\"did_n_go\",1]", kListenOn}),
            journal());
  EXPECT_EQ("did_n_go", onlyEvent());
  std::vector<float> at = robot.motion().getRobotPosition(false);
  EXPECT_EQ((Fields{"現在のロボットのポーズ: Crouch", "呼び出された動作: navi",
                    "ロボットの移動距離 [ △x = 1.00, △y = 0.50 ]",
                    "ロボットの到達予定位置 [ x = 1.00, y = 0.50 ]",
                    "ロボットの実現位置 [ x = " + twoDecimals(at[0]) + ", y = " + twoDecimals(at[1]) + " ]",
                    "動作に成功しました ", "終了後の変数イベントの登録 didevent =  did_n_go",
                    "終了後の変数に入力を終えました "}),
            messages());

  // The next walk's expected heading still starts from the walk's 0.5.
  run({"w_still", "walk", "0", "0", "0"});
  EXPECT_TRUE(informed("ロボットの到達予定位置 [ x = " + twoDecimals(at[0]) + ", y = " +
                       twoDecimals(at[1]) + ",z = 0.50 ]"));
}

TEST_F(KTMotionTest, ServiceErrorLeavesSetMotionWithoutEventOrSwitchingBack) {
  robot.world().setFault("ALMotion.moveTo", kt::sim::FaultThrow);
  clean();
  EXPECT_THROW(motion->setMotion({"w_err", "walk", "1", "0", "0"}, VarMap()), AL::ALError);
  EXPECT_EQ("ALMotion.moveTo [1,0,0]", journal().back());
  EXPECT_EQ(Fields{kListenOff}, listening());
  EXPECT_TRUE(raised.empty());
  EXPECT_FALSE(warned(kFailed));
}

TEST_F(KTMotionTest, EventNameHoldsAtMost507BytesOfName) {
  std::string name507(507, 'k');
  run({name507, "crouch"});
  EXPECT_EQ("did_" + name507, onlyEvent());

  std::string name508(508, 'k');
  run({name508, "crouch"});
  EXPECT_EQ(1u, calls("ALRobotPosture.goToPosture").size());
  EXPECT_TRUE(raised.empty());
  EXPECT_TRUE(calls("ALMemory.raiseEvent").empty());
  EXPECT_TRUE(informed("動作に成功しました "));
  EXPECT_TRUE(warned("変数名が長すぎるため終了イベントを登録できません。 長さ = 508"));
  EXPECT_EQ(kListenOn, listening().back());
}

TEST_F(KTMotionTest, InitPostureWakesAndStandsTheRobot) {
  clean();
  motion->initPosture();
  EXPECT_EQ((Fields{"ALMotion.wakeUp []", "ALRobotPosture.goToPosture [\"StandInit\",0.4]"}),
            journal());
  EXPECT_EQ(Fields{"*****　ロボットの姿勢を初期化しました ******"}, messages());
  EXPECT_TRUE(robot.motion().isAwake());

  robot.world().setFault("ALRobotPosture.goToPosture", kt::sim::FaultFalse);
  log.clear();
  motion->initPosture();
  EXPECT_TRUE(warned("*****　ロボットの姿勢を初期化できません ******"));
  EXPECT_EQ(1u, messages().size());
}

TEST_F(KTMotionTest, FtostrGivesTwoDecimalsForEveryFloat) {
  KTMotion& m = executor();
  EXPECT_EQ("1.50", m.ftostr(1.5f));
  EXPECT_EQ("-1.00", m.ftostr(-1.0f));
  EXPECT_EQ("0.00", m.ftostr(0.001f));
  EXPECT_EQ("-0.00", m.ftostr(-0.001f));
  // Past the 30-byte buffer, in full.
  for (float f : {1e24f, 1e25f, -1e30f, FLT_MAX, -FLT_MAX}) {
    std::string s = m.ftostr(f);
    EXPECT_EQ(".00", s.substr(s.size() - 3)) << s;
    EXPECT_EQ(static_cast<double>(f), std::strtod(s.c_str(), nullptr)) << s;
  }
  EXPECT_EQ("inf", m.ftostr(INFINITY));
  EXPECT_EQ("-inf", m.ftostr(-INFINITY));
}

}  // namespace
