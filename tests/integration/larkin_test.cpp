// The typical road on one robot: it fetches its content from the content
// server, its dialog starts from it, and a walk variable of the example
// topics moves it. The robot's root is fresh: ktrobot lays out what every
// robot has. Runs in a network namespace of its own (the server binds its
// fixed port).
#include <gtest/gtest.h>

#include "robot_harness.h"
#include "contentpeer.h"
#include "ownnet.h"

namespace {

using kt::itest::contains;
using kt::itest::readFile;
using kt::itest::Result;
using kt::itest::RobotHarness;
using kt::test::ContentPeer;

const char* const kTopicNames[] = {"ruko_motion", "ruko_face", "ruko_command"};

std::string example(const std::string& relative) {
  return readFile(std::string(KT_SOURCE_DIR) + "/examples/" + relative);
}

TEST(RobotRoad, FetchedContentStartsTheDialogAndAWalkMovesTheRobot) {
  KT_NEED_OWN_NETWORK();
  ContentPeer peer;
  peer.put("ruko.conf", example("ruko.conf"));
  for (const char* name : kTopicNames)
    peer.put(std::string(name) + ".top", example(std::string("topics/") + name + ".top"));
  ASSERT_TRUE(peer.start());
  // The dialog's and the walk's pauses of a second, a tenth as long.
  setenv("KT_SLEEP_SCALE", "0.1", 1);
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", RobotHarness::library("ktlarkin"), "--load",
                           RobotHarness::library("ktruko")}))
      << robot.robotErr();

  Result fetched = robot.cli({"call", "KTLarkin.getTopicFiles", ContentPeer::kUser, ContentPeer::kSession});
  EXPECT_EQ(0, fetched.status) << fetched.err;
  EXPECT_EQ("SUCCESS\n", fetched.out);
  EXPECT_EQ(example("ruko.conf"), readFile(robot.root + "/home/nao/ruko/conf/ruko.conf"));
  for (const char* name : kTopicNames) {
    std::string file = std::string(name) + ".top";
    EXPECT_EQ(example("topics/" + file), readFile(robot.root + "/home/nao/ruko/dialog/topics/" + file)) << file;
  }

  Result started = robot.cli({"call", "KTRuko.startDialog", "Dialog"});
  EXPECT_EQ(0, started.status) << started.err;
  EXPECT_EQ("\n", started.out);
  std::string journal = robot.cli({"journal", "--clear"}).out;
  for (const char* name : kTopicNames) {
    std::string path = robot.root + "/home/nao/ruko/dialog/topics/" + name + ".top";
    EXPECT_TRUE(contains(journal, "ALDialog.loadTopic [\"" + path + "\"]")) << journal;
    EXPECT_TRUE(contains(journal, std::string("ALDialog.activateTopic [\"") + name + "\"")) << journal;
  }

  // What the rule "まえにあるいて" does: it sets its walk variable.
  std::unique_ptr<kt::itest::Process> watch =
      robot.watch({"did_ruko_walkforward", "--count", "1"});
  std::unique_ptr<kt::itest::Process> both =
      robot.watch({"ruko_walkforward", "did_ruko_walkforward", "--count", "2"});
  ASSERT_EQ(0, robot.cli({"insert", "ruko_walkforward", "1"}).status);
  ASSERT_EQ(0, robot.cli({"raise", "ruko_walkforward", "1"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience())) << watch->err();
  EXPECT_EQ("did_ruko_walkforward\t1\n", watch->out());
  // The completion is raised inside the variable's delivery, yet comes after it.
  EXPECT_EQ(0, both->wait(kt::itest::patience())) << both->err();
  EXPECT_EQ("ruko_walkforward\t1\ndid_ruko_walkforward\t1\n", both->out());
  std::vector<std::string> moves;
  for (const std::string& line : kt::itest::lines(robot.cli({"journal"}).out))
    if (line.compare(0, 16, "ALMotion.moveTo ") == 0) moves.push_back(line);
  EXPECT_EQ(std::vector<std::string>{"ALMotion.moveTo [0.5,0,0]"}, moves);

  // Stopping unloads the topics and the dialog subscription.
  ASSERT_EQ(0, robot.cli({"call", "KTRuko.stopDialog", "Dialog"}).status);
  EXPECT_EQ("[]\n", robot.cli({"call", "ALDialog.getLoadedTopics"}).out);
}

// A mistyped option is refused by name before anything listens (in a network
// of its own all the same: a wrong acceptance would bind the port).
TEST(ContentServerPeer, BadArgumentsAreRefusedAndTheAddressIsPrinted) {
  KT_NEED_OWN_NETWORK();
  RobotHarness harness;
  const std::string server = RobotHarness::bin("ktcontentserver");
  const std::string blank = std::string(ContentPeer::kSession).replace(31, 1, " ");
  const std::string longer = std::string(ContentPeer::kSession) + "0";
  const std::vector<std::string> cases[] = {
      {"--port", "70000", "--port wants a whole number from 1 to 65535, not 70000"},
      {"--port", "abc", "--port wants a whole number from 1 to 65535, not abc"},
      {"--port", "5591x", "--port wants a whole number from 1 to 65535, not 5591x"},
      {"--folder", "/nonexistent", "--folder /nonexistent: No such file"},
      {"--conf", "/", "--conf /: a folder, not a file"},
      {"--user", "u", "--session SESSION is required"},
      {"--session", ContentPeer::kSession, "--user USER is required"},
      // What could never serve a robot is refused before "ready".
      {"--log", "/nonexistent-dir/x.log", "--log /nonexistent-dir/x.log: No such file"},
      {"--log", "/", "--log /: a folder, not a file"},
      {"--session", "short", "--session short: the robot logs in only with a session of 32 "
                             "characters; this one has 5"},
      {"--session", longer, "--session " + longer + ": the robot logs in only with a session "
                                                    "of 32 characters; this one has 33"},
      {"--session", blank, "--session " + blank + ": the robot drops the blanks around"}};
  for (const auto& c : cases) {
    Result r = harness.run({server, c[0], c[1]});
    EXPECT_TRUE(r.status == 64 && r.err.find("ktcontentserver: " + c[2]) == 0 &&
                contains(r.err, "\nusage: ktcontentserver ") && r.out.empty())
        << r.status << r.err;
  }
  kt::itest::Process listening({server, "--user", "u", "--session", ContentPeer::kSession,
                                "--port", "65535"},
                               harness.root + "/server.out", harness.root + "/server.err");
  ASSERT_TRUE(listening.waitFor([&] { return contains(listening.out(), "ready\n"); },
                                kt::itest::patience()))
      << listening.out() << listening.err();
  EXPECT_EQ("listening on 127.0.0.1 port 65535\nready\n", listening.out()) << listening.err();
}

// A folder without ruko.conf is served with a warning said before "ready".
// Started as a script's background job (SIGINT ignored), the server still
// stops on SIGINT, as on SIGTERM, and says so.
TEST(ContentServerPeer, WarnsOfNoRukoConfAndStopsOnEitherSignalFromAScript) {
  KT_NEED_OWN_NETWORK();
  const std::pair<bool, int> cases[] = {{false, SIGINT}, {true, SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    RobotHarness harness;
    if (c.first) std::ofstream(harness.root + "/ruko.conf") << example("ruko.conf");
    kt::itest::Process server(
        {"/bin/sh", "-c", "trap '' INT; exec \"$0\" \"$@\"", RobotHarness::bin("ktcontentserver"),
         "--folder", harness.root, "--user", "u", "--session", ContentPeer::kSession},
        harness.root + "/server.out", harness.root + "/server.err");
    ASSERT_TRUE(server.waitFor([&] { return contains(server.out(), "ready\n"); },
                               kt::itest::patience()))
        << server.err();
    // Said before "ready": it is there once "ready" is.
    EXPECT_EQ(!c.first, contains(server.err(), "ktcontentserver: warning: " + harness.root +
                                                   "/ruko.conf: No such file or directory; a "
                                                   "robot asks for it first")) << server.err();
    server.signal(c.second);
    EXPECT_EQ(0, server.wait(kt::itest::patience()));
    EXPECT_TRUE(contains(server.out(), "ready\nktcontentserver: stopped\n")) << server.out();
  }
}

// What a user needs to serve content by hand is in the peer's own help.
TEST(ContentServerPeer, HelpTellsHowTheRobotReachesIt) {
  Result help = RobotHarness().run({RobotHarness::bin("ktcontentserver"), "--help"});
  EXPECT_EQ(0, help.status);
  for (const char* needed : {"KT_CONTENT_SERVER", "5591", "32 characters"})
    EXPECT_TRUE(contains(help.out, needed)) << needed << "\n" << help.out;
}

}  // namespace
