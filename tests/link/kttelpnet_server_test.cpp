// The telepathy server process, seen from a raw socket on the wire.
// ctest-timeout: 300
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link_fixture.h"

namespace {

const std::string kGreeting = "100: Hello! we are connected!\r\n";
const std::string kPrefix = "100: Received your command with value = ";

// Entries of a /proc folder whose second stat field after the name is
// parent (all processes when parent is 0).
int countIn(const std::string& folder, pid_t parent = 0) {
  int n = 0;
  DIR* d = opendir(folder.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr) {
    std::string stat;
    std::getline(std::ifstream(folder + "/" + e->d_name + "/stat"), stat);
    char state;
    int ppid = 0;
    n += !parent || (stat.size() > 2 &&
                     sscanf(stat.c_str() + stat.rfind(')') + 2, "%c %d", &state, &ppid) == 2 &&
                     ppid == parent);
  }
  if (d) closedir(d);
  return n;
}

// A connection to the telepathy port on loopback from the address from.
int dial(const char* from = "127.0.0.1") {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in local = {}, to = {};
  local.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  to.sin_port = htons(KTTelpnet::kTelepathyPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local);
  connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  return s;
}

// All the server sent until it closed (or a minute of silence passed).
std::string drain(int s) {
  std::string got;
  char chunk[1024];
  ssize_t n;
  struct pollfd p = {s, POLLIN, 0};
  while (poll(&p, 1, static_cast<int>(kt::test::patience() * 1000)) == 1 && (n = read(s, chunk, sizeof chunk)) > 0)
    got.append(chunk, static_cast<size_t>(n));
  return got;
}

class TelepathyServerTest : public kt::test::LinkTest {
protected:
  void SetUp() override {
    LinkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    net.reset(new KTTelpnet(broker, broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory")));
    server = fork();
    if (server == 0) _exit(net->initServer() ? 0 : 1);
    ASSERT_TRUE(kt::test::eventually(
        [] { return kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort); }, kt::test::patience()));
  }

  void TearDown() override {
    if (server > 0) kill(server, SIGINT), waitpid(server, nullptr, 0);
    LinkTest::TearDown();
  }

  // Connects, sends bytes and returns what came back until the server
  // closed; a peer that goes at once when hangUp, that says no more when
  // done, and that stays when it is a trickle.
  enum Peer { kDone, kHangUp, kTrickle };
  std::string exchange(const std::string& bytes, Peer peer = kDone) {
    int s = dial();
    if (peer == kHangUp) {
      close(s);
      return "";
    }
    send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (peer == kDone) shutdown(s, SHUT_WR);
    std::string got = drain(s);
    close(s);
    return got;
  }

  bool raised() { return robot.memory().hasData("telepathy_from_127.0.0.1"); }

  int lines(const std::string& part) {
    std::istringstream in(tailLog());
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find(part) != std::string::npos;
    return n;
  }

  kt::test::Seam readTimeOut{KTSocket::readTimeoutMs, 300};
  // What the server says with a count is said once here, whatever the pace
  // of the test: the server, forked in SetUp, takes the interval with it.
  kt::test::Seam sayOnce{KTTelepathyServer::tallyIntervalMs, 24 * 3600 * 1000};
  std::unique_ptr<KTTelpnet> net;
  pid_t server = -1;
};

TEST_F(TelepathyServerTest, ASignalLineIsAnsweredAndRaisedOnTheRobot) {
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:hello\r\n\r\n", exchange("ktvesper:hello\r\n"));
  EXPECT_EQ(AL::ALValue("ktvesper:hello\r\n"), robot.memory().getData("telepathy_from_127.0.0.1"));
  EXPECT_NE(std::string::npos, tailLog().find("ロボットテレパシー  >> Server Start..."));

  // A line too long to echo whole is still raised whole.
  const std::string line = "ktvesper:" + std::string(469, 'v') + "\r\n";  // 480 bytes
  EXPECT_EQ(kGreeting + kPrefix + line.substr(0, 469) + "\r\n", exchange(line));
  EXPECT_EQ(AL::ALValue(line), robot.memory().getData("telepathy_from_127.0.0.1"));
}

TEST_F(TelepathyServerTest, WhatIsNotAWholeSignalLineGetsTheGreetingOnly) {
  const std::string overLong = "ktvesper:" + std::string(600, 'x') + "\r\n";
  // A NUL would end the line's text early; the last is cut short by its
  // peer closing before its line end.
  for (const std::string& line :
       {std::string("hello\r\n"), overLong, std::string(), std::string("ktvesper:abc\0def\r\n", 18),
        std::string("ktvesper:cut")}) {
    SCOPED_TRACE(line.substr(0, 20));
    EXPECT_EQ(kGreeting, exchange(line));
  }
  // A line begun and not ended in time is never a signal.
  EXPECT_EQ(kGreeting, exchange("ktvesper:tr", kTrickle));
  EXPECT_FALSE(raised());
  std::string log = tailLog();
  EXPECT_NE(std::string::npos, log.find("テレパシー受信に失敗： 中止 = hello\r\n"));
  EXPECT_NE(std::string::npos, log.find("ソケットの読み込みがタイムアウトしました： 中止"));
  EXPECT_NE(std::string::npos, log.find("テレパシー受信に失敗： 中止 = ktvesper:tr\n"));
  EXPECT_NE(std::string::npos, log.find("テレパシー受信に失敗： 中止 = ktvesper:cut\n"));
  EXPECT_NE(std::string::npos, log.find("テレパシー受信に失敗： 中止 = ktvesper:abc\n"));
}

TEST_F(TelepathyServerTest, AConnectionWaitsForItsSignalAsLongAsItStaysOpen) {
  int s = dial();
  struct pollfd p = {s, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, static_cast<int>(kt::test::patience() * 1000)));
  char greeting[64];
  ASSERT_EQ(static_cast<ssize_t>(kGreeting.size()), read(s, greeting, sizeof greeting));
  // Silent for several read time-outs: still open.
  EXPECT_EQ(0, poll(&p, 1, 3 * KTSocket::readTimeoutMs));
  send(s, "ktvesper:late\r\n", 15, MSG_NOSIGNAL);
  EXPECT_EQ(kPrefix + "ktvesper:late\r\n\r\n", drain(s));
  close(s);
  EXPECT_TRUE(kt::test::eventually([&] { return raised(); }, kt::test::patience()));
}

TEST_F(TelepathyServerTest, AtTheTotalTheBusiestPeerGivesWayNotTheOldestAndEachKindIsSaidOnce) {
  const int share = KTTelepathyServer::kMaxConnectionsPerPeer;
  const int total = KTTelepathyServer::kMaxConnections;
  auto serving = [&](int n) {
    return kt::test::eventually([&] { return countIn("/proc", server) == n; }, kt::test::patience());
  };
  // Greeted and still open, or closed by the server.
  auto open = [](int s) {
    char greeting[64];
    if (read(s, greeting, sizeof greeting) != static_cast<ssize_t>(kGreeting.size())) return false;
    return recv(s, greeting, sizeof greeting, MSG_DONTWAIT) == -1;
  };
  // A robot's connection, made at initTelepathy, waits from the first; then
  // single connections of other addresses, then one peer beyond its share,
  // which keeps its newest.
  int waiting = dial("127.0.0.3");
  ASSERT_TRUE(serving(1));
  std::vector<int> singles, held;
  for (int i = 1; i <= total - 1 - share; ++i) singles.push_back(dial(("127.0.2." + std::to_string(i)).c_str()));
  for (int i = 0; i < share + 2; ++i) held.push_back(dial("127.0.0.2"));
  ASSERT_TRUE(serving(total));

  // At the total, the peer that holds the most gives its oldest up: not the
  // oldest of all, nor a single one.
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:real\r\n\r\n", exchange("ktvesper:real\r\n"));
  EXPECT_TRUE(kt::test::eventually([&] { return raised(); }, kt::test::patience()));
  EXPECT_TRUE(open(waiting)) << "the waiting connection was closed";
  for (int s : singles) EXPECT_TRUE(open(s)) << "a single connection was closed";
  EXPECT_TRUE(kt::test::eventually([&] { return lines("件数 = ") == 2; }, kt::test::patience()));
  EXPECT_EQ(1, lines("同じ相手からのテレパシー接続が多すぎるので、古い接続を閉じました。 相手 = 127.0.0.2 件数 = 1"));
  EXPECT_EQ(1, lines("テレパシー接続数が上限[150]に達しているので、接続の多い相手の古い接続を閉じました。 相手 = 127.0.0.2 件数 = 1"));

  close(waiting);
  for (int s : held) close(s);
  for (int s : singles) close(s);
  EXPECT_TRUE(serving(0));
}

TEST_F(TelepathyServerTest, ATestSignalIsSpokenWithTheSendersAddressAndAFailureEndsCleanly) {
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:testsignal\r\n\r\n", exchange("ktvesper:testsignal\r\n"));
  EXPECT_FALSE(raised());
  EXPECT_EQ(std::vector<std::string>{"名前を知らない127.0.0.1さんからテレパシーを受けとりました。わたしは、rukoです。"},
            robot.textToSpeech().transcript());

  robot.world().setFault("ALTextToSpeech.say", kt::sim::FaultThrow);
  exchange("ktvesper:testsignal\r\n");
  EXPECT_NE(std::string::npos, tailLog().find("テレパシーの処理に失敗しました： 中止 = "));
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:x\r\n\r\n", exchange("ktvesper:x\r\n"));
}

TEST_F(TelepathyServerTest, HundredsOfConnectionsLeaveNoZombieAndNoDescriptor) {
  const std::string fds = "/proc/" + std::to_string(server) + "/fd";
  int before = countIn(fds);
  exchange("", kHangUp);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(kGreeting, exchange("nothing\r\n")) << i;
  EXPECT_TRUE(kt::test::eventually([&] { return countIn("/proc", server) == 0; }, kt::test::patience()));
  EXPECT_EQ(before, countIn(fds));
  EXPECT_EQ(0, kill(server, 0));  // still serving
}

}  // namespace
