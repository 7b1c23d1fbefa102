// Many clients calling at once each get their own right answers, and the
// robot stays up. Counts no higher than it takes to show a crossed answer or
// a leak: the sanitizer runs take these tests too.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <alvalue/alvalue.h>
#include <ktplatform/remote.h>

#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::RobotHarness;

namespace {

const int kClients = 8;
const int kCalls = 1000;

// Descriptors a process has open.
int descriptorsOf(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

TEST(RobotLoad, EightClientsOfAThousandCallsEach) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", RobotHarness::library("ktorrin")}));
  std::atomic<int> wrong(0), failed(0), done(0);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      kt::remote::Connection robotLink;
      if (!robotLink.open(robot.socket, nullptr)) {
        ++failed;
        return;
      }
      for (int i = 0; i < kCalls; ++i) {
        // Each client stores and reads back its own values, and asks a
        // question whose answer depends on its own argument.
        std::string key = "client" + std::to_string(c);
        std::string value = std::to_string(c) + ":" + std::to_string(i);
        try {
          AL::ALValue answer;
          switch (i % 3) {
            case 0:
              robotLink.request(AL::ALValue::array("calltext", "ALMemory", "insertData",
                                                   AL::ALValue::array(key, value)));
              answer = robotLink.request(AL::ALValue::array("calltext", "ALMemory", "getData",
                                                            AL::ALValue::array(key)));
              if (!answer.isString() || static_cast<std::string>(answer) != value) ++wrong;
              break;
            case 1:
              answer = robotLink.request(AL::ALValue::array(
                  "call", "ALRobotPosture", "goToPosture",
                  AL::ALValue::array(i % 2 ? "Stand" : "Nowhere" + value, 1.0f)));
              if (!answer.isBool() || static_cast<bool>(answer) != (i % 2 == 1)) ++wrong;
              break;
            default:
              answer = robotLink.request(
                  AL::ALValue::array("call", "ALSystem", "robotName", AL::ALValue::array()));
              if (!answer.isString() || static_cast<std::string>(answer) != "ruko") ++wrong;
          }
        } catch (const std::exception&) {
          ++failed;
          return;
        }
      }
      ++done;
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(kClients, done.load());
  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, wrong.load());

  // Still up, and every call was journaled once.
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
  size_t journaled = kt::itest::lines(robot.cli({"journal"}).out).size();
  EXPECT_EQ(static_cast<size_t>(kClients) * (kCalls + kCalls / 3 + 1) + 1, journaled);
}

// Each forwarded call is a connection of its own: the robot keeps none of
// them once they end.
TEST(RobotLoad, EightForkedProcessesCallingAtOnceEachGetTheirOwnAnswers) {
  if (std::string(kt::test::sanitizer()) == "address")
    GTEST_SKIP() << "AddressSanitizer's allocator is not safe across fork: a child can inherit "
                    "its lock held by another thread of the robot and hang";
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", RobotHarness::forkerLibrary()}));
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
  int before = descriptorsOf(robot.robotPid());
  // 100 rounds of store and read back: 200 forwarded calls per process.
  kt::itest::Result r = robot.cli({"call", "KTForker.forkCallers", "8", "100"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("[0,0,0,0,0,0,0,0]\n", r.out) << robot.robotErr();
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
  // Measured after a call both times: that call's own descriptor may be
  // open still or already closed.
  EXPECT_TRUE(kt::itest::eventually([&] { return descriptorsOf(robot.robotPid()) <= before; },
                                    kt::itest::patience()))
      << descriptorsOf(robot.robotPid()) << " descriptors open, " << before << " before";
}

}  // namespace
