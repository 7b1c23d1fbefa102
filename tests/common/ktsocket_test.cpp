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
#include "shorttimeouts.h"
#include "ownnet.h"

namespace {

using kt::test::LogCapture;

const char* const kNoHost = "ホスト情報を取得できません： 中止";
const char* const kNoPort = "soketポートの設定に失敗しました： 中止";
const char* const kNoConnect = "soketをサーバーにつなぐのに失敗しました： 中止";
const char* const kTimedOut = "ソケットの読み込みがタイムアウトしました： 中止";

double secondsSince(std::chrono::steady_clock::time_point begin) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
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

TEST_F(LineReaderTest, LineEndsAtItsNewlineAtTheBufferAtTheEndOfStreamOrOnAnError) {
  Pair p;
  std::string longLine(600, 'a');
  longLine[0] = 'b';
  std::thread peer([&] {
    for (const std::string& piece : {longLine + "\n2nd\n1", std::string("00: "),
                                     std::string("slow "), std::string("reply\r"), std::string("\nrest")}) {
      sendText(p.writer(), piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    p.closeWriter();
  });
  // An overlong line stops at the buffer and goes on at the next read.
  EXPECT_EQ(buf, lines.read_line(p.reader(), buf));
  EXPECT_EQ(std::string(longLine, 0, 511), std::string(buf));
  EXPECT_EQ('\0', buf[511]);
  for (size_t i = 512; i < sizeof(buf); ++i) ASSERT_EQ('#', buf[i]) << "byte " << i;
  lines.read_line(p.reader(), buf);
  EXPECT_EQ(std::string(89, 'a') + "\n", std::string(buf));
  lines.read_line(p.reader(), buf);
  EXPECT_STREQ("2nd\n", buf);
  // Pieces joined, CR kept, the bytes after the newline left unread.
  lines.read_line(p.reader(), buf);
  EXPECT_STREQ("100: slow reply\r\n", buf);
  peer.join();
  lines.read_response(p.reader(), buf);
  EXPECT_STREQ("rest", buf);
  EXPECT_STREQ("", lines.read_line(p.reader(), buf));

  // A read error ends the line at once, whatever the descriptor: no
  // time-out is waited for.
  EXPECT_STREQ("", lines.read_line(-1, buf));
  EXPECT_TRUE(lines.wait_readable(-1));  // an error to report: read tells
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(LineReaderTest, SilentPeerIsGivenUpAfterTheReadTimeOut) {
  // The time-out every reader has unless a test shortens it.
  EXPECT_EQ(20000, KTSocket::readTimeoutMs);
  Pair p;
  sendText(p.writer(), "par");
  {
    kt::test::ShortTimeOuts shortened(1000);
    auto begin = std::chrono::steady_clock::now();
    lines.read_line(p.reader(), buf);
    double waited = secondsSince(begin);
    EXPECT_STREQ("par", buf);
    EXPECT_GE(waited, shortened.seconds() - 0.01);
    EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktlarkin", kTimedOut));
  }

  // The connection is finished with: a later line ends at once, without
  // another time-out.
  send(p.writer(), "late\n", 5, MSG_NOSIGNAL);
  log.clear();
  EXPECT_STREQ("", lines.read_line(p.reader(), buf));
  EXPECT_TRUE(log.lines().empty());
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
    before = kt::test::openDescriptors();
  }
  void TearDown() override {
    if (listener >= 0) close(listener);
    if (!IsSkipped()) {
      EXPECT_EQ(before, kt::test::openDescriptors()) << "a descriptor stayed open";
    }
  }

  // A port on 127.0.0.1 that holds the port, listening with that backlog
  // unless it is negative.
  int bindLoopback(int backlog) {
    if (listener >= 0) close(listener);
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    if (backlog >= 0) listen(listener, backlog);
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
  }

  LogCapture log;
  int before = 0;
  int listener = -1;
};

TEST_F(SocketOpenTest, ConnectsToADottedAddressAndToAName) {
  KTSocket lines("ktlarkin");
  const std::string noName = kt::test::localhostMissing();
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    if (!noName.empty() && std::string(host) == "localhost") continue;
    int s = lines.socket_open(host, bindLoopback(5));
    ASSERT_GE(s, 0);
    int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(5, write(accepted, "hi\r\n!", 5));
    char line[512];
    EXPECT_STREQ("hi\r\n", lines.read_line(s, line));
    close(accepted);
    close(s);
  }
  EXPECT_TRUE(log.lines().empty());
  if (!noName.empty()) GTEST_SKIP() << "connected by address only: " << noName;
}

// Each failure gives -1, one warning in the caller's category, then the
// system error on standard error.
TEST_F(SocketOpenTest, FailureIsWarnedAndItsErrorPrinted) {
  struct Case {
    const char* category;
    const char* host;
    int port;
    const char* warning;
    std::string error;
  };
  int refused = bindLoopback(-1);  // held but not listening
  const Case cases[] = {
      {"ktvesper", "no-such-host.invalid", 5591, kNoHost, "no-such-host.invalid: host name not"},
      {"ktlarkin", "127.0.0.x", 5591, kNoHost, "127.0.0.x: host name not"},  // a letter: a name
      {"ktlarkin", "127.0.0.1", 0, kNoPort, "connect: "},
      {"ktvesper", "127.0.0.1", refused, kNoConnect, "connect: Connection refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
    log.clear();
    KTSocket lines(c.category);
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, lines.socket_open(c.host, c.port));
    expectSystemErrorAfterWarning(testing::internal::GetCapturedStderr(), c.warning, c.error);
    std::vector<std::string> logged;
    for (const kt::test::LogLine& l : log.lines())
      logged.push_back(l.category + (l.level == qi::LogLevel_Warning ? " W " : " ? ") + l.message);
    std::vector<std::string> expected = {std::string(c.category) + " W " + c.warning};
    if (c.warning == kNoHost)
      expected.push_back(std::string(c.category) + " W ホスト名が見つかりません = " + c.host);
    EXPECT_EQ(expected, logged);
  }
}

// The system error printed after the warning is the one of the failed call,
// even when writing the warning touched errno (a log file being opened).
TEST_F(SocketOpenTest, SocketFailureReportsItsOwnSystemError) {
  if (std::string(kt::test::sanitizer()) == "address")
    GTEST_SKIP() << "the undefined behaviour checks need a free descriptor (a pipe to probe "
                    "memory); this test leaves none";
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
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(bindLoopback(0)));
  std::vector<int> queued;
  for (int i = 0; i < 3; ++i) {
    int q = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(q, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    queued.push_back(q);
  }

  // The time-out every connect has unless a test shortens it.
  EXPECT_EQ(10000, KTSocket::connectTimeoutMs);
  kt::test::ShortTimeOuts shortened(500);
  KTSocket lines("ktlarkin");
  testing::internal::CaptureStderr();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, lines.socket_open("127.0.0.1", ntohs(addr.sin_port)));
  double waited = secondsSince(begin);
  expectSystemErrorAfterWarning(testing::internal::GetCapturedStderr(), kNoConnect,
                                "connect: Connection timed out");
  EXPECT_GE(waited, shortened.seconds() - 0.01);
  for (int q : queued) close(q);
}

}  // namespace
