// ctest-timeout: 90
// The robot fetches its content from the content server and its dialog
// starts from it. Runs in a network namespace of its own (the server binds
// its fixed port).
#include <gtest/gtest.h>

#include <ktplatform/robotroot.h>

#include "robot_harness.h"
#include "../peers/contentpeer.h"
#include "../peers/ownnet.h"

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

class LarkinIntegrationTest : public ::testing::Test {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
    peer.put("ruko.conf", example("ruko.conf"));
    for (const char* name : kTopicNames) peer.put(std::string(name) + ".top", example(std::string("topics/") + name + ".top"));
    ASSERT_TRUE(peer.start());
    kt::makeFolders(robot.root + "/home/nao");  // there on every robot
    ASSERT_TRUE(robot.start({"--load", std::string(KT_LIB_DIR) + "/libktlarkin.so", "--load",
                             std::string(KT_LIB_DIR) + "/libktruko.so"}))
        << robot.robotErr();
  }

  ContentPeer peer;
  RobotHarness robot;
};

TEST_F(LarkinIntegrationTest, FetchedContentIsWhatTheDialogStartsFrom) {
  Result fetched = robot.cli({"call", "KTLarkin.getTopicFiles", ContentPeer::kUser, ContentPeer::kSession});
  EXPECT_EQ(0, fetched.status) << fetched.err;
  EXPECT_EQ("SUCCESS\n", fetched.out);
  EXPECT_EQ(example("ruko.conf"), readFile(robot.root + "/home/nao/ruko/conf/ruko.conf"));
  for (const char* name : kTopicNames) {
    std::string file = std::string(name) + ".top";
    EXPECT_EQ(example("topics/" + file), readFile(robot.root + "/home/nao/ruko/dialog/topics/" + file)) << file;
  }
  EXPECT_EQ(4u, peer.commands().size());

  Result started = robot.cli({"call", "KTRuko.startDialog", "Dialog"});
  EXPECT_EQ(0, started.status) << started.err;
  Result journal = robot.cli({"journal"});
  for (const char* name : kTopicNames) {
    std::string path = robot.root + "/home/nao/ruko/dialog/topics/" + name + ".top";
    EXPECT_TRUE(contains(journal.out, "ALDialog.loadTopic [\"" + path + "\"]")) << journal.out;
    EXPECT_TRUE(contains(journal.out, std::string("ALDialog.activateTopic [\"") + name + "\"")) << journal.out;
  }
  // The variables of the fetched configuration are subscribed.
  EXPECT_TRUE(contains(robot.tailLog(), "設定ファイル中の変数の数 = 16")) << robot.tailLog();
}

}  // namespace
