// The client side of the telepathy link, between robots on a simulated
// network: this test is robota; robotc serves; robotb is down unless a test
// plays it.
// ctest-timeout: 300
#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ktplatform/sleephook.h>

#include "link_fixture.h"
#include "simnet.h"

namespace {

// A robot's telepathy port played on its network: each connection is
// greeted (or closed at once, when it does not greet), and its line
// recorded and answered. Greetings can be held back.
class PeerPlay {
public:
  PeerPlay(kt::test::SimNet& net, const std::string& robot, bool greets = true) : fGreets(greets) {
    int s = -1;
    std::thread([&] { s = net.enter(robot) ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1; })
        .join();
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(KTTelpnet::kTelepathyPort);
    EXPECT_TRUE(bind(s, reinterpret_cast<struct sockaddr*>(&any), sizeof any) == 0 && listen(s, 64) == 0);
    fThread = std::thread([this, s] {
      struct pollfd p = {s, POLLIN, 0};
      while (!fStop)
        if (poll(&p, 1, 50) == 1) serve(accept4(s, nullptr, nullptr, SOCK_CLOEXEC));
      close(s);
    });
  }
  ~PeerPlay() {
    {
      // A test that failed with a connection open still ends: its thread
      // is woken, not waited for.
      std::lock_guard<std::mutex> lock(fMutex);
      fStop = true;
      for (int c : fOpen) shutdown(c, SHUT_RDWR);
    }
    fChanged.notify_all();
    fThread.join();
    for (std::thread& t : fConnections) t.join();
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fLines;
  }
  int accepted() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fAccepted;
  }
  void holdGreetings(bool hold) {
    std::lock_guard<std::mutex> lock(fMutex);
    fHold = hold;
    fChanged.notify_all();
  }

private:
  void serve(int c) {
    std::lock_guard<std::mutex> lock(fMutex);
    ++fAccepted;
    fOpen.push_back(c);
    fConnections.emplace_back([this, c] {
      KTSocket wire("test");
      char line[KTSocket::kLineSize];
      bool greeted = false;
      {
        std::unique_lock<std::mutex> lock(fMutex);
        fChanged.wait_for(lock, std::chrono::duration<double>(kt::test::patience()), [this] { return !fHold || fStop; });
      }
      if (fGreets && (greeted = wire.send_line(c, "100: Hello! we are connected!\r\n")) &&
          wire.read_signal_line(c, line) == KTSocket::kLineWhole) {
        wire.send_line(c, (std::string("100: Received your command with value = ") + line).c_str());
        std::lock_guard<std::mutex> lock(fMutex);
        fLines.push_back(line);
      }
      std::lock_guard<std::mutex> lock(fMutex);
      fOpen.erase(std::find(fOpen.begin(), fOpen.end(), c));
      close(c);
    });
  }

  const bool fGreets;
  std::atomic<bool> fStop{false};
  std::thread fThread;
  std::vector<std::thread> fConnections;
  std::mutex fMutex;
  std::condition_variable fChanged;
  bool fHold = false;
  int fAccepted = 0;
  std::vector<int> fOpen;
  std::vector<std::string> fLines;
};

class TelepathyClientTest : public kt::test::LinkTest {
protected:
  void SetUp() override {
    LinkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    KT_NEED_SIMNET(simnet, "robota", "robotb", "robotc");
    ASSERT_TRUE(simnet.enter("robota"));
    net.reset(new KTTelpnet(broker, broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory")));
    server = fork();
    if (server == 0) _exit(simnet.enter("robotc") && net->initServer() ? 0 : 1);
    ASSERT_TRUE(kt::test::eventually(
        [&] { return kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort, server); }, kt::test::patience()));
    search({"robotb", "robotc"});
  }

  // A search on robota that hears these robots, in this order, each
  // announcing itself from its own network.
  void search(const std::vector<std::string>& robots) {
    std::vector<std::pair<std::string, std::string>> said;
    for (const std::string& r : robots) said.push_back({r, "ktmyprofile:" + r + ":" + simnet.address(r)});
    search(said, static_cast<int>(robots.size()));
  }

  // A search on robota for rnum robots that hears each text, in this order,
  // from the network of the member paired with it.
  void search(const std::vector<std::pair<std::string, std::string>>& said, int rnum) {
    std::thread receiving([&] { net->recvRobotInfo(rnum); });
    EXPECT_TRUE(kt::test::eventually(
        [] { return kt::test::portInUse("udp", KTTelpnet::kDiscoveryPort); }, kt::test::patience()));
    for (const auto& s : said)
      std::thread([&] {
        if (simnet.enter(s.first)) kt::test::sendDatagrams({s.second}, simnet.address("robota"));
      }).join();
    receiving.join();
  }

  // What robotc's server raised on this robot.
  std::string fromRobota() {
    const char* key = "telepathy_from_198.18.0.1";
    return robot.memory().hasData(key) ? std::string(robot.memory().getData(key)) : "";
  }

  void TearDown() override {
    if (server > 0) kill(server, SIGINT), waitpid(server, nullptr, 0);
    LinkTest::TearDown();
  }

  bool logged(qi::LogLevel level, const std::string& message) {
    return log.has(level, "ktvesper", message);
  }

  // What initClient prints on standard output, and its result in *made.
  std::string connect(char* name, bool* made) {
    testing::internal::CaptureStdout();
    *made = net->initClient(name);
    return testing::internal::GetCapturedStdout();
  }

  kt::test::SimNet simnet;
  std::unique_ptr<KTTelpnet> net;
  pid_t server = -1;
  char robotb[7] = "robotb";
  char robotc[7] = "robotc";
};

TEST_F(TelepathyClientTest, ASignalReachesTheRobotThatServesOncePerConnection) {
  EXPECT_EQ("198.18.0.1", net->getIpadress());
  bool made = true;
  // The first robot is down: the second is still reached.
  EXPECT_EQ("サーバーに接続できません： 中止\n", connect(robotb, &made));
  EXPECT_FALSE(made);
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "相手ロボットに接続できません： 中止"));
  // Refused: it answered, so the address was not at fault.
  EXPECT_FALSE(logged(qi::LogLevel_Warning,
                      "通知したアドレス 198.18.0.1 から相手ロボットにつながらないので、ほかのアドレスから"
                      "接続します。相手はこのロボットを知らないアドレスから受けることがあります。 robot = robotb"));
  {
    // One that closes before its greeting is no connection either.
    PeerPlay closing(simnet, "robotb", false);
    EXPECT_EQ("サーバーに接続できません： 中止\n", connect(robotb, &made));
    EXPECT_FALSE(made);
    EXPECT_TRUE(logged(qi::LogLevel_Warning, "相手ロボットが挨拶せずに接続を閉じました： 中止 = "));
    EXPECT_EQ(0, net->getConnectedClientNumber());
  }
  ASSERT_TRUE(net->initClient(robotc));
  EXPECT_TRUE(logged(qi::LogLevel_Info,
                     "相手ロボットに接続しました。 robot says = 100: Hello! we are connected!\r\n"));
  EXPECT_EQ(1, net->getConnectedClientNumber());
  EXPECT_GE(net->getSocketFromRobotName("robotc"), 0);
  EXPECT_EQ(net->getSocketFromRobotName("robotc"), net->getSocketFromIP("198.18.0.3"));

  // Unknown names and values that do not fit the line write nothing.
  EXPECT_FALSE(net->sendSignal(const_cast<char*>("nobody"), "hello"));
  EXPECT_FALSE(net->sendSignal(robotc, std::string(501, 'v')));
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "送付する値が長すぎます： 中止 = 501バイト"));
  EXPECT_TRUE(net->sendSignal(robotc, "hello"));
  EXPECT_EQ(std::vector<unsigned int>{1}, sleeps.calls());
  EXPECT_TRUE(logged(qi::LogLevel_Info, "次のコマンドを送付します。 send_buf = ktvesper:hello\r\n"));
  // robotc raised it on its robot (here the same one), once it had answered.
  EXPECT_TRUE(kt::test::eventually([&] { return fromRobota() == "ktvesper:hello\r\n"; }, kt::test::patience()));
  EXPECT_FALSE(net->sendSignal(robotc, "again"));
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "コマンド送付に失敗： 中止 = この接続の信号はもう送られました"));

  // A value is one whole line: no line break, no NUL that would end it
  // early; a lone CR is a byte like any other.
  ASSERT_TRUE(net->initClient(robotc));
  int on = 0;
  socklen_t size = sizeof on;
  getsockopt(net->getSocketFromRobotName("robotc"), SOL_SOCKET, SO_KEEPALIVE, &on, &size);
  EXPECT_EQ(1, on);  // it may wait long for its signal
  EXPECT_FALSE(net->sendSignal(robotc, "two\nlines"));
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "送付する値に改行があります： 中止"));
  EXPECT_FALSE(net->sendSignal(robotc, std::string("hel\0lo", 6)));
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "送付する値にNUL文字があります： 中止"));
  EXPECT_TRUE(net->sendSignal(robotc, "car\rriage"));
  EXPECT_TRUE(kt::test::eventually([&] { return fromRobota() == "ktvesper:car\rriage\r\n"; }, kt::test::patience()))
      << fromRobota();

  // The pause before the reply is read is a real second.
  kt::setSleepHook(kt::SleepHook());
  ASSERT_TRUE(net->initClient(robotc));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(net->sendSignal(robotc, "hello"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
}

TEST_F(TelepathyClientTest, WhereTheAnnouncedAddressFindsNoWayTheConnectionLeavesFromAnother) {
  // robota's own address has no way to robotc; another of robota's has.
  ASSERT_EQ(0, system("ip addr add 198.18.1.1/32 dev wlan0 && "
                      "ip route add 198.18.0.3/32 dev wlan0 src 198.18.1.1 && "
                      "ip rule add from 198.18.0.1 to 198.18.0.3 prohibit pref 100"));
  ASSERT_TRUE(net->initClient(robotc));
  EXPECT_TRUE(logged(qi::LogLevel_Warning,
                     "通知したアドレス 198.18.0.1 から相手ロボットにつながらないので、ほかのアドレスから"
                     "接続します。相手はこのロボットを知らないアドレスから受けることがあります。 robot = robotc"));
  EXPECT_EQ(1, net->getConnectedClientNumber());
  EXPECT_TRUE(net->sendSignal(robotc, "hello"));
  const char* key = "telepathy_from_198.18.1.1";
  EXPECT_TRUE(kt::test::eventually([&] { return robot.memory().hasData(key); }, kt::test::patience()));
}

TEST_F(TelepathyClientTest, ARowTakenOutDuringASearchLeavesEveryOtherConnectionWithItsRobot) {
  PeerPlay robotbPlayed(simnet, "robotb");
  ASSERT_TRUE(net->initClient(robotb));
  ASSERT_TRUE(net->initClient(robotc));
  // Another sender claims robotb's name: robotb's row, the first, goes, and
  // robotc's moves up.
  search({{"robotb", "ktmyprofile:robotb:198.18.0.2"},
          {"robotc", "ktmyprofile:robotc:198.18.0.3"},
          {"robota", "ktmyprofile:robotb:198.18.0.1"},
          {"robota", "ktmyprofile:robota:198.18.0.1"},
          {"robotb", "ktmyprofile:robotd:198.18.0.2"}},
         3);
  EXPECT_EQ(-1, net->getSocketFromRobotName("robotb"));
  EXPECT_TRUE(net->sendSignal(robotc, "moved"));
  EXPECT_TRUE(kt::test::eventually([&] { return fromRobota() == "ktvesper:moved\r\n"; }, kt::test::patience()));
  EXPECT_TRUE(robotbPlayed.lines().empty());
}

TEST_F(TelepathyClientTest, FiftyConnectionsAreTheLimitAndAllAreClosedAtOnce) {
  int before = kt::test::openDescriptors();
  for (int i = 0; i < KTTelpnet::kMaxRobots; ++i) ASSERT_TRUE(net->initClient(robotc)) << i;
  // A connection made again replaces the row's old one.
  EXPECT_EQ(before + 1, kt::test::openDescriptors());
  bool made = true;
  EXPECT_EQ("ロボットの接続数が制限を越えました。\n", connect(robotc, &made));
  EXPECT_FALSE(made);
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "ロボットの接続数が制限数[50]を越えました。"));
  EXPECT_EQ(before + 1, kt::test::openDescriptors());
  net->disconnectAllRobots();
  EXPECT_EQ(0, net->getConnectedClientNumber());
  EXPECT_EQ(-1, net->getSocketFromRobotName("robotc"));
  EXPECT_EQ(before, kt::test::openDescriptors());

  // Closing one robot's connection leaves the count as it was.
  ASSERT_TRUE(net->initClient(robotc));
  char host[] = "198.18.0.3";
  net->closeClient(host);
  EXPECT_EQ(-1, net->getSocketFromRobotName("robotc"));
  EXPECT_EQ(1, net->getConnectedClientNumber());
  EXPECT_EQ(before, kt::test::openDescriptors());
}

TEST_F(TelepathyClientTest, OneSignalAConnectionEvenFromTwoThreadsAtOnce) {
  ASSERT_TRUE(net->initClient(robotc));
  // The first send pauses after writing its line until the second is done:
  // the second must not take the first's reply for its own.
  std::mutex m;
  std::condition_variable changed;
  int pausing = 0;
  bool secondDone = false;
  kt::setSleepHook([&](unsigned int) {
    std::unique_lock<std::mutex> lock(m);
    if (++pausing > 1) return;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::duration<double>(kt::test::patience()), [&] { return secondDone; });
  });
  bool first = false;
  std::thread sending([&] { first = net->sendSignal(robotc, "first"); });
  {
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::duration<double>(kt::test::patience()), [&] { return pausing == 1; }));
  }
  bool second = net->sendSignal(robotc, "second");
  {
    std::lock_guard<std::mutex> lock(m);
    secondDone = true;
  }
  changed.notify_all();
  sending.join();
  kt::setSleepHook(kt::SleepHook());
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "コマンド送付に失敗： 中止 = この接続の信号はもう送られました"));
  EXPECT_TRUE(kt::test::eventually([&] { return fromRobota() == "ktvesper:first\r\n"; }, kt::test::patience()));
}

TEST_F(TelepathyClientTest, ASignalReachesOnlyTheRobotItNamesWhileSearchesRewriteTheTable) {
  PeerPlay robotbPlayed(simnet, "robotb");
  // robotb greets only once a search has turned the table round: the
  // connection is robotb's, in the row where robotb now stands.
  robotbPlayed.holdGreetings(true);
  kt::test::Seam patient(KTSocket::readTimeoutMs, static_cast<int>(kt::test::patience() * 1000));
  bool made = false;
  std::thread connecting([&] { made = net->initClient(robotb); });
  EXPECT_TRUE(kt::test::eventually([&] { return robotbPlayed.accepted() == 1; }, kt::test::patience()));
  search({"robotc", "robotb"});
  robotbPlayed.holdGreetings(false);
  connecting.join();
  EXPECT_TRUE(made);
  ASSERT_TRUE(net->initClient(robotc));
  EXPECT_TRUE(net->sendSignal(robotc, "for-robotc"));
  EXPECT_TRUE(net->sendSignal(robotb, "for-robotb"));
  EXPECT_TRUE(kt::test::eventually([&] { return fromRobota() == "ktvesper:for-robotc\r\n"; }, kt::test::patience()));
  EXPECT_TRUE(kt::test::eventually(
      [&] { return robotbPlayed.lines() == std::vector<std::string>{"ktvesper:for-robotb\r\n"}; },
      kt::test::patience()));

  // Lists, connections, signals and disconnections while searches rewrite
  // the table: every signal that goes reaches the robot it names.
  std::atomic<bool> searching(true);
  std::vector<std::thread> users;
  for (char* name : {robotb, robotc})
    users.emplace_back([&, name] {
      char rows[KTTelpnet::kMaxRobots][KTTelpnet::kLineSize];
      for (int i = 0; searching; ++i) {
        net->getNameList(rows);
        net->getRobotList(rows);
        net->initClient(name);
        net->sendSignal(name, std::string("for-") + name);
        if (i % 3 == 0) net->disconnectAllRobots();
      }
    });
  for (int i = 0; i < 3; ++i) search(i % 2 ? std::vector<std::string>{"robotb", "robotc"}
                                            : std::vector<std::string>{"robotc", "robotb"});
  searching = false;
  for (std::thread& t : users) t.join();
  for (const std::string& line : robotbPlayed.lines()) EXPECT_EQ("ktvesper:for-robotb\r\n", line);
  EXPECT_EQ(std::string::npos, tailLog().find("受信値 = ktvesper:for-robotb"));
  net->disconnectAllRobots();
}

}  // namespace
