// The telepathy server process, seen from a raw socket on the wire.
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

int countEntries(const std::string& folder) {
  int n = 0;
  DIR* d = opendir(folder.c_str());
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

// How many processes have pid as their parent, zombies included.
int childrenOf(pid_t pid) {
  int n = 0;
  DIR* d = opendir("/proc");
  while (struct dirent* e = readdir(d)) {
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) continue;
    // pid (comm) state ppid ...
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    char state;
    pid_t ppid;
    if (rest >> state >> ppid && ppid == pid) ++n;
  }
  closedir(d);
  return n;
}

class TelepathyServerTest : public kt::test::LinkTest {
protected:
  void SetUp() override {
    LinkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    KTSocket::readTimeoutMs = 300;  // a silent peer is given up at once
    net.reset(new KTTelpnet(broker, broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory")));
    server = fork();
    if (server == 0) _exit(net->initServer() ? 0 : 1);
    ASSERT_TRUE(kt::test::eventually(
        [] { return kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort); }, 10));
  }

  void TearDown() override {
    if (server > 0) {
      kill(server, SIGINT);
      waitpid(server, nullptr, 0);
    }
    LinkTest::TearDown();
  }

  // Connects, sends bytes and returns what came back until the server
  // closed (or 5 s passed).
  std::string exchange(const std::string& bytes) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(KTTelpnet::kTelepathyPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    if (connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to) == 0) {
      if (!bytes.empty()) send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      struct pollfd p = {s, POLLIN, 0};
      char chunk[1024];
      ssize_t n = 1;
      while (n > 0 && poll(&p, 1, 5000) == 1 && (n = read(s, chunk, sizeof chunk)) > 0)
        got.append(chunk, static_cast<size_t>(n));
    }
    close(s);
    return got;
  }

  std::unique_ptr<KTTelpnet> net;
  // The event a connection raises, if any.
  bool raised() { return robot.memory().hasData("telepathy_from_127.0.0.1"); }

  pid_t server = -1;
};

TEST_F(TelepathyServerTest, ASignalLineIsAnsweredAndRaisedOnTheRobot) {
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:hello\r\n\r\n", exchange("ktvesper:hello\r\n"));
  EXPECT_EQ(AL::ALValue("ktvesper:hello\r\n"), robot.memory().getData("telepathy_from_127.0.0.1"));
  EXPECT_NE(std::string::npos, tailLog().find("ロボットテレパシー  >> Server Start..."));
}

TEST_F(TelepathyServerTest, WhatIsNotAWholeSignalLineGetsTheGreetingOnly) {
  const std::string overLong = "ktvesper:" + std::string(600, 'x') + "\r\n";
  for (const std::string& line : {std::string("hello\r\n"), overLong, std::string()}) {
    SCOPED_TRACE(line.substr(0, 20));
    EXPECT_EQ(kGreeting, exchange(line));
  }
  EXPECT_FALSE(raised());
  std::string log = tailLog();
  EXPECT_NE(std::string::npos, log.find("テレパシー受信に失敗： 中止 = hello\r\n"));
  EXPECT_NE(std::string::npos, log.find("ソケットの読み込みがタイムアウトしました： 中止"));
}

TEST_F(TelepathyServerTest, ALineTooLongToEchoWholeIsStillRaisedWhole) {
  const std::string line = "ktvesper:" + std::string(469, 'v') + "\r\n";  // 480 bytes
  std::string reply = exchange(line);
  ASSERT_EQ(kGreeting.size() + 511, reply.size());
  EXPECT_EQ(kPrefix + line.substr(0, 469) + "\r\n", reply.substr(kGreeting.size()));
  EXPECT_EQ(AL::ALValue(line), robot.memory().getData("telepathy_from_127.0.0.1"));
}

TEST_F(TelepathyServerTest, ATestSignalIsSpokenWithTheSendersAddress) {
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:testsignal\r\n\r\n", exchange("ktvesper:testsignal\r\n"));
  EXPECT_FALSE(raised());
  std::vector<std::string> said = robot.textToSpeech().transcript();
  EXPECT_EQ("名前を知らない127.0.0.1さんからテレパシーを受けとりました。わたしは、rukoです。",
            said.empty() ? "" : said.back());
}

TEST_F(TelepathyServerTest, AnErrorOfTheRobotEndsTheConnectionCleanly) {
  robot.world().setFault("ALTextToSpeech.say", kt::sim::FaultThrow);
  exchange("ktvesper:testsignal\r\n");
  EXPECT_NE(std::string::npos, tailLog().find("テレパシーの処理に失敗しました： 中止 = "));
  EXPECT_EQ(kGreeting + kPrefix + "ktvesper:x\r\n\r\n", exchange("ktvesper:x\r\n"));
}

TEST_F(TelepathyServerTest, AThousandConnectionsLeaveNoZombieAndNoDescriptor) {
  const std::string fds = "/proc/" + std::to_string(server) + "/fd";
  int before = countEntries(fds);
  // A peer that goes at once, then a thousand short ones.
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(KTTelpnet::kTelepathyPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to));
  close(s);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(kGreeting, exchange("nothing\r\n")) << i;
  EXPECT_TRUE(kt::test::eventually([&] { return childrenOf(server) == 0; }, 10));
  EXPECT_EQ(before, countEntries(fds));
  EXPECT_EQ(0, kill(server, 0));  // still serving
}

}  // namespace
