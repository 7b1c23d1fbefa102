// Each case binds the content server's fixed port in a network namespace of
// its own. The files themselves are fetched in the tests of KTLarkin.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "ktest.h"
#include "ktinet.h"
#include "ktsocket.h"
#include "shorttimeouts.h"
#include "contentpeer.h"
#include "ownnet.h"

namespace {

using kt::test::ContentPeer;
typedef std::vector<std::string> Lines;

const char* const kNoServer = "FTPコマンド、サーバーに接続できません： 中止";
const char* const kNoFile = "ファイル取得に失敗： 中止 = ";

class KTInetTest : public ::testing::Test {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
    before = kt::test::openDescriptors();
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(before, kt::test::openDescriptors()) << "a connection stayed open";
    }
  }

  int fetch(const std::string& command, std::vector<char>& into, const char* user = ContentPeer::kUser,
            const char* session = ContentPeer::kSession) {
    return inet.getRemoteFile(command.c_str(), user, session, into.data(), static_cast<int>(into.size()));
  }

  Lines warnings() {
    Lines out;
    for (const kt::test::LogLine& l : log.lines())
      if (l.level == qi::LogLevel_Warning && l.category == "ktlarkin") out.push_back(l.message);
    return out;
  }

  kt::test::LogCapture log;
  ContentPeer peer;
  KTInet inet;
  int before = 0;
};

TEST_F(KTInetTest, LoginReplyMustBeginWithOne) {
  struct Case {
    Lines options;
    const char* user;
    int result;
    Lines warned;
  };
  const std::string failed = "loginに失敗： 中止 = ";
  const Case cases[] = {
      {{"--login-reply", "100 whatever follows"}, ContentPeer::kUser, 1, {}},
      {{"--login-reply", "200 no"}, ContentPeer::kUser, 0, {failed + "200 no\r\n"}},
      {{"--login-reply", "0"}, ContentPeer::kUser, 0, {failed + "0\r\n"}},
      {{"--login-reply", ""}, ContentPeer::kUser, 0, {failed + "\r\n"}},
      {{}, "someone@example.com", 0, {failed + "530: login incorrect\r\n"}},
      {{"--mode", "close"}, ContentPeer::kUser, 0, {failed}},  // no reply at all
  };
  peer.put("ruko.conf", "<config/>");
  std::vector<char> buf(1000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? c.user : c.options.back());
    log.clear();
    peer.stop();
    ASSERT_TRUE(peer.start(c.options));
    EXPECT_EQ(c.result, fetch("getrukoconf", buf, c.user));
    EXPECT_EQ(c.warned, warnings());
  }
}

// The server's host is a fixed name (unknown here: no name server in this
// namespace) unless KT_CONTENT_SERVER names another.
TEST_F(KTInetTest, NoServerIsToldOnTheConsoleAndInTheLog) {
  std::vector<char> buf(1000);
  unsetenv("KT_CONTENT_SERVER");
  const std::string fixed = KTInet::serverHost();
  EXPECT_FALSE(fixed.empty());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, fetch("getrukoconf", buf));
  EXPECT_EQ(std::string(kNoServer) + "\n", testing::internal::GetCapturedStdout());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("\n" + fixed + ": host name not found (")) << err;
  Lines said = warnings();
  EXPECT_EQ((Lines{"ホスト情報を取得できません： 中止", "ホスト名が見つかりません = " + fixed, kNoServer}),
            Lines(said.begin(), said.begin() + std::min<size_t>(3, said.size())));

  // After those, where it went and why.
  setenv("KT_CONTENT_SERVER", "127.0.0.1", 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, fetch("getrukoconf", buf));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("コンテンツサーバーに接続できませんでした。 host = 127.0.0.1 port = 5591 理由 = Connection "
            "refused (ホストは環境変数 KT_CONTENT_SERVER で指定します)",
            warnings().back());

  const std::string noName = kt::test::localhostMissing();
  if (!noName.empty()) GTEST_SKIP() << "not reached by the name localhost: " << noName;
  setenv("KT_CONTENT_SERVER", "localhost", 1);
  peer.put("ruko.conf", "<config/>");
  ASSERT_TRUE(peer.start());
  EXPECT_EQ(1, fetch("getrukoconf", buf));
}

TEST_F(KTInetTest, LineBreaksInTheLoginOrCommandAreRefusedBeforeConnecting) {
  peer.put("ruko.conf", "<config/>");
  ASSERT_TRUE(peer.start());
  std::vector<char> buf(1000);
  EXPECT_EQ(0, fetch("getrukoconf", buf, "nao\r\ngetrukoconf"));
  EXPECT_EQ(0, fetch("getrukoconf", buf, "nao\n"));
  std::string session = std::string(ContentPeer::kSession).replace(10, 2, "\r\n");
  EXPECT_EQ(0, fetch("getrukoconf", buf, ContentPeer::kUser, session.c_str()));
  EXPECT_EQ(0, fetch("getTopic:a.top\r\nrm", buf));
  EXPECT_EQ(0, fetch("getTopic:" + std::string(510, 'a'), buf));
  EXPECT_EQ(0, fetch("getrukoconf", buf, std::string(480, 'u').c_str()));
  EXPECT_TRUE(peer.received().empty()) << "a connection was made";
  EXPECT_EQ(6u, warnings().size());
}

TEST_F(KTInetTest, StalledFileIsGivenUpAfterTheReadTimeOut) {
  ASSERT_TRUE(peer.start({"--mode", "stall"}));
  std::vector<char> buf(1000);
  kt::test::ShortTimeOuts shortened(500);
  EXPECT_EQ(0, fetch("getTopic:a.top", buf));
  EXPECT_EQ((Lines{"ソケットの読み込みがタイムアウトしました： 中止", kNoFile}), warnings());
}

// A test process that dies without stopping its server must not leave the
// server running: the port is free again soon after.
TEST_F(KTInetTest, ServerEndsWithTheProcessThatStartedIt) {
  int report[2];
  ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
  pid_t child = fork();
  if (child == 0) {
    ContentPeer orphan;
    std::string said = (orphan.start() ? "y" : "n") + orphan.folder();
    // No destructor: the server is not stopped.
    _exit(write(report[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  close(report[1]);
  std::string said;
  char c;
  while (read(report[0], &c, 1) == 1) said += c;
  close(report[0]);
  waitpid(child, nullptr, 0);
  ASSERT_FALSE(said.empty());
  if (said.size() > 1) kt::test::removeTree(said.substr(1));
  ASSERT_EQ('y', said[0]);

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(KTInet::kContentPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool freed = false;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(kt::test::patience());
  while (!freed && std::chrono::steady_clock::now() < deadline) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    freed = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0;
    close(s);
    if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(freed) << "the server outlived the process that started it";
}

}  // namespace
