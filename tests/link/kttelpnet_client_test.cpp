// The client side of the telepathy link, between robots on a simulated
// network: this test is robota; robotc serves; robotb is down.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include <ktplatform/sleephook.h>

#include "link_fixture.h"
#include "simnet.h"

namespace {

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
        [&] { return kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort, server); }, 10));
    searchWith([&] { net->recvRobotInfo(2); },
               {"ktmyprofile:robotb:198.18.0.2", "ktmyprofile:robotc:198.18.0.3"});
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
  ASSERT_TRUE(kt::test::eventually(
      [&] { return robot.memory().hasData("telepathy_from_198.18.0.1"); }, 10));
  EXPECT_EQ(AL::ALValue("ktvesper:hello\r\n"), robot.memory().getData("telepathy_from_198.18.0.1"));
  EXPECT_FALSE(net->sendSignal(robotc, "again"));
  EXPECT_TRUE(logged(qi::LogLevel_Warning, "コマンド送付に失敗： 中止 = \r\n"));

  // The pause before the reply is read is a real second.
  kt::setSleepHook(kt::SleepHook());
  ASSERT_TRUE(net->initClient(robotc));
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(net->sendSignal(robotc, "hello"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
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

}  // namespace
