// ctest-timeout: 90
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "ktest.h"
#include "ktsocket.h"
#include "../peers/ownnet.h"

namespace {

using kt::test::LogCapture;

const char* const kNoHost = "ホスト情報を取得できません： 中止";
const char* const kNoPort = "soketポートの設定に失敗しました： 中止";
const char* const kNoConnect = "soketをサーバーにつなぐのに失敗しました： 中止";
const char* const kTimedOut = "ソケットの読み込みがタイムアウトしました： 中止";

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

void sendText(int fd, const std::string& text) {
  ASSERT_EQ(static_cast<ssize_t>(text.size()), send(fd, text.data(), text.size(), MSG_NOSIGNAL));
}

// Standard error carries the log lines too: the system error is the line
// that begins with prefix, and it follows the warning.
void expectSystemErrorAfterWarning(const std::string& err, const std::string& warning,
                                   const std::string& prefix) {
  size_t line = err.find("\n" + prefix);
  size_t warned = err.find(warning);
  ASSERT_NE(std::string::npos, line) << err;
  ASSERT_NE(std::string::npos, warned) << err;
  EXPECT_LT(warned, line) << err;
}

// The two ends of a connected stream socket pair.
struct Pair {
  Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
  ~Pair() {
    closeWriter();
    if (fd[0] >= 0) close(fd[0]);
  }
  void closeWriter() {
    if (fd[1] >= 0) close(fd[1]);
    fd[1] = -1;
  }
  int reader() const { return fd[0]; }
  int writer() const { return fd[1]; }
  int fd[2];
};

class LineReaderTest : public ::testing::Test {
protected:
  LineReaderTest() : lines("ktlarkin") { std::memset(buf, '#', sizeof(buf)); }
  LogCapture log;
  KTSocket lines;
  char buf[700];
};

TEST_F(LineReaderTest, KeepsCarriageReturnAndLeavesTheRestUnread) {
  Pair p;
  sendText(p.writer(), "100: ok\r\nrest");
  EXPECT_EQ(buf, lines.read_line(p.reader(), buf));
  EXPECT_STREQ("100: ok\r\n", buf);
  p.closeWriter();
  lines.read_response(p.reader(), buf);
  EXPECT_STREQ("rest", buf);
}

TEST_F(LineReaderTest, PeerClosingEarlyEndsTheLine) {
  {
    Pair p;
    sendText(p.writer(), "ab");
    p.closeWriter();
    EXPECT_STREQ("ab", lines.read_line(p.reader(), buf));
  }
  {
    Pair p;
    p.closeWriter();
    EXPECT_STREQ("", lines.read_line(p.reader(), buf));
  }
  EXPECT_TRUE(log.lines().empty());
}

// A read error ends the line at once and silently, whatever the descriptor.
TEST_F(LineReaderTest, ReadErrorEndsTheLineAtOnce) {
  auto begin = std::chrono::steady_clock::now();
  EXPECT_STREQ("", lines.read_line(-1, buf));
  EXPECT_TRUE(lines.wait_readable(-1));  // an error to report: read tells
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(LineReaderTest, LineArrivingInPiecesIsJoined) {
  Pair p;
  std::thread peer([&] {
    for (const char* piece : {"1", "00: ", "slow ", "reply\r", "\nnext"}) {
      sendText(p.writer(), piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  lines.read_line(p.reader(), buf);
  peer.join();
  EXPECT_STREQ("100: slow reply\r\n", buf);
}

TEST_F(LineReaderTest, OverlongLineStopsAtTheBufferAndContinuesOnTheNextRead) {
  Pair p;
  std::string longLine(600, 'a');
  longLine[0] = 'b';
  sendText(p.writer(), longLine + "\n2nd\n");
  lines.read_line(p.reader(), buf);
  EXPECT_EQ(std::string(longLine, 0, 511), std::string(buf));
  EXPECT_EQ('\0', buf[511]);
  for (size_t i = 512; i < sizeof(buf); ++i) ASSERT_EQ('#', buf[i]) << "byte " << i;

  lines.read_line(p.reader(), buf);
  EXPECT_EQ(std::string(89, 'a') + "\n", std::string(buf));
  lines.read_line(p.reader(), buf);
  EXPECT_STREQ("2nd\n", buf);
}

TEST_F(LineReaderTest, SilentPeerIsGivenUpAfterTheReadTimeOut) {
  Pair p;
  sendText(p.writer(), "par");
  auto begin = std::chrono::steady_clock::now();
  lines.read_line(p.reader(), buf);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_STREQ("par", buf);
  EXPECT_GE(waited, KTSocket::kReadTimeoutSeconds - 1);
  EXPECT_LT(waited, KTSocket::kReadTimeoutSeconds + 5);
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktlarkin", kTimedOut));

  // The connection is finished with: a later line ends at once.
  send(p.writer(), "late\n", 5, MSG_NOSIGNAL);
  begin = std::chrono::steady_clock::now();
  EXPECT_STREQ("", lines.read_line(p.reader(), buf));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
}

TEST_F(LineReaderTest, WritingToAClosedPeerFailsWithoutEndingTheProcess) {
  Pair p;
  EXPECT_TRUE(lines.send_line(p.writer(), "login:a:b\r\n"));
  close(p.fd[0]);
  p.fd[0] = -1;
  // The first write after the close may still be taken by the kernel.
  bool sent = true;
  for (int i = 0; i < 3 && sent; ++i) sent = lines.send_line(p.writer(), "again\r\n");
  EXPECT_FALSE(sent);
}

// Opening connections: run in a network namespace of the test's own, so a
// name lookup never leaves the machine.
class SocketOpenTest : public ::testing::Test {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
    before = openDescriptors();
  }
  void TearDown() override {
    if (listener >= 0) close(listener);
    if (!IsSkipped()) {
      EXPECT_EQ(before, openDescriptors()) << "a descriptor stayed open";
    }
  }

  // A port on 127.0.0.1 that accepts connections (or only holds the port).
  int bindLoopback(bool listening) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    if (listening) listen(listener, 5);
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
  }

  // Opens a connection to host and checks that the listener got it.
  void expectConnects(KTSocket& lines, const char* host) {
    int port = bindLoopback(true);
    int s = lines.socket_open(host, port);
    ASSERT_GE(s, 0);
    int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(5, write(accepted, "hi\r\n!", 5));
    char line[512];
    EXPECT_STREQ("hi\r\n", lines.read_line(s, line));
    close(accepted);
    close(s);
  }

  LogCapture log;
  int before = 0;
  int listener = -1;
};

TEST_F(SocketOpenTest, ConnectsToADottedAddressAndToAName) {
  KTSocket lines("ktlarkin");
  expectConnects(lines, "127.0.0.1");
  close(listener);
  expectConnects(lines, "localhost");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(SocketOpenTest, UnresolvableNameFailsWithTheHostInTheSystemError) {
  KTSocket lines("ktvesper");
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, lines.socket_open("no-such-host.invalid", 5591));
  std::string err = testing::internal::GetCapturedStderr();
  expectSystemErrorAfterWarning(err, kNoHost, "no-such-host.invalid: ");
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper", kNoHost));
}

TEST_F(SocketOpenTest, ALetterMakesTheHostAName) {
  KTSocket lines("ktlarkin");
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, lines.socket_open("127.0.0.x", 5591));
  expectSystemErrorAfterWarning(testing::internal::GetCapturedStderr(), kNoHost, "127.0.0.x: ");
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktlarkin", kNoHost));
}

TEST_F(SocketOpenTest, PortZeroIsRefusedBeforeAnySocketIsMade) {
  KTSocket lines("ktlarkin");
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, lines.socket_open("127.0.0.1", 0));
  expectSystemErrorAfterWarning(testing::internal::GetCapturedStderr(), kNoPort, "connect: ");
  std::vector<std::string> warnings = log.messages("ktlarkin");
  EXPECT_EQ(std::vector<std::string>{kNoPort}, warnings);
}

TEST_F(SocketOpenTest, RefusedConnectionLeavesNoDescriptor) {
  KTSocket lines("ktvesper");
  int port = bindLoopback(false);  // held but not listening: refused
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, lines.socket_open("127.0.0.1", port));
  std::string err = testing::internal::GetCapturedStderr();
  expectSystemErrorAfterWarning(err, kNoConnect, "connect: Connection refused");
  EXPECT_EQ(std::vector<std::string>{kNoConnect}, log.messages("ktvesper"));
  EXPECT_TRUE(log.messages("ktlarkin").empty());
}

// The system error printed after the warning is the one of the failed call,
// even when writing the warning touched errno (a log file being opened).
TEST_F(SocketOpenTest, SocketFailureReportsItsOwnSystemError) {
  qi::log::addLogHandler("errno-toucher", [](qi::LogLevel, const char*, const char*, const char*,
                                             const char*, int, const char*) { errno = ENOENT; });
  KTSocket lines("ktlarkin");
  testing::internal::CaptureStderr();
  struct rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit low = saved;
  int lowestFree = dup(2);
  close(lowestFree);
  low.rlim_cur = static_cast<rlim_t>(lowestFree);  // no room for one more
  setrlimit(RLIMIT_NOFILE, &low);
  int s = lines.socket_open("127.0.0.1", 5591);
  setrlimit(RLIMIT_NOFILE, &saved);
  qi::log::removeLogHandler("errno-toucher");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(-1, s);
  expectSystemErrorAfterWarning(err, "ソケット生成に失敗しました： 中止",
                                std::string("socket: ") + std::strerror(EMFILE));
}

TEST_F(SocketOpenTest, ServerThatNeverAnswersIsGivenUpAfterTheConnectTimeOut) {
  // A listener whose queue is full drops further connection requests.
  listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(listener, 0));
  socklen_t len = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::vector<int> queued;
  for (int i = 0; i < 3; ++i) {
    int q = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(q, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    queued.push_back(q);
  }

  KTSocket lines("ktlarkin");
  testing::internal::CaptureStderr();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, lines.socket_open("127.0.0.1", ntohs(addr.sin_port)));
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  expectSystemErrorAfterWarning(testing::internal::GetCapturedStderr(), kNoConnect,
                                "connect: Connection timed out");
  EXPECT_GE(waited, KTSocket::kConnectTimeoutSeconds - 1);
  EXPECT_LT(waited, KTSocket::kConnectTimeoutSeconds + 5);
  for (int q : queued) close(q);
}

}  // namespace
