// Input a client may send on purpose: refused, never run.
#include <gtest/gtest.h>

#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

class HostileInput : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(robot.start({"--load", RobotHarness::library("ktruko")})) << robot.robotErr();
  }
  Result change(const std::string& key) {
    return robot.cli({"call", "KTRuko.onVariablesChange", key, "1", "KTRuko"});
  }
  RobotHarness robot;
};

TEST_F(HostileInput, ANumberBeyondIntIsRefused) {
  for (const char* number : {"3e9", "1e10", "-3e9"}) {
    Result r = robot.cli({"call", "KTRuko.onUserIDChanged", "k", number, "KTRuko"});
    EXPECT_EQ(1, r.status) << number;
    EXPECT_TRUE(contains(r.err, "value out of range for int")) << r.err;
  }
  EXPECT_EQ(0, robot.cli({"call", "KTRuko.onUserIDChanged", "k", "2147483647", "KTRuko"}).status);
}

TEST_F(HostileInput, ACommandKeyWithCommasAppendsNothing) {
  for (const char* word : {"ktcom_ktwalk_1=まえ", "ktcom_ktwalk_2=いち", "ktcom_ktwalk_3=メートル"}) {
    std::string w = word;
    ASSERT_EQ(0, robot.cli({"insert", w.substr(0, w.find('=')), w.substr(w.find('=') + 1)}).status);
  }
  ASSERT_EQ(0, change("ktcom_ktinit").status);
  EXPECT_EQ(0, change("ktcom_ktwalk_,wait,2000000000").status);
  EXPECT_TRUE(contains(robot.tailLog(), "コマンド名にカンマがあるので、コマンドを作成しません。 = "
                                        "ktcom_ktwalk_,wait,2000000000"));
  ASSERT_EQ(0, change("ktcom_ktcomnum").status);
  EXPECT_EQ("データは、  0こです。\n", robot.cli({"get", "ktorrin_speak_words"}).out);
  // The same walk under its own key is taken.
  ASSERT_EQ(0, change("ktcom_ktwalk").status);
  ASSERT_EQ(0, change("ktcom_ktcomnum").status);
  EXPECT_EQ("データは、  1こです。\n", robot.cli({"get", "ktorrin_speak_words"}).out);
}

}  // namespace
