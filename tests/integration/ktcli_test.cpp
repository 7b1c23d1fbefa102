// ktcli against a running ktrobot: what a user and a script see.
// ctest-timeout: 90
#include <gtest/gtest.h>

#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::lines;
using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

class KtcliTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(robot.start({"--load", std::string(KT_LIB_DIR) + "/libktorrin.so", "--load",
                             RobotHarness::forkerLibrary()}))
        << robot.robotErr();
  }
  Result cli(const std::vector<std::string>& args) { return robot.cli(args); }

  RobotHarness robot;
};

TEST_F(KtcliTest, InfoJsonListsExactlyTheModuleDescriptionAndMethods) {
  Result r = cli({"info", "--json", "KTOrrin"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "{\"name\":\"KTOrrin\","
      "\"description\":\"ktorrinは、rukoのシステムコントロールのためのモジュールです。\","
      "\"methods\":["
      "{\"name\":\"getRobotLog\",\"description\":\"ロボットのログを取得する\",\"params\":[]},"
      "{\"name\":\"init\",\"description\":\"初期化、最初に必ず実行しなければならない\","
      "\"params\":[]}]}\n",
      r.out);

  Result params = cli({"info", "--json", "KTForker"});
  EXPECT_TRUE(contains(params.out,
                       "{\"name\":\"forkAndSpeak\",\"description\":\"A child raises key with its "
                       "pid and says sentence\",\"params\":[{\"name\":\"key\",\"description\":"
                       "\"event the child raises\"},{\"name\":\"sentence\",\"description\":"
                       "\"what the child has the robot say\"}]}"))
      << params.out;
}

TEST_F(KtcliTest, InfoShowsMethodsInBindingOrderAndListsEveryModule) {
  Result r = cli({"info", "KTOrrin"});
  EXPECT_EQ(0, r.status);
  std::vector<std::string> l = lines(r.out);
  ASSERT_EQ(4u, l.size()) << r.out;
  EXPECT_EQ("KTOrrin", l[0]);
  EXPECT_TRUE(contains(l[1], "ktorrinは、rukoのシステムコントロールのためのモジュールです。"));
  EXPECT_TRUE(contains(l[2], "getRobotLog") && contains(l[2], "ロボットのログを取得する"));
  EXPECT_TRUE(contains(l[3], "init"));

  Result all = cli({"info"});
  std::vector<std::string> names = lines(all.out);
  for (const char* n : {"ALMemory", "ALDialog", "ALMotion", "ALRobotPosture", "ALNavigation",
                        "ALAutonomousMoves", "ALFaceDetection", "ALAutonomousLife",
                        "ALBasicAwareness", "ALTextToSpeech", "ALSystem", "KTOrrin", "KTForker"})
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), n)) << n;

  Result missing = cli({"info", "KTNobody"});
  EXPECT_EQ(1, missing.status);
  EXPECT_TRUE(contains(missing.err, "KTNobody"));
}

TEST_F(KtcliTest, GetRobotLogReturnsLinesTheRobotWrote) {
  Result r = cli({"call", "KTOrrin.getRobotLog"});
  EXPECT_EQ(0, r.status) << r.err;
  // The module's own start-up line and the robot's, as they are in the log file.
  EXPECT_TRUE(contains(r.out, "システムモジュールを初期化しました\n")) << r.out;
  EXPECT_TRUE(contains(r.out, " ready on " + robot.socket + "\n")) << r.out;
  for (const std::string& line : lines(r.out)) {
    if (line.empty()) continue;
    EXPECT_TRUE(contains(robot.tailLog(), line + "\n")) << line;
  }
  // A text result is printed as it is, followed by one line feed.
  ASSERT_GE(r.out.size(), 2u);
  EXPECT_EQ("\n\n", r.out.substr(r.out.size() - 2));

  // The read position moved on: only what was logged since comes next.
  ASSERT_EQ(0, cli({"call", "KTOrrin.init"}).status);
  Result again = cli({"call", "KTOrrin.getRobotLog"});
  EXPECT_TRUE(contains(again.out, "システムモジュールを初期化しました")) << again.out;
  Result empty = cli({"call", "KTOrrin.getRobotLog"});
  EXPECT_EQ("\n", empty.out);
}

TEST_F(KtcliTest, ArgumentsAreJsonOrTextAndResultsPrintedByType) {
  EXPECT_EQ(0, cli({"call", "ALMotion.moveTo", "0.5", "0", "0.2"}).status);
  Result pos = cli({"call", "ALMotion.getRobotPosition", "false"});
  EXPECT_EQ("[0.5,0,0.2]\n", pos.out);
  // Text parameters keep the argument as written, even when it reads as a number.
  EXPECT_EQ(0, cli({"call", "ALTextToSpeech.say", "007"}).status);
  EXPECT_EQ(0, cli({"call", "ALTextToSpeech.say", "\"quoted\""}).status);
  EXPECT_EQ(0, cli({"call", "ALTextToSpeech.say", "こんにちは 世界"}).status);
  Result j = cli({"journal"});
  EXPECT_TRUE(contains(j.out, "ALMotion.moveTo [0.5,0,0.2]\n")) << j.out;
  EXPECT_TRUE(contains(j.out, "ALTextToSpeech.say [\"007\"]\n")) << j.out;
  EXPECT_TRUE(contains(j.out, "ALTextToSpeech.say [\"quoted\"]\n")) << j.out;
  EXPECT_TRUE(contains(j.out, "ALTextToSpeech.say [\"こんにちは 世界\"]\n")) << j.out;

  EXPECT_EQ("ruko\n", cli({"call", "ALSystem.robotName"}).out);
  EXPECT_EQ("true\n", cli({"call", "ALRobotPosture.goToPosture", "Stand", "0.5"}).out);
  Result none = cli({"call", "ALMotion.wakeUp"});
  EXPECT_EQ(0, none.status);
  EXPECT_EQ("", none.out);

  ASSERT_EQ(0, cli({"insert", "ktlist", "[1, 2.5, \"a\\tb\", [true, null]]"}).status);
  EXPECT_EQ("[1,2.5,\"a\\tb\",[true,null]]\n", cli({"get", "ktlist"}).out);
  ASSERT_EQ(0, cli({"insert", "kttext", "plain words"}).status);
  EXPECT_EQ("plain words\n", cli({"get", "kttext"}).out);
}

TEST_F(KtcliTest, FailuresExitOneWithTheErrorText) {
  Result missing = cli({"get", "no_such_key"});
  EXPECT_EQ(1, missing.status);
  EXPECT_EQ("", missing.out);
  EXPECT_TRUE(contains(missing.err, "no_such_key")) << missing.err;

  Result unknown = cli({"call", "KTOrrin.noSuchMethod"});
  EXPECT_EQ(1, unknown.status);
  EXPECT_TRUE(contains(unknown.err, "noSuchMethod")) << unknown.err;

  Result arity = cli({"call", "ALMotion.moveTo", "1"});
  EXPECT_EQ(1, arity.status);
  EXPECT_TRUE(contains(arity.err, "expects 3 argument(s), got 1")) << arity.err;

  Result conversion = cli({"call", "ALMotion.moveTo", "one", "0", "0"});
  EXPECT_EQ(1, conversion.status);
  EXPECT_FALSE(conversion.err.empty());

  Result state = cli({"call", "ALAutonomousLife.setState", "asleep"});
  EXPECT_EQ(1, state.status);
  EXPECT_EQ("ALAutonomousLife.setState: unknown state asleep\n", state.err);

  EXPECT_EQ(1, cli({"call", "NoDot"}).status);
  EXPECT_EQ(1, cli({"fault", "ALMotion.moveTo", "sometimes"}).status);
  EXPECT_EQ(1, cli({"frobnicate"}).status);
}

TEST_F(KtcliTest, FaultsMakeServiceCallsThrowOrAnswerFalse) {
  ASSERT_EQ(0, cli({"fault", "ALMotion.moveTo", "throw"}).status);
  Result thrown = cli({"call", "ALMotion.moveTo", "1", "0", "0"});
  EXPECT_EQ(1, thrown.status);
  EXPECT_EQ("ALMotion.moveTo: fault injected\n", thrown.err);
  EXPECT_EQ("[0,0,0]\n", cli({"call", "ALMotion.getRobotPosition", "false"}).out);

  ASSERT_EQ(0, cli({"fault", "ALRobotPosture.goToPosture", "false"}).status);
  EXPECT_EQ("false\n", cli({"call", "ALRobotPosture.goToPosture", "Stand", "1"}).out);

  ASSERT_EQ(0, cli({"fault", "ALMotion.moveTo", "clear"}).status);
  ASSERT_EQ(0, cli({"fault", "ALRobotPosture.goToPosture", "clear"}).status);
  EXPECT_EQ(0, cli({"call", "ALMotion.moveTo", "1", "0", "0"}).status);
  EXPECT_EQ("true\n", cli({"call", "ALRobotPosture.goToPosture", "Stand", "1"}).out);
}

TEST_F(KtcliTest, JournalListsCallsAndClearForgetsWhatItShowed) {
  ASSERT_EQ(0, cli({"journal", "--clear"}).status);
  EXPECT_EQ("", cli({"journal"}).out);
  ASSERT_EQ(0, cli({"call", "ALMotion.moveTo", "0.5", "0", "0.2"}).status);
  ASSERT_EQ(0, cli({"call", "ALDialog.setLanguage", "Japanese"}).status);
  Result j = cli({"journal", "--clear"});
  EXPECT_EQ("ALMotion.moveTo [0.5,0,0.2]\nALDialog.setLanguage [\"Japanese\"]\n", j.out);
  EXPECT_EQ("", cli({"journal"}).out);
  ASSERT_EQ(0, cli({"call", "ALSystem.robotName"}).status);
  EXPECT_EQ("ALSystem.robotName []\n", cli({"journal"}).out);
}

TEST_F(KtcliTest, RaiseReachesSubscriberAndWatchPrintsIt) {
  ASSERT_EQ(0, cli({"call", "KTForker.listen", "ktsignal"}).status);
  std::unique_ptr<kt::itest::Process> watch =
      robot.cliAsync({"watch", "ktsig*", "other", "--count", "3", "--timeout", "30"});
  ASSERT_TRUE(watch->waitFor([&] { return contains(watch->err(), "watching"); }, 20));

  ASSERT_EQ(0, cli({"raise", "ktsignal", "hello"}).status);
  ASSERT_EQ(0, cli({"raise", "unrelated", "1"}).status);
  ASSERT_EQ(0, cli({"raise", "ktsignal_2", "[1,2.5]"}).status);
  ASSERT_EQ(0, cli({"raise", "other", "{not json"}).status);
  EXPECT_EQ(0, watch->wait(20));
  EXPECT_EQ("ktsignal\t\"hello\"\nktsignal_2\t[1,2.5]\nother\t\"{not json\"\n", watch->out());

  // The subscriber ran in the robot process, with the raised value.
  Result got = cli({"call", "KTForker.received"});
  EXPECT_EQ("[[\"ktsignal\",\"hello\"," + std::to_string(robot.robotPid()) + "]]\n", got.out);
  // The event's value stays stored under its key.
  EXPECT_EQ("hello\n", cli({"get", "ktsignal"}).out);
}

TEST_F(KtcliTest, WatchTimesOutWithExitOne) {
  Result r = cli({"watch", "never_raised", "--timeout", "0.3"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_TRUE(contains(r.err, "watching")) << r.err;

  // An option without its value is a mistake, not one more pattern to wait for.
  for (const char* option : {"--count", "--timeout"}) {
    Result bad = robot.cli({"watch", "never_raised", option}, 10);
    EXPECT_EQ(1, bad.status) << option;
    EXPECT_TRUE(contains(bad.err, std::string(option) + " wants a value")) << bad.err;
    EXPECT_FALSE(contains(bad.err, "watching")) << bad.err;
  }
}

TEST(KtcliWithoutRobot, ExitsTwoWithAClearMessage) {
  RobotHarness robot;
  Result r = robot.cli({"info"});
  EXPECT_EQ(2, r.status);
  EXPECT_TRUE(contains(r.err, "no robot at " + robot.socket)) << r.err;

  double start = kt::itest::now();
  Result waited = robot.cli({"--wait", "0.5", "call", "ALSystem.robotName"});
  EXPECT_EQ(2, waited.status);
  EXPECT_GE(kt::itest::now() - start, 0.5);

  Result usage = robot.cli({"call"});
  EXPECT_EQ(1, usage.status);
}

TEST(KtcliWithoutRobot, WaitMeetsARobotThatStartsLater) {
  RobotHarness robot;
  std::unique_ptr<kt::itest::Process> waiting =
      robot.cliAsync({"--wait", "30", "call", "ALSystem.robotName"});
  ASSERT_TRUE(robot.start({"--load", std::string(KT_LIB_DIR) + "/libktorrin.so", "--name",
                           "nao7"}));
  EXPECT_EQ(0, waiting->wait(20));
  EXPECT_EQ("nao7\n", waiting->out());
}

TEST(KtcliSocketChoice, DefaultFollowsTheRootAndTheEnvironmentOverrides) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", std::string(KT_LIB_DIR) + "/libktorrin.so"}, false))
      << robot.robotErr();
  std::string cli = RobotHarness::bin("ktcli");
  Result byRoot = robot.run({cli, "call", "ALSystem.robotName"}, {"KT_ROBOT_ROOT=" + robot.root});
  EXPECT_EQ(0, byRoot.status) << byRoot.err;
  EXPECT_EQ("ruko\n", byRoot.out);

  std::string socket = robot.root + "/var/run/ktrobot.sock";
  Result byEnv = robot.run({cli, "call", "ALSystem.robotName"}, {"KT_ROBOT_SOCKET=" + socket});
  EXPECT_EQ("ruko\n", byEnv.out);
  Result elsewhere = robot.run({cli, "info"}, {"KT_ROBOT_ROOT=" + robot.root + "/nothing"});
  EXPECT_EQ(2, elsewhere.status);
}

}  // namespace
