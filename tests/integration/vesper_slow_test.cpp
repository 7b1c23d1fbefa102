// The robot link at its real pace: a search that nobody answers, and fifty
// robots on one network, every table full, one robot signalling all.
// ctest-timeout: 400
// ctest-label: slow
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "vesper_robots.h"

namespace {

using kt::itest::contains;
using kt::itest::Process;
using kt::itest::VesperRobots;

TEST_F(VesperRobots, FiftyRobotsFillEveryTableAndOneSignalsAllTheOthers) {
  std::vector<std::string> names;
  for (int i = 1; i <= 50; ++i) names.push_back((i < 10 ? "robot0" : "robot") + std::to_string(i));
  KT_NEED_SIMNET(simnet, names);
  startRobots(names);
  std::vector<std::unique_ptr<Process>> running;
  for (size_t i = 0; i < robots.size(); ++i) {
    call(i, {"KTVesper.setRobotNumber", "50"});
    running.push_back(robots[i]->cliAsync({"raise", "FrontTactilTouched", "1.0"}));
  }
  for (auto& p : running) EXPECT_EQ(0, p->wait(3 * kt::itest::patience())) << p->err();
  for (size_t i = 0; i < robots.size(); ++i) EXPECT_EQ(names, found(i)) << names[i];

  // robot01 connects to every robot (itself too: fifty, the limit) and
  // signals the other 49 at once.
  call(0, {"KTVesper.initTelepathy"});
  EXPECT_FALSE(kt::itest::contains(robots[0]->robotOut(), "制限を越えました"));
  running.clear();
  for (size_t i = 1; i < robots.size(); ++i)
    running.push_back(robots[0]->cliAsync({"raise", "telepathy_to_" + names[i], "hello"}));
  for (auto& p : running) EXPECT_EQ(0, p->wait(kt::itest::patience())) << p->err();
  const std::string from = "telepathy_from_" + simnet.address(names[0]);
  for (size_t i = 1; i < robots.size(); ++i)
    EXPECT_TRUE(kt::itest::eventually(
        [&] { return robots[i]->cli({"get", from}).out == "ktvesper:hello\r\n\n"; }, kt::itest::patience()))
        << names[i] << ": " << robots[i]->cli({"get", from}).out;
  EXPECT_TRUE(stopAll());
}

TEST_F(VesperRobots, ASearchThatNobodyAnswersEndsAfterSixtySeconds) {
  KT_NEED_SIMNET(simnet, "robota");
  startRobots({"robota"});
  double start = kt::itest::now();
  std::unique_ptr<Process> touch = robots[0]->cliAsync({"raise", "FrontTactilTouched", "1.0"});
  // Six packets five seconds apart: the sender is done after about 30 s.
  const std::string sent = "robota says: 自己情報の送信をすべて終了しました。\n";
  ASSERT_TRUE(robots[0]->robot().waitFor([&] { return contains(robots[0]->robotOut(), sent); },
                                         30 + kt::itest::patience()));
  EXPECT_GE(kt::itest::now() - start, 29.0);
  EXPECT_EQ(0, touch->wait(60 + kt::itest::patience())) << touch->err();
  // Not before its bound; how long after it is the machine's business.
  EXPECT_GE(kt::itest::now() - start, 59.0);
  EXPECT_TRUE(contains(robots[0]->robotOut(), "robota says: ロボット情報の受信を終了しました。\n"));
  EXPECT_TRUE(contains(robots[0]->tailLog(), "時間がきたので、ロボット情報の受信を終了します。"));
  // It heard only itself.
  EXPECT_EQ("robota\n", call(0, {"KTVesper.getNameList"}));
  EXPECT_TRUE(stopAll());
}

}  // namespace
