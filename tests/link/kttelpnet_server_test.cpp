// The telepathy server process, seen from a raw socket on the wire.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <string>

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
    if (server > 0) kill(server, SIGINT), waitpid(server, nullptr, 0);
    LinkTest::TearDown();
  }

  // Connects, sends bytes and returns what came back until the server
  // closed (or 5 s passed); a peer that goes at once when hangUp.
  std::string exchange(const std::string& bytes, bool hangUp = false) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(KTTelpnet::kTelepathyPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    char chunk[1024];
    ssize_t n = connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to) == 0 && !hangUp;
    if (n && !bytes.empty()) send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    struct pollfd p = {s, POLLIN, 0};
    while (n > 0 && poll(&p, 1, 5000) == 1 && (n = read(s, chunk, sizeof chunk)) > 0)
      got.append(chunk, static_cast<size_t>(n));
    close(s);
    return got;
  }

  bool raised() { return robot.memory().hasData("telepathy_from_127.0.0.1"); }

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
  for (const std::string& line : {std::string("hello\r\n"), overLong, std::string()}) {
    SCOPED_TRACE(line.substr(0, 20));
    EXPECT_EQ(kGreeting, exchange(line));
  }
  EXPECT_FALSE(raised());
  std::string log = tailLog();
  EXPECT_NE(std::string::npos, log.find("テレパシー受信に失敗： 中止 = hello\r\n"));
  EXPECT_NE(std::string::npos, log.find("ソケットの読み込みがタイムアウトしました： 中止"));
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

TEST_F(TelepathyServerTest, AThousandConnectionsLeaveNoZombieAndNoDescriptor) {
  const std::string fds = "/proc/" + std::to_string(server) + "/fd";
  int before = countIn(fds);
  exchange("", true);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(kGreeting, exchange("nothing\r\n")) << i;
  EXPECT_TRUE(kt::test::eventually([&] { return countIn("/proc", server) == 0; }, 10));
  EXPECT_EQ(before, countIn(fds));
  EXPECT_EQ(0, kill(server, 0));  // still serving
}

}  // namespace
