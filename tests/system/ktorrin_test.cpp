// KTOrrin: following the platform log tail file by name, as a client does.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <alcommon/alproxy.h>

#include "ktest.h"
#include "ktorrin.h"

namespace {

const char* const kTail = "/var/volatile/var/log/naoqi/tail-naoqi.log";

// "line 1\n" ... "line n\n" for from..to.
std::string numbered(int from, int to) {
  std::string out;
  for (int i = from; i <= to; ++i) out += "line " + std::to_string(i) + "\n";
  return out;
}

// The platform appends its own log lines to the same file while the robot
// root is set (init logs one). Each test installs its lines after the module
// is created, and checks before a read that nothing else came in between.
class KTOrrinTest : public kt::test::RobotTest {
protected:
  KTOrrinTest()
    : module(AL::ALModule::createModule<KTOrrin>(broker, "KTOrrin")),
      orrin(broker, "KTOrrin", 0, 0) {}

  void install(const std::string& content) {
    written = content;
    root.write(kTail, written);
  }
  void append(const std::string& content) {
    written += content;
    root.append(kTail, content);
  }
  std::string getRobotLog() {
    EXPECT_EQ(written, root.read(kTail)) << "the tail file holds more than the test wrote";
    return orrin.call<std::string>("getRobotLog");
  }

  boost::shared_ptr<KTOrrin> module;
  AL::ALProxy orrin;
  std::string written;
};

TEST_F(KTOrrinTest, FollowsTheNewestLines) {
  install(numbered(1, 100));
  size_t logged = log.lines().size();
  EXPECT_EQ(numbered(61, 100), getRobotLog());
  EXPECT_EQ("", getRobotLog());

  append(numbered(101, 105));
  EXPECT_EQ(numbered(101, 105), getRobotLog());
  EXPECT_EQ("", getRobotLog());

  append(numbered(106, 155));
  EXPECT_EQ(numbered(116, 155), getRobotLog());

  append(numbered(156, 156));
  EXPECT_EQ(numbered(156, 156), getRobotLog());
  // Reading logs nothing.
  EXPECT_EQ(logged, log.lines().size());
}

TEST_F(KTOrrinTest, ShortFileGivesAllItsLines) {
  install(numbered(1, 7));
  EXPECT_EQ(numbered(1, 7), getRobotLog());
  install("");
  EXPECT_EQ("", getRobotLog());
}

TEST_F(KTOrrinTest, FileReplacedByAShorterOne) {
  install(numbered(1, 100));
  EXPECT_EQ(numbered(61, 100), getRobotLog());

  install(numbered(1, 30));
  EXPECT_EQ("", getRobotLog());
  append(numbered(31, 100));
  EXPECT_EQ("", getRobotLog());
  // Only what lies past the 100th line.
  append(numbered(101, 103));
  EXPECT_EQ(numbered(101, 103), getRobotLog());
}

TEST_F(KTOrrinTest, LastLineWithoutLineFeed) {
  install("first\nsecond");
  EXPECT_EQ("first\nsecond\n", getRobotLog());
  // The writer completes the line: its index is passed, so the rest is not sent.
  append(" half\nthird\n");
  EXPECT_EQ("third\n", getRobotLog());
}

TEST_F(KTOrrinTest, CarriageReturnsAndEmptyLinesKept) {
  install("crlf\r\n\nlone\r\r\n\xE3\x81\x82\n");
  EXPECT_EQ("crlf\r\n\nlone\r\r\n\xE3\x81\x82\n", getRobotLog());
}

TEST_F(KTOrrinTest, InitStartsOverAndLogs) {
  // The platform's factory called init once already.
  EXPECT_EQ(std::vector<std::string>({"システムモジュールを初期化しました"}),
            log.messages("ktorrin"));
  EXPECT_TRUE(log.has(qi::LogLevel_Info, "ktorrin", "システムモジュールを初期化しました"));

  install(numbered(1, 100));
  EXPECT_EQ(numbered(61, 100), getRobotLog());
  orrin.callVoid("init");
  EXPECT_EQ(2u, log.messages("ktorrin").size());
  EXPECT_EQ("システムモジュールを初期化しました", log.messages("ktorrin").back());

  // Drop the platform's own line that init appended, then read again.
  install(written);
  EXPECT_EQ(numbered(61, 100), getRobotLog());

  // After a shorter file too.
  install(numbered(1, 3));
  EXPECT_EQ("", getRobotLog());
  orrin.callVoid("init");
  install(written);
  EXPECT_EQ(numbered(1, 3), getRobotLog());
}

TEST_F(KTOrrinTest, MissingFileGivesTheEmptyText) {
  install(numbered(1, 100));
  EXPECT_EQ(numbered(61, 100), getRobotLog());
  ASSERT_EQ(0, ::remove(root.at(kTail).c_str()));
  EXPECT_EQ("", orrin.call<std::string>("getRobotLog"));
  // The read position was kept.
  install(numbered(1, 102));
  EXPECT_EQ(numbered(101, 102), getRobotLog());
}

TEST_F(KTOrrinTest, MissingFolderGivesTheEmptyText) {
  kt::test::removeTree(root.at("/var"));
  EXPECT_EQ("", orrin.call<std::string>("getRobotLog"));
  install(numbered(1, 2));
  EXPECT_EQ(numbered(1, 2), getRobotLog());
}

// Concurrent callers share one read position: together they return every
// line once. Batches stay within the 40-line window and each is consumed
// before the next, so no line may be skipped.
TEST_F(KTOrrinTest, ConcurrentCallersNeitherRepeatNorLoseLines) {
  install("");
  const int readers = 4, batches = 150;
  std::atomic<bool> stop(false);
  std::vector<std::vector<std::string> > got(readers);
  std::atomic<int> received(0);
  std::vector<std::thread> pool;
  for (int r = 0; r < readers; ++r)
    pool.emplace_back([this, r, &stop, &got, &received] {
      AL::ALProxy proxy(broker, "KTOrrin", 0, 0);
      while (!stop) {
        std::istringstream in(proxy.call<std::string>("getRobotLog"));
        std::string line;
        while (std::getline(in, line)) {
          got[r].push_back(line);
          ++received;
        }
      }
    });

  // Each batch replaces the file at once, so a reader never sees half a line.
  std::string tmp = root.at(kTail) + ".new";
  int total = 0;
  bool timedOut = false;
  for (int b = 0; b < batches && !timedOut; ++b) {
    int n = 1 + (b * 7) % 40;
    written += numbered(total + 1, total + n);
    total += n;
    {
      std::ofstream out(tmp.c_str(), std::ios::binary | std::ios::trunc);
      out << written;
    }
    ASSERT_EQ(0, ::rename(tmp.c_str(), root.at(kTail).c_str()));
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received < total && !timedOut) {
      std::this_thread::yield();
      timedOut = std::chrono::steady_clock::now() > deadline;
    }
  }
  stop = true;
  for (std::thread& t : pool) t.join();
  EXPECT_FALSE(timedOut) << "lines were lost: " << received << " of " << total;

  std::multiset<std::string> all;
  for (const std::vector<std::string>& lines : got) {
    int previous = 0;
    for (const std::string& l : lines) {
      all.insert(l);
      // Each caller sees lines in file order.
      int n = std::stoi(l.substr(5));
      EXPECT_GT(n, previous);
      previous = n;
    }
  }
  EXPECT_EQ(static_cast<size_t>(total), all.size());
  for (int i = 1; i <= total; ++i)
    EXPECT_EQ(1u, all.count("line " + std::to_string(i))) << "line " << i;
}

}  // namespace
