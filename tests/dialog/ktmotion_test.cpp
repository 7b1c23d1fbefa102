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

  // Runs one motion with a clean journal, log and event record.
  void run(const Fields& fields, const VarMap& varmap = VarMap{{"DUMMY", "DUMMY"}}) {
    executor();
    robot.world().clearJournal();
    log.clear();
    raised.clear();
    pausesBefore = sleeps.calls().size();
    motion->setMotion(fields, varmap);
  }

  // Pauses asked for by the last run.
  std::vector<unsigned int> pauses() {
    std::vector<unsigned int> all = sleeps.calls();
    return std::vector<unsigned int>(all.begin() + pausesBefore, all.end());
  }

  std::vector<std::string> messages() { return log.messages("ktruko"); }
  bool warned(const std::string& text) {
    return log.has(qi::LogLevel_Warning, "ktruko", text);
  }
  bool informed(const std::string& text) { return log.has(qi::LogLevel_Info, "ktruko", text); }
  std::vector<std::string> listening() { return calls("ALAutonomousMoves.setExpressiveListeningEnabled"); }

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
    EXPECT_EQ((std::vector<std::string>{
                  "ALAutonomousMoves.setExpressiveListeningEnabled [false]",
                  "ALAutonomousMoves.setExpressiveListeningEnabled [true]"}),
              listening());
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
  EXPECT_EQ(std::vector<std::string>{"ALMotion.getRobotPosition [false]"}, journal());
  EXPECT_EQ(std::vector<std::string>{"*****　ロボットの現在位置 x = 1.50, y = -1.00,z = 0.25 ******"},
            messages());
  EXPECT_EQ(&executor(), &executor());
  EXPECT_NE(nullptr, motion->motion);
  EXPECT_NE(nullptr, motion->pose);
}

TEST_F(KTMotionTest, MissingServiceMakesConstructionThrowNamingTheFirstMissing) {
  const std::vector<std::string> order = {"ALRobotPosture", "ALMotion", "ALNavigation",
                                          "ALAutonomousMoves", "ALFaceDetection"};
  // With services i..4 gone, service i is the one reported: it is created
  // before every later one.
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
  const std::vector<std::pair<std::string, std::string> > rows = {
      {"sitdown", "Sit"}, {"standup", "Stand"}, {"crouch", "Crouch"}, {"lyingback", "LyingBack"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.first);
    std::string before = robot.posture().getPosture();
    run({"p_" + row.first, row.first});
    EXPECT_EQ((std::vector<std::string>{
                  "ALRobotPosture.getPosture []",
                  "ALAutonomousMoves.setExpressiveListeningEnabled [false]",
                  "ALRobotPosture.goToPosture [\"" + row.second + "\",0.8]",
                  "ALMemory.raiseEvent [\"did_p_" + row.first + "\",1]",
                  "ALAutonomousMoves.setExpressiveListeningEnabled [true]"}),
              journal());
    EXPECT_EQ("did_p_" + row.first, onlyEvent());
    EXPECT_EQ(std::vector<unsigned int>{1}, pauses());
    EXPECT_EQ((std::vector<std::string>{"現在のロボットのポーズ: " + before,
                                        "呼び出された動作: " + row.first, "動作に成功しました ",
                                        "終了後の変数イベントの登録 didevent =  did_p_" + row.first,
                                        "終了後の変数に入力を終えました "}),
              messages());
    EXPECT_EQ(row.second, robot.posture().getPosture());
  }
}

TEST_F(KTMotionTest, PauseComesBetweenListeningOffAndTheMotion) {
  executor();
  std::vector<std::string> atPause;
  kt::setSleepHook([&](unsigned int) { atPause = journal(); });
  run({"m_sit", "sitdown"});
  kt::setSleepHook([](unsigned int) {});
  ASSERT_FALSE(atPause.empty());
  EXPECT_EQ("ALAutonomousMoves.setExpressiveListeningEnabled [false]", atPause.back());
  EXPECT_EQ(2u, atPause.size());
}

TEST_F(KTMotionTest, RefusedPostureWarnsAndRaisesNothing) {
  robot.world().setFault("ALRobotPosture.goToPosture", kt::sim::FaultFalse);
  run({"p_sit", "sitdown"});
  EXPECT_EQ(1u, calls("ALRobotPosture.goToPosture").size());
  expectFailure();
  EXPECT_TRUE(calls("ALMemory.raiseEvent").empty());
}

TEST_F(KTMotionTest, FaceOperationsUseTheNameStoredUnderTheKey) {
  run({"p_learn", "facelearn", "learnName"}, {{"learnName", "taro"}, {"other", "jiro"}});
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.learnFace [\"taro\"]"},
            calls("ALFaceDetection.learnFace"));
  EXPECT_EQ("did_p_learn", onlyEvent());
  EXPECT_EQ(std::vector<std::string>{"taro"}, robot.faceDetection().getLearnedFacesList());

  run({"p_forget", "faceforget", "forgetName"}, {{"forgetName", "taro"}});
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.forgetPerson [\"taro\"]"},
            calls("ALFaceDetection.forgetPerson"));
  EXPECT_EQ("did_p_forget", onlyEvent());
  EXPECT_TRUE(robot.faceDetection().getLearnedFacesList().empty());

  robot.faceDetection().learnFace("hanako");
  run({"p_clear", "faceclear"});
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.clearDatabase []"},
            calls("ALFaceDetection.clearDatabase"));
  EXPECT_EQ("did_p_clear", onlyEvent());
  EXPECT_TRUE(robot.faceDetection().getLearnedFacesList().empty());
}

TEST_F(KTMotionTest, MissingNameKeyPassesTheEmptyName) {
  run({"p_learn", "facelearn", "learnName"}, {{"DUMMY", "DUMMY"}});
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.learnFace [\"\"]"},
            calls("ALFaceDetection.learnFace"));
  expectFailure();  // the simulated database refuses the empty name

  run({"p_forget", "faceforget", "nobody"}, {});
  EXPECT_EQ(std::vector<std::string>{"ALFaceDetection.forgetPerson [\"\"]"},
            calls("ALFaceDetection.forgetPerson"));
  expectFailure();
}

TEST_F(KTMotionTest, FaceRecognitionAndUnknownTypesFailWithoutAServiceCall) {
  run({"p_facerecog", "facerecog", "seen"});
  EXPECT_EQ((std::vector<std::string>{
                "ALRobotPosture.getPosture []",
                "ALAutonomousMoves.setExpressiveListeningEnabled [false]",
                "ALAutonomousMoves.setExpressiveListeningEnabled [true]"}),
            journal());
  EXPECT_FALSE(informed(kNoType));
  EXPECT_TRUE(raised.empty());
  EXPECT_TRUE(warned(kFailed));
  EXPECT_EQ(std::vector<unsigned int>{1}, pauses());

  for (const std::string type : {"dance", "Walk", "walk ", " sitdown", "SITDOWN", ""}) {
    SCOPED_TRACE("type [" + type + "]");
    run({"u_x", type, "1", "0", "0"});
    EXPECT_EQ(3u, journal().size());
    EXPECT_TRUE(calls("ALMotion.moveTo").empty());
    std::vector<std::string> m = messages();
    ASSERT_EQ(4u, m.size());
    EXPECT_EQ("呼び出された動作: " + type, m[1]);
    EXPECT_EQ(kNoType, m[2]);
    EXPECT_EQ(kFailed, m[3]);
    EXPECT_TRUE(informed(kNoType));
    EXPECT_TRUE(warned(kFailed));
    EXPECT_TRUE(raised.empty());
  }
}

TEST_F(KTMotionTest, WalkMovesRelativelyAndLogsTheThreePositions) {
  robot.motion().setPosition(1.0f, -1.0f, 0.5f);
  run({"a_b", "walk", "0.5", "0.25", "0.2"});
  std::vector<std::string> j = journal();
  ASSERT_EQ(6u, j.size());
  EXPECT_EQ("ALMotion.moveTo [0.5,0.25,0.2]", j[2]);
  EXPECT_EQ("ALMotion.getRobotPosition [false]", j[3]);
  EXPECT_EQ("ALMemory.raiseEvent [\"did_a_b\",1]", j[4]);
  EXPECT_EQ("did_a_b", onlyEvent());

  std::vector<float> at = robot.motion().getRobotPosition(false);
  std::vector<std::string> m = messages();
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
  EXPECT_EQ(std::vector<std::string>{"ALMotion.moveTo [2,0,0]"}, calls("ALMotion.moveTo"));
  EXPECT_EQ("did_w_short", onlyEvent());
  EXPECT_TRUE(informed("ロボットの実現位置 [ x = 1.00, y = 0.00,z = 0.00 ]"));

  run({"w_lead", "walk", "0.3m", " -0.5", ""});
  EXPECT_EQ(std::vector<std::string>{"ALMotion.moveTo [0.3,-0.5,0]"}, calls("ALMotion.moveTo"));
  EXPECT_EQ("did_w_lead", onlyEvent());
}

TEST_F(KTMotionTest, NaviKeepsTheHeadingOfTheLastWalk) {
  run({"w_turn", "walk", "0", "0", "0.5"});
  // The platform's heading changes behind the executor's back.
  robot.motion().setPosition(0.0f, 0.0f, 1.0f);
  run({"n_go", "navi", "1", "0.5"});
  std::vector<std::string> j = journal();
  ASSERT_EQ(6u, j.size());
  EXPECT_EQ("ALNavigation.navigateTo [1,0.5]", j[2]);
  EXPECT_EQ("ALMotion.getRobotPosition [false]", j[3]);
  EXPECT_EQ("did_n_go", onlyEvent());
  std::vector<float> at = robot.motion().getRobotPosition(false);
  EXPECT_EQ((std::vector<std::string>{
                "現在のロボットのポーズ: Crouch", "呼び出された動作: navi",
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

TEST_F(KTMotionTest, TooFewFieldsFailWithoutReadingPastThem) {
  const std::vector<Fields> shortCalls = {
      {"n_conf", "navi"}, {"n_half", "navi", "1"}, {"w_x", "walk", "1", "0"},
      {"f_l", "facelearn"}, {"f_f", "faceforget"}};
  for (const Fields& fields : shortCalls) {
    SCOPED_TRACE(fields[0]);
    run(fields, {{"", "someone"}});
    EXPECT_EQ(3u, journal().size());
    EXPECT_TRUE(warned("動作に必要な値が足りません。 値の数 = " + std::to_string(fields.size())));
    expectFailure();
  }
  // No type at all matches no motion.
  for (const Fields& fields : {Fields{}, Fields{"only_name"}}) {
    run(fields);
    EXPECT_TRUE(informed("呼び出された動作: "));
    EXPECT_TRUE(informed(kNoType));
    EXPECT_TRUE(warned(kFailed));
    EXPECT_TRUE(raised.empty());
  }
}

TEST_F(KTMotionTest, ServiceErrorLeavesSetMotionWithoutEventOrSwitchingBack) {
  robot.world().setFault("ALMotion.moveTo", kt::sim::FaultThrow);
  executor();
  robot.world().clearJournal();
  log.clear();
  EXPECT_THROW(motion->setMotion({"w_err", "walk", "1", "0", "0"}, VarMap()), AL::ALError);
  EXPECT_EQ("ALMotion.moveTo [1,0,0]", journal().back());
  EXPECT_EQ(std::vector<std::string>{"ALAutonomousMoves.setExpressiveListeningEnabled [false]"},
            listening());
  EXPECT_TRUE(raised.empty());
  EXPECT_FALSE(warned(kFailed));

  robot.world().clearFaults();
  robot.world().setFault("ALRobotPosture.getPosture", kt::sim::FaultThrow);
  robot.world().clearJournal();
  EXPECT_THROW(motion->setMotion({"p_sit", "sitdown"}, VarMap()), AL::ALError);
  EXPECT_EQ(std::vector<std::string>{"ALRobotPosture.getPosture []"}, journal());
}

TEST_F(KTMotionTest, EventNameHoldsAtMost507BytesOfName) {
  std::string name507(507, 'k');
  run({name507, "crouch"});
  EXPECT_EQ("did_" + name507, onlyEvent());
  EXPECT_EQ(511u, raised[0].first.size());

  std::string name508(508, 'k');
  run({name508, "crouch"});
  EXPECT_EQ(1u, calls("ALRobotPosture.goToPosture").size());
  EXPECT_TRUE(raised.empty());
  EXPECT_TRUE(calls("ALMemory.raiseEvent").empty());
  EXPECT_TRUE(informed("動作に成功しました "));
  EXPECT_TRUE(warned("変数名が長すぎるため終了イベントを登録できません。 長さ = 508"));
  EXPECT_EQ("ALAutonomousMoves.setExpressiveListeningEnabled [true]", listening().back());
}

TEST_F(KTMotionTest, InitPostureWakesAndStandsTheRobot) {
  executor();
  robot.world().clearJournal();
  log.clear();
  motion->initPosture();
  EXPECT_EQ((std::vector<std::string>{"ALMotion.wakeUp []",
                                      "ALRobotPosture.goToPosture [\"StandInit\",0.4]"}),
            journal());
  EXPECT_EQ(std::vector<std::string>{"*****　ロボットの姿勢を初期化しました ******"}, messages());
  EXPECT_TRUE(robot.motion().isAwake());

  robot.world().setFault("ALRobotPosture.goToPosture", kt::sim::FaultFalse);
  log.clear();
  motion->initPosture();
  EXPECT_TRUE(warned("*****　ロボットの姿勢を初期化できません ******"));
  EXPECT_EQ(1u, messages().size());

  robot.world().setFault("ALMotion.wakeUp", kt::sim::FaultThrow);
  robot.world().clearJournal();
  EXPECT_THROW(motion->initPosture(), AL::ALError);
  EXPECT_EQ(std::vector<std::string>{"ALMotion.wakeUp []"}, journal());
}

TEST_F(KTMotionTest, FtostrGivesTwoDecimalsForEveryFloat) {
  KTMotion& m = executor();
  EXPECT_EQ("1.50", m.ftostr(1.5f));
  EXPECT_EQ("-1.00", m.ftostr(-1.0f));
  EXPECT_EQ("0.00", m.ftostr(0.001f));
  EXPECT_EQ("-0.00", m.ftostr(-0.001f));
  EXPECT_EQ("12.35", m.ftostr(12.345678f));

  for (float f : {1e24f, 1e25f, -1e30f, FLT_MAX, -FLT_MAX}) {
    std::string s = m.ftostr(f);
    EXPECT_EQ(".00", s.substr(s.size() - 3)) << s;
    EXPECT_EQ(static_cast<double>(f), std::strtod(s.c_str(), nullptr)) << s;
  }
  EXPECT_EQ(42u, m.ftostr(FLT_MAX).size());
  EXPECT_EQ("inf", m.ftostr(INFINITY));
  EXPECT_EQ("-inf", m.ftostr(-INFINITY));
}

}  // namespace
