// Robots and other hosts on one simulated network, each robot a ktrobot
// process driven by ktcli: a robot wired and wireless at once is found and
// reached, silent connections from many addresses do not keep a robot's
// signal out, a host never gets a signal by announcing a robot's name nor
// takes a robot's row by announcing its address, and only whole signals
// and announcements count.
// ctest-timeout: 300
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vesper_robots.h"

using kt::itest::contains;
using kt::itest::Process;

namespace {

const int kTelepathyPort = 9595;

// A TCP connection from address from (0: any) to address to.
int dial(const std::string& from, const std::string& to) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in local = {}, remote = {};
  local.sin_family = remote.sin_family = AF_INET;
  remote.sin_port = htons(kTelepathyPort);
  inet_pton(AF_INET, to.c_str(), &remote.sin_addr);
  if (!from.empty()) inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  if ((!from.empty() && bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) ||
      connect(s, reinterpret_cast<struct sockaddr*>(&remote), sizeof remote) != 0) {
    close(s);
    return -1;
  }
  return s;
}

class VesperPeers : public kt::itest::VesperRobots {
protected:
  // Runs fn on the network of a member of the simulated network.
  void on(const std::string& member, const std::function<void()>& fn) {
    std::thread([&] {
      if (simnet.enter(member))
        fn();
      else
        ADD_FAILURE() << "cannot enter the network of " << member;
    }).join();
  }

  // ip(8) in a member's network namespace (or the bridge's, for "").
  void ip(const std::string& member, const std::string& args) {
    std::string ns = simnet.name() + (member.empty() ? "" : "-" + member);
    ASSERT_EQ(0, std::system(("ip -n " + ns + " " + args).c_str())) << args;
  }

  // Every robot expects this many, then all heads are touched at once.
  void searchAll(const std::string& expected) {
    std::vector<std::unique_ptr<Process>> touches;
    for (size_t i = 0; i < robots.size(); ++i) {
      call(i, {"KTVesper.setRobotNumber", expected});
      touches.push_back(robots[i]->cliAsync({"raise", "FrontTactilTouched", "1.0"}));
    }
    for (auto& t : touches) EXPECT_EQ(0, t->wait(kt::itest::patience())) << t->err();
  }

  bool logged(size_t robot, const std::string& part) {
    return kt::itest::eventually([&] { return contains(robots[robot]->tailLog(), part); },
                                 kt::itest::patience());
  }

  // Sends each text to robota's discovery port from the host's address
  // paired with it.
  void announce(const std::vector<std::pair<std::string, std::string>>& datagrams) {
    const std::string robota = simnet.address("robota");
    on("host", [&] {
      for (const auto& d : datagrams) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in from = {}, to = {};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, d.first.c_str(), &from.sin_addr);
        to.sin_port = htons(9599);
        inet_pton(AF_INET, robota.c_str(), &to.sin_addr);
        EXPECT_EQ(0, bind(s, reinterpret_cast<struct sockaddr*>(&from), sizeof from)) << d.first;
        EXPECT_EQ(static_cast<ssize_t>(d.second.size()),
                  sendto(s, d.second.data(), d.second.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to));
        close(s);
      }
    });
  }

  std::unique_ptr<Process> touch(size_t robot) {
    return robots[robot]->cliAsync({"raise", "FrontTactilTouched", "1.0"});
  }

  // What robot's memory holds under key ("" when nothing).
  std::string got(size_t robot, const std::string& key) {
    kt::itest::Result r = robots[robot]->cli({"get", key});
    return r.status == 0 ? r.out : "";
  }
};

TEST_F(VesperPeers, ARobotOnTwoInterfacesIsFoundAndOnlyWholeSignalsReachIt) {
  KT_NEED_SIMNET(simnet, "robota", "robotb", "host");
  // robotb is wired too, on the same network, and prefers it, as a robot
  // does: its datagrams and connections leave from eth0's 198.18.1.2.
  ip("", "link add eb type veth peer name eth0 netns " + simnet.name() + "-robotb");
  ip("", "link set eb master br0 up");
  ip("robotb", "addr add 198.18.1.2/15 dev eth0");
  ip("robotb", "link set eth0 up");
  ip("robotb", "route replace default dev eth0 src 198.18.1.2");
  ip("robotb", "route del 198.18.0.0/15 dev wlan0");
  ip("robotb", "route add 198.18.0.0/15 dev wlan0 src 198.18.0.2 metric 600");
  setenv("KT_SLEEP_SCALE", "0.1", 1);
  startRobots({"robota", "robotb"});
  searchAll("2");
  EXPECT_TRUE(contains(call(0, {"KTVesper.getRobotList"}), "robotb&198.18.0.2"));
  EXPECT_TRUE(logged(0, "このロボットは送信元と違うアドレスを知らせました。 robot = robotb 送信元 = "
                        "198.18.1.2 IP = 198.18.0.2"));

  // A line cut short by its sender closing, or whose NUL would end its
  // text early, raises nothing.
  on("host", [] {
    for (const std::string& line : {std::string("ktvesper:cut"), std::string("ktvesper:abc\0def\r\n", 18)}) {
      int s = dial("", "198.18.0.2");
      ASSERT_GE(s, 0);
      send(s, line.data(), line.size(), MSG_NOSIGNAL);
      close(s);
    }
  });
  EXPECT_TRUE(logged(1, "テレパシー受信に失敗： 中止 = ktvesper:cut"));
  EXPECT_TRUE(logged(1, "テレパシー受信に失敗： 中止 = ktvesper:abc\n"));
  EXPECT_EQ("", got(1, "telepathy_from_" + simnet.address("host")));

  // A value with a NUL is not sent; the next signal is the first to come.
  call(0, {"KTVesper.initTelepathy"});
  std::unique_ptr<Process> watch =
      robots[1]->watch({"telepathy_from_*", "--count", "1", "--timeout", std::to_string(static_cast<int>(kt::itest::patience()))});
  EXPECT_EQ(0, robots[0]->cli({"raise", "telepathy_to_robotb", "\"cut\\u0000short\""}).status);
  EXPECT_TRUE(logged(0, "送付する値にNUL文字があります： 中止"));
  EXPECT_EQ(0, robots[0]->cli({"raise", "telepathy_to_robotb", "hello"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience())) << watch->err();
  EXPECT_EQ("telepathy_from_198.18.0.1\t\"ktvesper:hello\\r\\n\"\n", watch->out());

  // robotb's own signals leave from the address it announced, so that they
  // are known to come from it.
  call(1, {"KTVesper.initTelepathy"});
  watch = robots[0]->watch({"telepathy_from_*", "--count", "1"});
  EXPECT_EQ(0, robots[1]->cli({"raise", "telepathy_to_robota", "back"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience())) << watch->err();
  EXPECT_EQ("telepathy_from_198.18.0.2\t\"ktvesper:back\\r\\n\"\n", watch->out());
  EXPECT_TRUE(stopAll());
}

TEST_F(VesperPeers, SilentConnectionsFromFortyAddressesDoNotKeepARobotsSignalOut) {
  KT_NEED_SIMNET(simnet, "robota", "robotb", "host");
  setenv("KT_SLEEP_SCALE", "0.1", 1);
  startRobots({"robota", "robotb"});
  searchAll("2");
  // 4 connections from each of 40 addresses: more than robotb serves.
  std::vector<std::string> addresses;
  for (int i = 1; i <= 40; ++i) {
    addresses.push_back("198.18.2." + std::to_string(i));
    ip("host", "addr add " + addresses.back() + "/15 dev wlan0");
  }
  std::vector<int> held;
  on("host", [&] {
    for (const std::string& from : addresses)
      for (int n = 0; n < 4; ++n) held.push_back(dial(from, "198.18.0.2"));
  });
  EXPECT_TRUE(logged(1, "テレパシー接続数が上限[150]に達しているので、接続の多い相手の古い接続を閉じました。"));

  call(0, {"KTVesper.initTelepathy"});
  std::unique_ptr<Process> watch =
      robots[1]->watch({"telepathy_from_*", "--count", "1", "--timeout", std::to_string(static_cast<int>(kt::itest::patience()))});
  EXPECT_EQ(0, robots[0]->cli({"raise", "telepathy_to_robotb", "hello"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience())) << watch->err();
  EXPECT_EQ("telepathy_from_198.18.0.1\t\"ktvesper:hello\\r\\n\"\n", watch->out());
  for (int s : held) close(s);
  EXPECT_TRUE(stopAll());
}

TEST_F(VesperPeers, AHostThatAnnouncesARobotsNameNeverReceivesItsSignalEvenAfter300Contests) {
  KT_NEED_SIMNET(simnet, "robota", "robotb", "robotc", "robotd", "host");
  setenv("KT_SLEEP_SCALE", "0.1", 1);
  startRobots({"robota", "robotb", "robotc", "robotd"});
  const std::string host = simnet.address("host");
  for (size_t i = 1; i < robots.size(); ++i) call(i, {"KTVesper.setRobotNumber", "1"});
  call(0, {"KTVesper.setRobotNumber", "3"});
  std::vector<std::unique_ptr<Process>> touches;
  touches.push_back(touch(0));
  ASSERT_TRUE(logged(0, "ループスタート loop No. = 1"));
  // First 300 names, each announced from two other addresses of the host, a
  // few at a time so that none is dropped: robota must keep every refusal.
  const std::string contested = "二つの送信元が同じ名前を知らせたので、どちらのロボットも登録しません。";
  ip("host", "addr add 198.18.2.1/15 dev wlan0");
  ip("host", "addr add 198.18.2.2/15 dev wlan0");
  for (int first = 0; first < 300; first += 50) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = first; i < first + 50; ++i)
      for (const std::string from : {"198.18.2.1", "198.18.2.2"})
        pairs.push_back({from, "ktmyprofile:name" + std::to_string(i) + ":" + from});
    announce(pairs);
    ASSERT_TRUE(logged(0, contested + " robot = name" + std::to_string(first + 49) + " "));
  }
  // The host takes any connection, and announces robotb's name with its own
  // address: robota hears it first, then the real robotb, then the host
  // again, then two more robots.
  std::atomic<bool> done(false);
  std::atomic<int> reached(0);
  std::atomic<bool> serving(false);
  std::thread hosting([&] {
    if (!simnet.enter("host")) return;
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(kTelepathyPort);
    int serve = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    serving = bind(serve, reinterpret_cast<struct sockaddr*>(&any), sizeof any) == 0 && listen(serve, 16) == 0;
    struct pollfd p = {serve, POLLIN, 0};
    while (!done)
      if (poll(&p, 1, 50) == 1) {
        close(accept(serve, nullptr, nullptr));
        ++reached;
      }
    close(serve);
  });
  ASSERT_TRUE(kt::itest::eventually([&] { return serving.load(); }, kt::itest::patience()));
  const std::string claim = "ktmyprofile:robotb:" + host;
  announce({{host, claim}});
  EXPECT_TRUE(logged(0, "ロボット名 'robotb' (IP: " + host + ")"));
  touches.push_back(touch(1));
  EXPECT_TRUE(logged(0, contested + " robot = robotb 送信元 = " + host + ", " + simnet.address("robotb")));
  announce({{host, claim}});
  for (size_t i = 2; i < robots.size(); ++i) touches.push_back(touch(i));
  for (auto& t : touches) EXPECT_EQ(0, t->wait(kt::itest::patience())) << t->err();
  EXPECT_EQ((std::vector<std::string>{"robota", "robotc", "robotd"}), found(0));

  call(0, {"KTVesper.initTelepathy"});
  call(0, {"KTVesper.telepathyToRobot", "telepathy_to_robotb", "hello", "KTVesper"});
  EXPECT_TRUE(logged(0, "相手ロボットへのシグナル送付に失敗。"));
  done = true;
  hosting.join();
  EXPECT_EQ(0, reached);
  EXPECT_EQ("", got(1, "telepathy_from_" + simnet.address("robota")));
  EXPECT_TRUE(stopAll());
}

TEST_F(VesperPeers, ARobotsAddressAnnouncedByAnotherHostBeforeOrAfterItSpeaksStaysItsOwn) {
  KT_NEED_SIMNET(simnet, "robota", "robotb", "robotc", "host");
  setenv("KT_SLEEP_SCALE", "0.1", 1);
  startRobots({"robota", "robotb", "robotc"});
  const std::string b = simnet.address("robotb"), host = simnet.address("host");
  ip("host", "addr add 198.18.2.1/15 dev wlan0");
  ip("host", "addr add 198.18.2.2/15 dev wlan0");
  // A copy of robotb's announcement, and another name with its address,
  // from two other addresses of the host.
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {"198.18.2.1", "ktmyprofile:robotb:" + b}, {"198.18.2.2", "ktmyprofile:evil:" + b}};
  for (size_t i = 0; i < robots.size(); ++i) call(i, {"KTVesper.setRobotNumber", i ? "1" : "3"});
  std::vector<std::unique_ptr<Process>> touches;
  touches.push_back(touch(0));
  ASSERT_TRUE(logged(0, "ループスタート loop No. = 1"));
  // Then an announcement longer than the receive buffer, which would end in
  // a cut address: it gives no row.
  std::string cut(2000, ':');
  cut.replace(cut.size() - 32, 32, "ktmyprofile:cutname:198.18.7.150");
  announce({hostile[0], hostile[1], {host, cut}});
  EXPECT_TRUE(logged(0, "二つの送信元が同じアドレスを知らせたので、どちらのロボットも登録しません。 IP = " + b +
                            " 送信元 = 198.18.2.1, 198.18.2.2"));

  // robotb's own announcement, its first sent before its touch returns,
  // takes its address back; after it, the host's change nothing.
  EXPECT_EQ(0, touch(1)->wait(kt::itest::patience()));
  announce(hostile);
  touches.push_back(touch(2));
  for (auto& t : touches) EXPECT_EQ(0, t->wait(kt::itest::patience())) << t->err();
  EXPECT_EQ((std::vector<std::string>{"robota", "robotb", "robotc"}), found(0));
  EXPECT_TRUE(contains(call(0, {"KTVesper.getRobotList"}), "robotb&" + b));

  call(0, {"KTVesper.initTelepathy"});
  std::unique_ptr<Process> watch =
      robots[1]->watch({"telepathy_from_*", "--count", "1", "--timeout",
                        std::to_string(static_cast<int>(kt::itest::patience()))});
  EXPECT_EQ(0, robots[0]->cli({"raise", "telepathy_to_robotb", "hello"}).status);
  EXPECT_EQ(0, watch->wait(kt::itest::patience())) << watch->err();
  EXPECT_EQ("telepathy_from_198.18.0.1\t\"ktvesper:hello\\r\\n\"\n", watch->out());
  EXPECT_TRUE(stopAll());
}

}  // namespace
