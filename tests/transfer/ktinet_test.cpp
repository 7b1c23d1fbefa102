// ctest-timeout: 90
// Each case binds the content server's fixed port in a network namespace of
// its own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "ktest.h"
#include "ktinet.h"
#include "ktsocket.h"
#include "../peers/contentpeer.h"
#include "../peers/ownnet.h"

namespace {

using kt::test::ContentPeer;

const char* const kNoServer = "FTPコマンド、サーバーに接続できません： 中止";
const char* const kTooBig = "ファイルサイズがバッファサイズを越えました： 中止";
const char* const kNoFile = "ファイル取得に失敗： 中止 = ";

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

class KTInetTest : public ::testing::Test {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
    before = openDescriptors();
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(before, openDescriptors()) << "a connection stayed open";
    }
  }

  int fetch(const std::string& command, std::vector<char>& into, const char* user = ContentPeer::kUser,
            const char* session = ContentPeer::kSession) {
    return inet.getRemoteFile(command.c_str(), user, session, into.data(), static_cast<int>(into.size()));
  }

  std::vector<std::string> warnings() {
    std::vector<std::string> out;
    for (const kt::test::LogLine& l : log.lines())
      if (l.level == qi::LogLevel_Warning && l.category == "ktlarkin") out.push_back(l.message);
    return out;
  }

  kt::test::LogCapture log;
  ContentPeer peer;
  KTInet inet;
  int before = 0;
};

TEST_F(KTInetTest, FetchesOneFileOverOneConnection) {
  peer.put("a.top", "topic: ~a()\nlanguage: jpj\n");
  peer.put("ruko.conf", "<config/>");
  ASSERT_TRUE(peer.start());
  std::vector<char> buf(1000, '#');
  EXPECT_EQ(1, fetch("getTopic:a.top", buf));
  EXPECT_STREQ("topic: ~a()\nlanguage: jpj\n", buf.data());
  std::string login = std::string("1 login:") + ContentPeer::kUser + ":" + ContentPeer::kSession + "\\r\\n";
  EXPECT_EQ((std::vector<std::string>{login, "1 getTopic:a.top\\r\\n"}), peer.received());
  EXPECT_TRUE(warnings().empty());

  EXPECT_EQ(1, fetch("getrukoconf", buf));
  EXPECT_STREQ("<config/>", buf.data());
  EXPECT_EQ("2 getrukoconf\\r\\n", peer.received().back());
}

TEST_F(KTInetTest, LoginReplyMustBeginWithOne) {
  peer.put("ruko.conf", "<config/>");
  ASSERT_TRUE(peer.start({"--login-reply", "100 whatever follows"}));
  std::vector<char> buf(1000);
  EXPECT_EQ(1, fetch("getrukoconf", buf));
  peer.stop();

  for (const std::string reply : {"200 no", "0", ""}) {
    log.clear();
    ASSERT_TRUE(peer.start({"--login-reply", reply}));
    EXPECT_EQ(0, fetch("getrukoconf", buf)) << reply;
    EXPECT_EQ(std::vector<std::string>{"loginに失敗： 中止 = " + reply + "\r\n"}, warnings());
    peer.stop();
  }
}

TEST_F(KTInetTest, WrongCredentialsAndNoReplyFailTheLogin) {
  ASSERT_TRUE(peer.start({"--fault", "2=close"}));
  std::vector<char> buf(1000);
  EXPECT_EQ(0, fetch("getrukoconf", buf, "someone@example.com"));
  EXPECT_EQ(std::vector<std::string>{"loginに失敗： 中止 = 530: login incorrect\r\n"}, warnings());

  log.clear();
  EXPECT_EQ(0, fetch("getrukoconf", buf));
  EXPECT_EQ(std::vector<std::string>{"loginに失敗： 中止 = "}, warnings());
}

TEST_F(KTInetTest, ServerClosingWithoutBytesGivesNoFile) {
  peer.put("a.top", "x");
  ASSERT_TRUE(peer.start({"--mode", "nofile"}));
  std::vector<char> buf(1000, '#');
  EXPECT_EQ(0, fetch("getTopic:a.top", buf));
  EXPECT_EQ(std::vector<std::string>{kNoFile}, warnings());
  EXPECT_EQ('\0', buf[0]);
  EXPECT_EQ(0, fetch("getTopic:missing.top", buf));
}

TEST_F(KTInetTest, FileOfSizeLessOneFitsAndOneMoreDoesNot) {
  std::vector<char> buf(4097, '#');
  peer.put("fits.top", std::string(4096, 'f'));
  peer.put("over.top", std::string(4097, 'o'));
  ASSERT_TRUE(peer.start());
  EXPECT_EQ(1, fetch("getTopic:fits.top", buf));
  EXPECT_EQ(std::string(4096, 'f'), std::string(buf.data()));
  EXPECT_TRUE(warnings().empty());

  testing::internal::CaptureStdout();
  EXPECT_EQ(0, fetch("getTopic:over.top", buf));
  EXPECT_EQ(std::string(kTooBig) + "\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((std::vector<std::string>{kTooBig, kNoFile}), warnings());
  EXPECT_EQ('\0', buf[0]);
}

TEST_F(KTInetTest, ServerSendingMoreThanAnyBufferIsRefused) {
  ASSERT_TRUE(peer.start({"--mode", "oversize"}));
  std::vector<char> buf(1000000);
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, fetch("getTopic:a.top", buf));
  EXPECT_EQ(std::string(kTooBig) + "\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ((std::vector<std::string>{kTooBig, kNoFile}), warnings());
}

TEST_F(KTInetTest, BytesInSmallPiecesAreStoredInOrder) {
  std::string content;
  for (int i = 0; i < 120; ++i) content += std::to_string(i) + ",";
  peer.put("a.top", content);
  ASSERT_TRUE(peer.start({"--mode", "trickle"}));
  std::vector<char> buf(1000);
  EXPECT_EQ(1, fetch("getTopic:a.top", buf));
  EXPECT_EQ(content, std::string(buf.data()));
}

TEST_F(KTInetTest, NoServerIsToldOnTheConsoleAndInTheLog) {
  std::vector<char> buf(1000);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, fetch("getrukoconf", buf));
  EXPECT_EQ(std::string(kNoServer) + "\n", testing::internal::GetCapturedStdout());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ((std::vector<std::string>{"soketをサーバーにつなぐのに失敗しました： 中止", kNoServer}),
            warnings());
}

TEST_F(KTInetTest, ServerHostIsTheFixedNameUnlessTheEnvironmentNamesAnother) {
  unsetenv("KT_CONTENT_SERVER");
  const char* fixed = KTInet::serverHost();
  EXPECT_STRNE("", fixed);
  std::vector<char> buf(1000);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, fetch("getrukoconf", buf));  // no name server in this namespace
  testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find(std::string("\n") + fixed + ": ")) << err;
  EXPECT_EQ("ホスト情報を取得できません： 中止", warnings().at(0));

  setenv("KT_CONTENT_SERVER", "localhost", 1);
  EXPECT_STREQ("localhost", KTInet::serverHost());
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
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(0, fetch("getTopic:a.top", buf));
  EXPECT_LT(std::chrono::steady_clock::now() - begin,
            std::chrono::seconds(KTSocket::kReadTimeoutSeconds + 5));
  EXPECT_EQ((std::vector<std::string>{"ソケットの読み込みがタイムアウトしました： 中止", kNoFile}),
            warnings());
}


// A test process that dies without stopping its server must not leave the
// server running: the port is free again soon after.
TEST_F(KTInetTest, ServerEndsWithTheProcessThatStartedIt) {
  int report[2];
  ASSERT_EQ(0, pipe2(report, O_CLOEXEC));
  pid_t child = fork();
  if (child == 0) {
    close(report[0]);
    ContentPeer orphan;
    char up = orphan.start() ? 'y' : 'n';
    std::string folder = orphan.folder();
    if (write(report[1], &up, 1) != 1 || write(report[1], folder.data(), folder.size()) < 0) _exit(1);
    _exit(0);  // no destructor: the server is not stopped
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

  bool freed = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!freed && std::chrono::steady_clock::now() < deadline) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(KTInet::kContentPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    freed = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0;
    close(s);
    if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(freed) << "the server outlived the process that started it";
}

}  // namespace
