// The robot link module in a robot of this process, on loopback only.
// ctest-timeout: 300
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <alcommon/alproxy.h>

#include "ktvesper.h"
#include "link_fixture.h"

// listen() as the C library's, or failing with this error while it is set.
static std::atomic<int> gListenError(0);

extern "C" int listen(int fd, int backlog) {
  typedef int (*Listen)(int, int);
  static const Listen real = reinterpret_cast<Listen>(dlsym(RTLD_NEXT, "listen"));
  if (int error = gListenError.load()) {
    errno = error;
    return -1;
  }
  return real(fd, backlog);
}

namespace {

using Lines = std::vector<std::string>;

class VesperTest : public kt::test::LinkTest {
protected:
  void SetUp() override {
    LinkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    AL::ALModule::createModule<KTVesper>(broker, "KTVesper");
    vesper.reset(new AL::ALProxy(broker, "KTVesper", 0, 0));
    ASSERT_TRUE(kt::test::eventually(
        [] { return kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort); }, kt::test::patience()));
  }

  void touch(const AL::ALValue& value) { robot.memory().raiseEvent("FrontTactilTouched", value); }

  // A touch whose search hears these robots.
  void searchHearing(const Lines& datagrams) {
    searchWith([&] { touch(1.0f); }, datagrams);
  }

  std::string text(const std::string& method) { return vesper->call<std::string>(method); }

  bool logged(const std::string& message) {
    for (const std::string& m : log.messages("ktvesper"))
      if (m == message) return true;
    return false;
  }

  std::unique_ptr<AL::ALProxy> vesper;
};

TEST_F(VesperTest, ATouchWithZeroOnlyLogsAndTheNumberIsReadAsAtoiDoes) {
  EXPECT_EQ((Lines{"ALMemory.subscribeToEvent [\"testSignalReceived\",\"KTVesper\",\"testSignalSpeech\"]",
                   "ALMemory.subscribeToEvent [\"FrontTactilTouched\",\"KTVesper\",\"searchRobots\"]"}),
            calls("ALMemory.subscribeToEvent"));
  log.clear();
  touch(0.0f);
  EXPECT_EQ((Lines{"searchRobots イベント発生 name = FrontTactilTouched value = 0",
                   "val = 0 は予定していないイベントなので、処理しません。"}),
            log.messages("ktvesper"));
  EXPECT_TRUE(robot.textToSpeech().transcript().empty());

  // Each search ends when its robots are heard; with 0, once the table is
  // full.
  for (auto c : std::vector<std::pair<std::string, int>>{{"3", 3}, {"12x", 12}, {"abc", 0}}) {
    vesper->callVoid("setRobotNumber", c.first);
    Lines robots;
    for (int i = 1; i <= (c.second ? c.second : KTTelpnet::kMaxRobots); ++i)
      robots.push_back("ktmyprofile:r" + std::to_string(i) + ":127.0.3." + std::to_string(i));
    searchHearing(robots);
    EXPECT_TRUE(logged("すべての他のロボットの探索を開始します。探索すべきロボット数 = " +
                       std::to_string(c.second)))
        << c.first;
    EXPECT_EQ(static_cast<int>(robots.size()), vesper->call<int>("getRobotNumber"));
  }
  // This robot has no address here: it listened and announced nothing.
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "このロボットにはIPアドレスがないので、自己情報を送信しません。受信だけを行います。"));
  for (const std::string& said : robot.textToSpeech().transcript())
    EXPECT_NE("自己情報の送信をすべて終了しました。", said);
}

TEST_F(VesperTest, ASearchIsRefusedWhileAnotherRuns) {
  std::thread first([&] { touch(1.0f); });
  ASSERT_TRUE(kt::test::eventually([&] { return logged("ループスタート loop No. = 1"); }, kt::test::patience()));
  vesper->callVoid("searchRobots", std::string("FrontTactilTouched"), 1, std::string("KTVesper"));
  EXPECT_TRUE(logged("ロボットを探索中なので、新しい探索は開始しません。"));
  // The first search goes on and ends on its two robots.
  kt::test::sendDatagrams({"ktmyprofile:robota:127.0.1.12", "ktmyprofile:robotb:127.0.1.13"});
  first.join();
  EXPECT_EQ("robota:robotb", text("getNameList"));
  int started = 0;
  for (const std::string& m : log.messages("ktvesper"))
    started += m.rfind("ロボット情報の受信を開始します。", 0) == 0;
  EXPECT_EQ(1, started);
}

TEST_F(VesperTest, ListsJoinTheKnownRowsAndATestSignalNamesAKnownSender) {
  EXPECT_EQ("", text("getNameList"));
  EXPECT_EQ("", text("getRobotList"));
  log.clear();
  vesper->callVoid("initTelepathy");
  EXPECT_EQ((Lines{"接続しているロボット名のリストを返します。", "テレパシーを初期化を終了しました。"}),
            log.messages("ktvesper"));

  vesper->callVoid("setRobotNumber", std::string("1"));
  searchHearing({"ktmyprofile:robota:127.0.1.12"});
  EXPECT_EQ("robota", text("getNameList"));
  EXPECT_EQ("robota&127.0.1.12", text("getRobotList"));
  robot.memory().raiseEvent("testSignalReceived", "127.0.1.12");
  robot.memory().raiseEvent("testSignalReceived", "192.168.1.50");
  Lines said = robot.textToSpeech().transcript();
  ASSERT_GE(said.size(), 2u);
  EXPECT_EQ((Lines{"robotaさんからテレパシーを受けとりました。わたしは、rukoです。",
                   "名前を知らない192.168.1.50さんからテレパシーを受けとりました。わたしは、rukoです。"}),
            Lines(said.end() - 2, said.end()));
  EXPECT_THROW(vesper->callVoid("testSignalSpeech", std::string("testSignalReceived"), 5,
                                std::string("KTVesper")),
               AL::ALError);
  EXPECT_EQ(said.size(), robot.textToSpeech().transcript().size());

  vesper->callVoid("setRobotNumber", std::string("2"));
  searchHearing({"ktmyprofile:robota:127.0.1.12", "ktmyprofile:robotb:127.0.1.13"});
  EXPECT_EQ("robota:robotb", text("getNameList"));
  EXPECT_EQ("robota&127.0.1.12:robotb&127.0.1.13", text("getRobotList"));
  EXPECT_EQ(2, vesper->call<int>("getRobotNumber"));
}

TEST_F(VesperTest, ASignalGoesToTheRobotNamedAfterTheFirstTo) {
  // This robot's own server plays the robot named robot_to_x.
  vesper->callVoid("setRobotNumber", std::string("1"));
  searchHearing({"ktmyprofile:robot_to_x:127.0.0.1"});
  vesper->callVoid("initTelepathy");
  EXPECT_TRUE(logged("テレパシーイベント [ telepathy_to_robot_to_x ] のイベントハンドラ [ telepathyToRobot ]をセットしました。"));

  robot.memory().raiseEvent("telepathy_to_robot_to_x", "hello");
  EXPECT_TRUE(logged("sendTo robot [ robot_to_x ] value = \"hello\""));
  EXPECT_TRUE(kt::test::eventually(
      [&] { return robot.memory().hasData("telepathy_from_127.0.0.1"); }, kt::test::patience()));
  EXPECT_EQ(AL::ALValue("ktvesper:hello\r\n"), robot.memory().getData("telepathy_from_127.0.0.1"));

  // No "_to_": nobody to send to; a value that is no text is refused.
  log.clear();
  vesper->callVoid("telepathyToRobot", std::string("telepathy"), std::string("hello"),
                   std::string("KTVesper"));
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper", "イベント名にロボット名がありません： 中止 = telepathy"));
  EXPECT_THROW(vesper->callVoid("telepathyToRobot", std::string("telepathy_to_robot_to_x"), 5,
                                std::string("KTVesper")),
               AL::ALError);
  // A name cut to its buffer could be another robot's: refused.
  for (auto c : std::vector<std::pair<std::string, std::string>>{
           {"telepathy_to_" + std::string(300, 'r'), "ロボット名が長すぎます： 中止 = 300バイト"},
           {"telepathy_to_" + std::string(600, 'r'), "イベント名が長すぎます： 中止 = 613バイト"}}) {
    vesper->callVoid("telepathyToRobot", c.first, std::string("hello"), std::string("KTVesper"));
    EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper", c.second));
  }
  int failed = 0;
  for (const std::string& m : log.messages("ktvesper")) {
    EXPECT_EQ(std::string::npos, m.find("信号を送付します。"));
    failed += m == "相手ロボットへのシグナル送付に失敗。";
  }
  EXPECT_EQ(3, failed);  // each refusal is a failed send
}

TEST_F(VesperTest, AConnectionStaysWithItsRobotAndDisconnectingUndoesExactlyWhatWasSubscribed) {
  vesper->callVoid("setRobotNumber", std::string("2"));
  searchHearing({"ktmyprofile:robota:127.0.0.2", "ktmyprofile:robotb:127.0.0.3"});
  vesper->callVoid("initTelepathy");
  // Heard again in another order, robota gone: robotb keeps its own
  // connection, and robotc, never connected to, has none.
  searchHearing({"ktmyprofile:robotb:127.0.0.3", "ktmyprofile:robotc:127.0.0.4"});
  EXPECT_TRUE(logged("探索で見つからなかったロボットへの接続を閉じます。 robot = robota IP = 127.0.0.2"));
  log.clear();
  vesper->callVoid("telepathyToRobot", std::string("telepathy_to_robotc"), std::string("hello"),
                   std::string("KTVesper"));
  EXPECT_TRUE(logged("信号を送付します。 robot socket = -1"));
  robot.memory().raiseEvent("telepathy_to_robotb", "hello");
  EXPECT_TRUE(kt::test::eventually(
      [&] { return robot.memory().hasData("telepathy_from_127.0.0.1"); }, kt::test::patience()));

  robot.world().clearJournal();
  vesper->callVoid("disconnectAllRobots");
  const std::string unsubscribe = "ALMemory.unsubscribeToEvent ";
  EXPECT_EQ((Lines{unsubscribe + "[\"telepathy_to_robota\",\"KTVesper\"]",
                   unsubscribe + "[\"telepathy_to_robotb\",\"KTVesper\"]"}),
            calls("ALMemory.unsubscribeToEvent"));
}

TEST_F(VesperTest, DestroyingEndsTheServerClosesConnectionsAndLeavesNoSubscription) {
  vesper->callVoid("setRobotNumber", std::string("2"));
  searchHearing({"ktmyprofile:robota:127.0.0.1", "ktmyprofile:robotb:127.0.0.2"});
  int before = kt::test::openDescriptors();
  vesper->callVoid("initTelepathy");
  EXPECT_EQ(before + 2, kt::test::openDescriptors());
  vesper.reset();
  robot.world().clearJournal();
  broker->unregisterModule("KTVesper");

  const std::string unsubscribe = "ALMemory.unsubscribeToEvent ";
  EXPECT_EQ((Lines{unsubscribe + "[\"testSignalReceived\",\"KTVesper\"]",
                   unsubscribe + "[\"FrontTactilTouched\",\"KTVesper\"]",
                   unsubscribe + "[\"telepathy_to_robota\",\"KTVesper\"]",
                   unsubscribe + "[\"telepathy_to_robotb\",\"KTVesper\"]"}),
            calls("ALMemory.unsubscribeToEvent"));
  EXPECT_EQ(before, kt::test::openDescriptors());
  EXPECT_FALSE(kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort));
  // The server and every search's sender were waited for.
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);
  EXPECT_TRUE(robot.memory().subscribers("FrontTactilTouched").empty());
}

using VesperLoadTest = kt::test::LinkTest;

TEST_F(VesperLoadTest, AServerThatCannotServeItsPortEndsAndIsReapedWithAWarning) {
  kt::test::Seam patience(KTTelepathyServer::bindPatienceMs, 300);
  const std::string inUse = "server: can't bind local address. (Address already in use)";
  const std::string noListen = "server: can't bind local address. (listen: Operation not supported)";
  for (bool held : {true, false}) {
    SCOPED_TRACE(held ? "the port is held" : "listen fails");
    std::ofstream(root.at("/var/volatile/var/log/naoqi/tail-naoqi.log").c_str(), std::ios::trunc);
    log.clear();
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(KTTelpnet::kTelepathyPort);
    if (held) {
      ASSERT_EQ(0, bind(holder, reinterpret_cast<struct sockaddr*>(&any), sizeof any));
    }
    // The forked server has its own copy of the failure.
    gListenError = held ? 0 : EOPNOTSUPP;
    AL::ALModule::createModule<KTVesper>(broker, "KTVesper");
    gListenError = 0;
    AL::ALProxy vesper(broker, "KTVesper", 0, 0);
    EXPECT_TRUE(kt::test::eventually(
        [&] {
          vesper.call<int>("getRobotNumber");
          return log.has(qi::LogLevel_Warning, "ktvesper",
                         "テレパシーサーバーが終了しました。他のロボットからの信号は受け取れません。");
        },
        kt::test::patience()));
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno);
    // It said why once, and did not go on.
    std::string tail = tailLog(), failed = held ? inUse : noListen;
    EXPECT_NE(std::string::npos, tail.find(failed)) << tail;
    EXPECT_EQ(tail.find(failed), tail.rfind(failed));
    EXPECT_EQ(std::string::npos, tail.find("server: accept error"));
    broker->unregisterModule("KTVesper");
    close(holder);
  }
}

TEST_F(VesperLoadTest, AServerForkedWhereSignalsAreBlockedStillEndsWithItsModule) {
  // Made on a thread that blocks SIGINT, as a robot's thread may.
  sigset_t blocked, before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  AL::ALModule::createModule<KTVesper>(broker, "KTVesper");
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pid_t server = 0;
  std::ifstream("/proc/thread-self/children") >> server;
  ASSERT_GT(server, 0);
  // Serving, it has set its signals.
  ASSERT_TRUE(kt::test::eventually(
      [] { return kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort); }, kt::test::patience()));
  std::string line, mask;
  for (std::ifstream status("/proc/" + std::to_string(server) + "/status"); std::getline(status, line);)
    if (line.rfind("SigBlk:", 0) == 0) mask = line.substr(line.find_first_not_of(" \t", 7));
  EXPECT_EQ("0000000000000000", mask);
  // Else SIGINT would never reach it: the test fails rather than hangs.
  if (mask != "0000000000000000") kill(server, SIGKILL);
  broker->unregisterModule("KTVesper");  // sends SIGINT and waits for it
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));
}

TEST_F(VesperLoadTest, AModuleThatFailsToLoadLeavesNoSubscriptionAndNoServer) {
  robot.world().setFault("ALSystem.robotName", kt::sim::FaultThrow);
  EXPECT_THROW(AL::ALModule::createModule<KTVesper>(broker, "KTVesper"), AL::ALError);
  EXPECT_TRUE(robot.memory().subscribers("FrontTactilTouched").empty());
  EXPECT_TRUE(robot.memory().subscribers("testSignalReceived").empty());
  EXPECT_FALSE(kt::test::portInUse("tcp", KTTelpnet::kTelepathyPort));
}

}  // namespace
