// Robots with the robot link, each a ktrobot process on its own network of
// a simulated one.
#ifndef VESPER_ROBOTS_H
#define VESPER_ROBOTS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "robot_harness.h"
#include "simnet.h"

namespace kt {
namespace itest {

class VesperRobots : public ::testing::Test {
protected:
  // Starts one robot per name on the network, named so.
  void startRobots(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      robots.emplace_back(new RobotHarness);
      robots.back()->launcher = simnet.launcher(name);
      ASSERT_TRUE(robots.back()->start({"--name", name, "--load", RobotHarness::library("ktvesper")}))
          << robots.back()->robotErr();
    }
  }

  std::string call(size_t robot, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"call"};
    all.insert(all.end(), args.begin(), args.end());
    kt::itest::Result r = robots[robot]->cli(all, 100);
    EXPECT_EQ(0, r.status) << r.err;
    return r.out;
  }

  // The names a robot's last search found, sorted.
  std::vector<std::string> found(size_t robot) {
    std::string names = call(robot, {"KTVesper.getNameList"});
    std::vector<std::string> out;
    std::string::size_type start = 0, end;
    while ((end = names.find_first_of(":\n", start)) != std::string::npos) {
      out.push_back(names.substr(start, end - start));
      start = end + 1;
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Who holds a TCP port on a member's network: for a test that finds the
  // port taken to say by whom.
  std::string portHolders(const std::string& member, int port) {
    return robots.front()->run({"/usr/sbin/ip", "netns", "exec", simnet.name() + "-" + member, "ss",
                                "-Htanp", "sport = :" + std::to_string(port)}).out;
  }

  // Stops every robot; true when nothing is left running on the network.
  bool stopAll() {
    for (auto& r : robots) EXPECT_EQ(0, r->stop()) << r->robotErr();
    return kt::itest::eventually([&] { return simnet.pids().empty(); }, kt::itest::patience());
  }

  kt::test::SimNet simnet;
  std::vector<std::unique_ptr<RobotHarness>> robots;
};

}  // namespace itest
}  // namespace kt

#endif
