// KTOrrin: following the platform log tail file by name, as a client does.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>
#include <chrono>
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

// One read position followed through a life of the tail file: each step
// changes the file (or calls init), then reads.
TEST_F(KTOrrinTest, FollowsTheNewestLinesOfTheTailFile) {
  enum Op { Install, Append, RemoveFolder, Init };
  struct Step {
    const char* what;
    Op op;
    std::string text;
    std::string expected;
  };
  const Step steps[] = {
      {"no folder", RemoveFolder, "", ""},
      {"a short file", Install, numbered(1, 7), numbered(1, 7)},
      {"100 lines", Install, numbered(1, 100), numbered(61, 100)},
      {"nothing new", Append, "", ""},
      {"5 appended", Append, numbered(101, 105), numbered(101, 105)},
      {"50 appended", Append, numbered(106, 155), numbered(116, 155)},
      {"1 appended", Append, numbered(156, 156), numbered(156, 156)},
      {"no file", RemoveFolder, "", ""},
      {"the position was kept", Install, numbered(1, 158), numbered(157, 158)},
      {"a shorter file", Install, numbered(1, 30), ""},
      {"up to the old length", Append, numbered(31, 158), ""},
      {"past it", Append, numbered(159, 161), numbered(159, 161)},
      {"init", Init, "", numbered(122, 161)},
      {"a shorter file", Install, numbered(1, 3), ""},
      {"init after it", Init, "", numbered(1, 3)},
      {"carriage returns, empty lines, no last line feed", Install,
       "crlf\r\n\nlone\r\r\n\xE3\x81\x82\nsecond", "\xE3\x81\x82\nsecond\n"},
      // The writer completes the line: its index is passed, so the rest is not sent.
      {"the last line completed", Append, " half\nthird\n", "third\n"},
      {"init", Init, "", "crlf\r\n\nlone\r\r\n\xE3\x81\x82\nsecond half\nthird\n"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    switch (step.op) {
      case Install: install(step.text); break;
      case Append: append(step.text); break;
      case RemoveFolder:
        kt::test::removeTree(root.at("/var"));
        written.clear();
        break;
      case Init:
        orrin.callVoid("init");
        install(written);  // drops the platform's own line that init appended
        break;
    }
    EXPECT_EQ(step.expected, step.op == RemoveFolder ? orrin.call<std::string>("getRobotLog")
                                                     : getRobotLog());
  }
  // Reading logs nothing; init logs its line (the platform's factory ran it once).
  EXPECT_EQ(std::vector<std::string>(4, "システムモジュールを初期化しました"), log.messages("ktorrin"));
}

// The file passes through a fixed buffer: lines cut by its edges, lines
// longer than it, and many lines before the newest 40.
TEST_F(KTOrrinTest, LongFilesAndLongLinesGiveTheSameNewestLines) {
  std::string wide(700000, 'w');
  const std::pair<std::string, std::string> cases[] = {
      {numbered(1, 100000), numbered(99961, 100000)},
      {wide + "\n" + numbered(1, 39), wide + "\n" + numbered(1, 39)},
      {numbered(1, 50) + wide, numbered(12, 50) + wide + "\n"},
      {numbered(1, 60000) + wide + "\r\n\n", numbered(59963, 60000) + wide + "\r\n\n"},
  };
  for (const auto& c : cases) {
    orrin.callVoid("init");
    install(c.first);
    std::string got = getRobotLog();
    EXPECT_TRUE(got == c.second) << got.size() << " bytes, not " << c.second.size();
    EXPECT_EQ("", getRobotLog());
  }
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
  const std::string next = std::string(kTail) + ".new";
  int total = 0;
  bool timedOut = false;
  for (int b = 0; b < batches && !timedOut; ++b) {
    int n = 1 + (b * 7) % 40;
    written += numbered(total + 1, total + n);
    total += n;
    root.write(next, written);
    ASSERT_EQ(0, ::rename(root.at(next).c_str(), root.at(kTail).c_str()));
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kt::test::patience());
    while (received < total && !timedOut) {
      std::this_thread::yield();
      timedOut = std::chrono::steady_clock::now() > deadline;
    }
  }
  stop = true;
  for (std::thread& t : pool) t.join();
  EXPECT_FALSE(timedOut) << "lines were lost: " << received << " of " << total;

  // Every line once, and each caller sees lines in file order.
  std::vector<int> times(total + 1, 0);
  for (const std::vector<std::string>& lines : got) {
    int previous = 0;
    for (const std::string& l : lines) {
      int n = std::stoi(l.substr(5));
      EXPECT_GT(n, previous);
      previous = n;
      if (n >= 1 && n <= total) ++times[n];
    }
  }
  EXPECT_EQ(std::vector<int>(total, 1), std::vector<int>(times.begin() + 1, times.end()));
}

}  // namespace
