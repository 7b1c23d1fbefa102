// ktcli against a running ktrobot: what a user and a script see.
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
    ASSERT_TRUE(robot.start({"--load", RobotHarness::library("ktorrin"), "--load",
                             RobotHarness::forkerLibrary()}))
        << robot.robotErr();
    // The forker's own process announces itself when it gets to it: once
    // that is in, nothing but the test's calls reaches the journal.
    ASSERT_TRUE(kt::itest::eventually(
        [&] { return robot.cli({"get", "forker_server"}).status == 0; }, kt::itest::patience()));
  }
  Result cli(const std::vector<std::string>& args) { return robot.cli(args); }

  RobotHarness robot;
};

TEST_F(KtcliTest, InfoDescribesAModuleAndListsEveryModule) {
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
  EXPECT_TRUE(contains(cli({"info", "--json", "KTForker"}).out,
                       "{\"name\":\"forkAndSpeak\",\"description\":\"A child raises key with its "
                       "pid and says sentence\",\"params\":[{\"name\":\"key\",\"description\":"
                       "\"event the child raises\"},{\"name\":\"sentence\",\"description\":"
                       "\"what the child has the robot say\"}]}"));

  // As text: the description, then the methods in binding order.
  std::vector<std::string> l = lines(cli({"info", "KTOrrin"}).out);
  ASSERT_EQ(4u, l.size());
  EXPECT_EQ("KTOrrin", l[0]);
  EXPECT_TRUE(contains(l[1], "ktorrinは、rukoのシステムコントロールのためのモジュールです。"));
  EXPECT_TRUE(contains(l[2], "getRobotLog") && contains(l[2], "ロボットのログを取得する"));
  EXPECT_TRUE(contains(l[3], "init"));

  std::vector<std::string> names = lines(cli({"info"}).out);
  for (const char* n : {"ALMemory", "ALDialog", "ALMotion", "ALRobotPosture", "ALNavigation",
                        "ALAutonomousMoves", "ALFaceDetection", "ALAutonomousLife",
                        "ALBasicAwareness", "ALTextToSpeech", "ALSystem", "KTOrrin", "KTForker"})
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), n)) << n;
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
  EXPECT_EQ("\n", cli({"call", "KTOrrin.getRobotLog"}).out);
}

TEST_F(KtcliTest, ArgumentsResultsFaultsAndTheJournal) {
  ASSERT_EQ(0, cli({"journal", "--clear"}).status);
  EXPECT_EQ("", cli({"journal"}).out);
  // Text parameters keep the argument as written, even when it reads as a number.
  EXPECT_EQ(0, cli({"call", "ALMotion.moveTo", "0.5", "0", "0.2"}).status);
  for (const char* text : {"007", "\"quoted\"", "こんにちは 世界"})
    EXPECT_EQ(0, cli({"call", "ALTextToSpeech.say", text}).status);
  // A text result as it is, others as JSON, none as nothing.
  EXPECT_EQ("[0.5,0,0.2]\n", cli({"call", "ALMotion.getRobotPosition", "false"}).out);
  EXPECT_EQ("ruko\n", cli({"call", "ALSystem.robotName"}).out);
  Result none = cli({"call", "ALMotion.wakeUp"});
  EXPECT_EQ(0, none.status);
  EXPECT_EQ("", none.out);
  ASSERT_EQ(0, cli({"fault", "ALRobotPosture.goToPosture", "false"}).status);
  EXPECT_EQ("false\n", cli({"call", "ALRobotPosture.goToPosture", "Stand", "1"}).out);
  ASSERT_EQ(0, cli({"fault", "ALRobotPosture.goToPosture", "clear"}).status);
  EXPECT_EQ("true\n", cli({"call", "ALRobotPosture.goToPosture", "Stand", "0.5"}).out);
  EXPECT_EQ("ALMotion.moveTo [0.5,0,0.2]\nALTextToSpeech.say [\"007\"]\n"
            "ALTextToSpeech.say [\"quoted\"]\nALTextToSpeech.say [\"こんにちは 世界\"]\n"
            "ALMotion.getRobotPosition [false]\nALSystem.robotName []\nALMotion.wakeUp []\n"
            "ALRobotPosture.goToPosture [\"Stand\",1]\nALRobotPosture.goToPosture [\"Stand\",0.5]\n",
            cli({"journal", "--clear"}).out);
  EXPECT_EQ("", cli({"journal"}).out);

  ASSERT_EQ(0, cli({"insert", "ktlist", "[1, 2.5, \"a\\tb\", [true, null]]"}).status);
  EXPECT_EQ("[1,2.5,\"a\\tb\",[true,null]]\n", cli({"get", "ktlist"}).out);
  ASSERT_EQ(0, cli({"insert", "kttext", "plain words"}).status);
  EXPECT_EQ("plain words\n", cli({"get", "kttext"}).out);
}

// A call that fails exits 1; a command line that is wrong exits 64 before
// the robot is asked anything.
TEST_F(KtcliTest, FailuresAndMistakesExitWithTheirStatusAndTheErrorText) {
  const int failed = 1, mistake = 64;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string error;
    bool whole;  // the error is all of standard error
  };
  const Case cases[] = {
      {{"get", "no_such_key"}, failed, "no_such_key", false},
      {{"call", "KTOrrin.noSuchMethod"}, failed, "noSuchMethod", false},
      {{"call", "ALMotion.moveTo", "1"}, failed, "expects 3 argument(s), got 1", false},
      {{"call", "ALMotion.moveTo", "one", "0", "0"}, failed, "", false},
      {{"call", "ALAutonomousLife.setState", "asleep"}, failed,
       "ktcli: ALAutonomousLife.setState: unknown state asleep\n", true},
      {{"call", "ALMotion.wakeUp"}, failed, "ktcli: ALMotion.wakeUp: fault injected\n", true},
      {{"call"}, mistake, "", false},
      {{"call", "NoDot"}, mistake, "", false},
      {{"fault", "ALMotion.moveTo", "sometimes"}, mistake, "", false},
      // A fault that could never fire: no such service, method, or not a service.
      {{"fault", "ALNoSuchService.say", "throw"}, failed,
       "ktcli: the robot has no service named ALNoSuchService\n", true},
      {{"fault", "ALTextToSpeech.shout", "false"}, failed,
       "ktcli: ALTextToSpeech has no method named shout\n", true},
      {{"fault", "KTOrrin.getRobotLog", "throw"}, failed,
       "ktcli: the robot has no service named KTOrrin\n", true},
      {{"frobnicate"}, mistake, "", false},
      {{"watch", "never_raised", "--timeout", "0.3"}, failed, "watching", false},
      {{"watch", "never_raised", "--count", "2", "--timeout", "0.2"}, failed,
       "ktcli: watch timed out after 0.2 s, 0 event(s) seen\n", false},
      // An option without its value is a mistake, not one more pattern to wait for.
      {{"watch", "never_raised", "--count"}, mistake, "--count wants a value", false},
      {{"watch", "never_raised", "--timeout"}, mistake, "--timeout wants a value", false},
      // An unknown option is a mistake whatever the robot has.
      {{"info", "--bogus"}, mistake, "ktcli: info takes only --json and a MODULE, not --bogus\n", false},
      {{"watch", "never_raised", "--bogus"}, mistake, "ktcli: unknown watch option --bogus\n", false},
  };
  ASSERT_EQ(0, cli({"fault", "ALMotion.wakeUp", "throw"}).status);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    Result r = robot.cli(c.args);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_FALSE(r.err.empty());
    if (c.whole) {
      EXPECT_EQ(c.error, r.err);
    } else {
      EXPECT_TRUE(contains(r.err, c.error)) << r.err;
    }
  }
}

TEST_F(KtcliTest, RaiseReachesSubscriberAndWatchPrintsIt) {
  ASSERT_EQ(0, cli({"call", "KTForker.listen", "ktsignal"}).status);
  std::unique_ptr<kt::itest::Process> watch =
      robot.watch({"ktsig*", "other", "--count", "3"});
  ASSERT_EQ(0, cli({"raise", "ktsignal", "hello"}).status);
  ASSERT_EQ(0, cli({"raise", "unrelated", "1"}).status);
  ASSERT_EQ(0, cli({"raise", "ktsignal_2", "[1,2.5]"}).status);
  ASSERT_EQ(0, cli({"raise", "other", "{not json"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience()));
  EXPECT_EQ("ktsignal\t\"hello\"\nktsignal_2\t[1,2.5]\nother\t\"{not json\"\n", watch->out());

  // The subscriber ran in the robot process, with the raised value.
  Result got = cli({"call", "KTForker.received"});
  EXPECT_EQ("[[\"ktsignal\",\"hello\"," + std::to_string(robot.robotPid()) + "]]\n", got.out);
  // The event's value stays stored under its key.
  EXPECT_EQ("hello\n", cli({"get", "ktsignal"}).out);
}

// The robot's socket by default follows its root; --socket and
// KT_ROBOT_SOCKET override it, and --wait waits for a robot to come.
TEST(KtcliFindingTheRobot, ByRootOrSocketOrAfterWaiting) {
  RobotHarness robot;
  robot.socket = robot.root + "/var/run/ktrobot.sock";
  Result r = robot.cli({"info"});
  EXPECT_EQ(2, r.status);
  EXPECT_TRUE(contains(r.err, "no robot at " + robot.socket)) << r.err;
  double start = kt::itest::now();
  EXPECT_EQ(2, robot.cli({"--wait", "0.5", "call", "ALSystem.robotName"}).status);
  EXPECT_GE(kt::itest::now() - start, 0.5);

  std::unique_ptr<kt::itest::Process> waiting =
      robot.cliAsync({"--wait", std::to_string(kt::itest::patience()), "call",
                      "ALSystem.robotName"});
  ASSERT_TRUE(robot.start({"--load", RobotHarness::library("ktorrin"), "--name", "nao7"}, false))
      << robot.robotErr();
  EXPECT_EQ(0, waiting->wait(kt::itest::patience()));
  EXPECT_EQ("nao7\n", waiting->out());

  std::string cli = RobotHarness::bin("ktcli");
  Result byRoot = robot.run({cli, "call", "ALSystem.robotName"}, {"KT_ROBOT_ROOT=" + robot.root});
  EXPECT_EQ(0, byRoot.status) << byRoot.err;
  EXPECT_EQ("nao7\n", byRoot.out);
  EXPECT_EQ("nao7\n", robot.run({cli, "call", "ALSystem.robotName"}, {"KT_ROBOT_SOCKET=" + robot.socket}).out);

  // No robot: where that socket came from, and how to name another.
  const std::string none = robot.root + "/nothing";
  const std::pair<std::string, std::string> missing[] = {
      {"", "named by --socket"}, {"KT_ROBOT_SOCKET=" + none, "named by KT_ROBOT_SOCKET"},
      {"KT_ROBOT_ROOT=" + none, "the one under KT_ROBOT_ROOT=" + none}};
  for (const auto& m : missing) {
    Result r = m.first.empty() ? robot.run({cli, "--socket", none, "info"})
                               : robot.run({cli, "info"}, {m.first});
    EXPECT_EQ(2, r.status);
    EXPECT_TRUE(contains(r.err, "ktcli: the socket is " + m.second + "\nktcli: name another with "
                                "--socket PATH, KT_ROBOT_SOCKET=PATH, or KT_ROBOT_ROOT=DIR")) << r.err;
  }
}

}  // namespace
