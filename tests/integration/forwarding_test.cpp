// Processes forked by a module call the robot through the proxies they
// inherited: their calls reach the robot process and behave as if made there.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <alvalue/alvalue.h>
#include <ktplatform/json.h>
#include <ktplatform/remote.h>

#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

class ForwardingTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(robot.start({"--load", RobotHarness::forkerLibrary()})) << robot.robotErr();
  }

  // [child pid, exit status] of one forkAndSpeak.
  AL::ALValue forkAndSpeak(const std::string& key, const std::string& sentence) {
    Result r = robot.cli({"call", "KTForker.forkAndSpeak", key, sentence});
    EXPECT_EQ(0, r.status) << r.err;
    AL::ALValue v;
    EXPECT_TRUE(kt::parseJson(r.out, v)) << r.out;
    return v;
  }

  RobotHarness robot;
};

TEST_F(ForwardingTest, ChildCallsReachTheRobotAsIfMadeThere) {
  ASSERT_EQ(0, robot.cli({"call", "KTForker.listen", "forker_event"}).status);
  std::unique_ptr<kt::itest::Process> watch =
      robot.watch({"forker_event", "--count", "1"});
  AL::ALValue child = forkAndSpeak("forker_event", "子プロセスから話します。");
  ASSERT_EQ(2u, child.getSize());
  EXPECT_EQ(0, static_cast<int>(child[1])) << robot.robotErr();
  std::string childPid = std::to_string(static_cast<int>(child[0]));
  EXPECT_NE(std::to_string(robot.robotPid()), childPid);

  // The subscriber ran in the robot process, with the value the child raised.
  EXPECT_EQ("[[\"forker_event\"," + childPid + "," + std::to_string(robot.robotPid()) + "]]\n",
            robot.cli({"call", "KTForker.received"}).out);
  EXPECT_EQ(childPid + "\n", robot.cli({"get", "forker_event"}).out);
  EXPECT_EQ(0, watch->wait(kt::itest::patience()));
  EXPECT_EQ("forker_event\t" + childPid + "\n", watch->out());

  // The robot's speech service said it: journal, transcript on its output.
  std::string journal = robot.cli({"journal"}).out;
  EXPECT_TRUE(contains(journal, "ALMemory.raiseEvent [\"forker_event\"," + childPid + "]\n")) << journal;
  EXPECT_TRUE(contains(journal, "ALTextToSpeech.say [\"子プロセスから話します。\"]\n"));
  EXPECT_TRUE(robot.robot().waitFor(
      [&] { return contains(robot.robotOut(), "ruko says: 子プロセスから話します。\n"); },
      kt::itest::patience()));

  // The robot ignores SIGPIPE and handles SIGINT and SIGTERM; a child, and
  // whatever it runs, must not inherit that.
  EXPECT_EQ("0\n", robot.cli({"call", "KTForker.childSignals"}).out);

  // The robot's error reaches the child; the event before it was delivered.
  ASSERT_EQ(0, robot.cli({"fault", "ALTextToSpeech.say", "throw"}).status);
  EXPECT_EQ(1, static_cast<int>(forkAndSpeak("faulty", "never said")[1]));
  EXPECT_TRUE(robot.robot().waitFor(
      [&] { return contains(robot.robotErr(), "forker child: ALTextToSpeech.say: fault injected"); },
      kt::itest::patience()))
      << robot.robotErr();
  EXPECT_EQ(0, robot.cli({"get", "faulty"}).status);
}

// A fork while other threads of the robot are busy with clients (holding the
// broker's and the services' locks now and then) must not leave the child
// stuck on one of them.
TEST_F(ForwardingTest, ForksWhileTheRobotIsBusyStillReachIt) {
  std::atomic<bool> done(false);
  std::atomic<int> failures(0);
  std::vector<std::thread> busy;
  for (int t = 0; t < 4; ++t) {
    busy.emplace_back([&, t] {
      kt::remote::Connection c;
      if (!c.open(robot.socket, nullptr)) {
        ++failures;
        return;
      }
      for (int i = 0; !done; ++i) {
        try {
          std::string key = "busy" + std::to_string(t);
          c.request(AL::ALValue::array("calltext", "ALMemory", "insertData",
                                       AL::ALValue::array(key, std::to_string(i))));
          c.request(AL::ALValue::array("calltext", "ALMemory", "raiseEvent",
                                       AL::ALValue::array(key, std::to_string(i))));
        } catch (const std::exception&) {
          ++failures;
          return;
        }
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    AL::ALValue child = forkAndSpeak("busy_fork", "fork " + std::to_string(i));
    ASSERT_EQ(0, static_cast<int>(child[1])) << "fork " << i << ": " << robot.robotErr();
  }
  done = true;
  for (std::thread& t : busy) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_TRUE(contains(robot.cli({"journal"}).out, "ALTextToSpeech.say [\"fork 19\"]\n"));
}

}  // namespace
