// Robots that find each other and exchange signals: ktrobot processes
// with the robot link, each on its own network of a simulated one.
// ctest-timeout: 300
#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "vesper_robots.h"

using kt::itest::contains;
using kt::itest::Process;
using kt::itest::RobotHarness;
using kt::itest::VesperRobots;

namespace {

TEST_F(VesperRobots, ThreeRobotsFindEachOtherAndExchangeSignals) {
  KT_NEED_SIMNET(simnet, "robota", "robotb", "robotc");
  // Their pauses a tenth as long: packets half a second apart.
  setenv("KT_SLEEP_SCALE", "0.1", 1);
  startRobots({"robota", "robotb", "robotc"});

  kt::itest::Result info = robots[0]->cli({"info", "--json", "KTVesper"});
  auto method = [](const std::string& name, const std::string& description) {
    return "{\"name\":\"" + name + "\",\"description\":\"" + description + "\",\"params\":[]}";
  };
  EXPECT_EQ("{\"name\":\"KTVesper\",\"description\":\"ktvesperは、ロボット同士がネットワークを介して意思疎通するためのモジュールです。\","
            "\"methods\":[" +
                method("initTelepathy", "テレパシー機能の初期化") + "," +
                method("getRobotNumber", "認識しているすべてのロボット数を返す") + "," +
                method("setRobotNumber", "認識すべきロボット数を与える") + "," +
                method("disconnectAllRobots", "すべての接続ロボットを開放する") + "," +
                method("telepathyToRobot", "イベントをロボットに送る") + "," +
                method("searchRobots", "他のロボットの探索を開始します") + "," +
                method("getNameList", "認識している他のロボット名のリストを外部に送り出す") + "," +
                method("getRobotList", "認識している他のロボット情報のリストを外部に送り出す") + "," +
                method("testSignalSpeech", "テレパシーのテストシグナルを受け取って処理する") + "]}\n",
            info.out);

  // A touch on every head at once.
  std::vector<std::unique_ptr<Process>> touches;
  for (size_t i = 0; i < robots.size(); ++i) {
    call(i, {"KTVesper.setRobotNumber", "3"});
    touches.push_back(robots[i]->cliAsync({"raise", "FrontTactilTouched", "1.0"}));
  }
  for (auto& t : touches) EXPECT_EQ(0, t->wait(kt::itest::patience())) << t->err();
  for (size_t i = 0; i < robots.size(); ++i) {
    EXPECT_EQ((std::vector<std::string>{"robota", "robotb", "robotc"}), found(i)) << i;
    EXPECT_TRUE(contains(robots[i]->robotOut(), "says: 自己情報の送信をすべて終了しました。"));
  }

  // robota signals robotb, which raises it as coming from robota's address.
  call(0, {"KTVesper.initTelepathy"});
  std::unique_ptr<Process> watch =
      robots[1]->watch({"telepathy_from_*", "--count", "1", "--timeout", std::to_string(static_cast<int>(kt::itest::patience()))});
  EXPECT_EQ(0, robots[0]->cli({"raise", "telepathy_to_robotb", "hello"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience())) << watch->err();
  EXPECT_EQ("telepathy_from_" + simnet.address("robota") + "\t\"ktvesper:hello\\r\\n\"\n",
            watch->out());

  // robotb knows robota by its address.
  EXPECT_EQ(0, robots[1]->cli({"raise", "testSignalReceived", simnet.address("robota")}).status);
  EXPECT_TRUE(robots[1]->robot().waitFor(
      [&] {
        return contains(robots[1]->robotOut(),
                        "robotb says: robotaさんからテレパシーを受けとりました。わたしは、robotbです。\n");
      },
      kt::itest::patience()))
      << robots[1]->robotOut();

  EXPECT_TRUE(stopAll());
}

TEST_F(VesperRobots, ARobotKilledAndStartedAgainAtOnceServesItsPort) {
  KT_NEED_SIMNET(simnet, "robota");
  startRobots({"robota"});
  const std::string log = robots[0]->root + "/var/volatile/var/log/naoqi/tail-naoqi.log";
  for (int run = 0; run < 3; ++run) {
    // Killed outright: its server process goes by itself, and the port with
    // it, while the robot started again waits for it.
    std::ofstream(log.c_str(), std::ios::trunc);
    EXPECT_EQ(128 + SIGKILL, robots[0]->stop(SIGKILL));
    ASSERT_TRUE(robots[0]->start({"--name", "robota", "--load", RobotHarness::library("ktvesper")}))
        << robots[0]->robotErr();
    EXPECT_TRUE(kt::itest::eventually(
        [&] { return contains(robots[0]->tailLog(), "ロボットテレパシー  >> Server Start..."); }, kt::itest::patience()))
        << run << "\n" << robots[0]->tailLog() << portHolders("robota", 9595);
    EXPECT_FALSE(contains(robots[0]->tailLog(), "server: can't bind local address.")) << run;
  }
  EXPECT_TRUE(stopAll());
}

}  // namespace
