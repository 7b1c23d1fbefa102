// The platform log: handlers, level and context settings, the log tail file,
// and the pause seam of qi::os.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <ktplatform/sleephook.h>
#include <qi/log.hpp>
#include <qi/os.hpp>

#include "ktest.h"

namespace {

const char* const kTail = "/var/volatile/var/log/naoqi/tail-naoqi.log";

struct Seen {
  qi::LogLevel level;
  std::string category, message, file, function;
  int line;
  std::string formatted;
};

// A handler keeping every field it is given.
class Handler {
public:
  explicit Handler(const std::string& name) : fName(name) {
    qi::log::addLogHandler(name, [this](qi::LogLevel level, const char* category,
                                        const char* message, const char* file,
                                        const char* function, int line, const char* formatted) {
      std::lock_guard<std::mutex> lock(fMutex);
      fSeen.push_back(Seen{level, category, message, file, function, line, formatted});
    });
  }
  ~Handler() { qi::log::removeLogHandler(fName); }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(fMutex);
    return fSeen;
  }

private:
  std::string fName;
  std::mutex fMutex;
  std::vector<Seen> fSeen;
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

class LogTest : public ::testing::Test {
protected:
  ~LogTest() { qi::log::init(qi::log::defaultVerbosity, qi::log::defaultContext); }
};

TEST_F(LogTest, HandlerGetsFieldsAndFormattedText) {
  Handler h("fields");
  int line = __LINE__ + 1;
  qi::log::LogStream(qi::LogLevel_Warning, "src/ktx.cpp", "doIt", line, "ktx") << "値は " << 42;

  std::vector<Seen> seen = h.seen();
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(qi::LogLevel_Warning, seen[0].level);
  EXPECT_EQ("ktx", seen[0].category);
  EXPECT_EQ("値は 42", seen[0].message);
  EXPECT_EQ("src/ktx.cpp", seen[0].file);
  EXPECT_EQ("doIt", seen[0].function);
  EXPECT_EQ(line, seen[0].line);
  // Default context: date, long level, category.
  EXPECT_TRUE(std::regex_match(seen[0].formatted,
                               std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\[WARN\\] "
                                          "ktx: 値は 42")))
      << seen[0].formatted;
}

TEST_F(LogTest, DateIsTheLocalTime) {
  Handler h("date");
  char before[32], after[32];
  struct tm tmv;
  time_t t0 = time(0);
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktx") << "now";
  time_t t1 = time(0);
  strftime(before, sizeof before, "%Y-%m-%d %H:%M:%S", localtime_r(&t0, &tmv));
  strftime(after, sizeof after, "%Y-%m-%d %H:%M:%S", localtime_r(&t1, &tmv));
  ASSERT_EQ(1u, h.seen().size());
  std::string date = h.seen()[0].formatted.substr(0, 19);
  EXPECT_TRUE(date == before || date == after) << date << " not " << before;
}

TEST_F(LogTest, RemovedHandlerSeesNothingAndANameIsOneHandler) {
  Handler kept("kept");
  {
    Handler gone("gone");
  }
  int calls = 0;
  qi::log::addLogHandler("twice", [&calls](qi::LogLevel, const char*, const char*, const char*,
                                          const char*, int, const char*) { calls += 1; });
  qi::log::addLogHandler("twice", [&calls](qi::LogLevel, const char*, const char*, const char*,
                                          const char*, int, const char*) { calls += 10; });
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktx") << "one";
  qi::log::removeLogHandler("twice");
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktx") << "two";
  EXPECT_EQ(10, calls);
  EXPECT_EQ(2u, kept.seen().size());
}

TEST_F(LogTest, FailingHandlerNeitherStopsTheLineNorTheProcess) {
  kt::test::TempRoot root;
  qi::log::addLogHandler("thrower", [](qi::LogLevel, const char*, const char*, const char*,
                                       const char*, int, const char*) {
    throw std::runtime_error("handler failure");
  });
  Handler after("after");
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktx") << "survives";
  qi::log::removeLogHandler("thrower");
  ASSERT_EQ(1u, after.seen().size());
  EXPECT_EQ("survives", after.seen()[0].message);
  EXPECT_NE(std::string::npos, root.read(kTail).find("ktx: survives\n"));

  // Missing texts are empty texts.
  qi::log::log(qi::LogLevel_Info, nullptr, "no category", nullptr, nullptr, 0);
  ASSERT_EQ(2u, after.seen().size());
  EXPECT_EQ("", after.seen()[1].category);
}

TEST_F(LogTest, LevelFilter) {
  Handler h("levels");
  qi::log::LogStream(qi::LogLevel_Debug, "", "", 0, "c") << "debug";
  qi::log::LogStream(qi::LogLevel_Verbose, "", "", 0, "c") << "verbose";
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "c") << "info";
  qi::log::LogStream(qi::LogLevel_Warning, "", "", 0, "c") << "warning";
  qi::log::init(qi::LogLevel_Warning, qi::log::defaultContext, true);
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "c") << "info hidden";
  qi::log::LogStream(qi::LogLevel_Error, "", "", 0, "c") << "error";
  qi::log::init(qi::LogLevel_Silent, qi::log::defaultContext, true);
  qi::log::LogStream(qi::LogLevel_Fatal, "", "", 0, "c") << "silenced";

  std::vector<std::string> got;
  for (const Seen& s : h.seen()) got.push_back(s.message);
  EXPECT_EQ(std::vector<std::string>({"info", "warning", "error"}), got);
}

TEST_F(LogTest, ContextFlags26GiveShortLevelThreadIdAndCategory) {
  Handler h("context");
  qi::log::init(qi::LogLevel_Info, 26, true);
  EXPECT_EQ(qi::LogLevel_Info, qi::log::verbosity());
  EXPECT_EQ(26, qi::log::context());
  long tid = 0;
  std::thread([&tid] {
    tid = static_cast<long>(syscall(SYS_gettid));
    qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktruko") << "開始";
    qi::log::LogStream(qi::LogLevel_Warning, "", "", 0, "ktruko") << "警告";
  }).join();

  std::vector<Seen> seen = h.seen();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ("[I] " + std::to_string(tid) + " ktruko: 開始", seen[0].formatted);
  EXPECT_EQ("[W] " + std::to_string(tid) + " ktruko: 警告", seen[1].formatted);

  // File and function, when asked for.
  qi::log::init(qi::LogLevel_Info,
                qi::log::LogContextAttr_Category | qi::log::LogContextAttr_File |
                    qi::log::LogContextAttr_Function,
                true);
  qi::log::LogStream(qi::LogLevel_Info, "a.cpp", "run", 12, "c") << "x";
  EXPECT_EQ("c: a.cpp(12) run() x", h.seen().back().formatted);
}

TEST_F(LogTest, EveryLineIsAppendedToTheTailFile) {
  kt::test::TempRoot root;
  EXPECT_FALSE(root.exists(kTail));
  Handler h("tail");
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktorrin") << "一行目";
  qi::log::LogStream(qi::LogLevel_Verbose, "", "", 0, "ktorrin") << "filtered";
  qi::log::LogStream(qi::LogLevel_Warning, "", "", 0, "ktvesper") << "二行目";
  qi::log::init(qi::LogLevel_Info, 26, true);
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktruko") << "三行目";

  std::vector<Seen> seen = h.seen();
  ASSERT_EQ(3u, seen.size());
  std::string expected;
  for (const Seen& s : seen) expected += s.formatted + "\n";
  EXPECT_EQ(expected, root.read(kTail));

  // Appended, never replaced.
  root.write(kTail, "earlier\n");
  qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "ktruko") << "四行目";
  EXPECT_EQ("earlier\n" + h.seen().back().formatted + "\n", root.read(kTail));
}

TEST_F(LogTest, NoTailFileWithoutARobotRoot) {
  struct stat st;
  bool realTailExisted = stat(kTail, &st) == 0;
  kt::test::TempRoot root;
  unsetenv("KT_ROBOT_ROOT");
  Handler h("noroot");
  qi::log::LogStream(qi::LogLevel_Warning, "", "", 0, "ktx") << "nowhere";
  setenv("KT_ROBOT_ROOT", root.path().c_str(), 1);

  EXPECT_EQ(1u, h.seen().size());
  EXPECT_FALSE(root.exists(kTail));
  if (!realTailExisted) {
    EXPECT_NE(0, stat(kTail, &st)) << "wrote the real log tail";
  }
}

TEST_F(LogTest, ConcurrentLinesStayWhole) {
  kt::test::TempRoot root;
  qi::log::init(qi::LogLevel_Info, qi::log::LogContextAttr_Category, true);
  const int threads = 8, perThread = 150;
  // Longer than a pipe's atomic size would matter for stderr too.
  const std::string padding(600, 'p');
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([t, &padding] {
      for (int i = 0; i < perThread; ++i)
        qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "mt")
            << "t" << t << " n" << i << " " << padding << " end";
    });
  for (std::thread& t : pool) t.join();

  std::vector<std::string> lines = splitLines(root.read(kTail));
  ASSERT_EQ(static_cast<size_t>(threads * perThread), lines.size());
  std::regex whole("mt: t(\\d+) n(\\d+) p{600} end");
  std::set<std::pair<int, int> > seen;
  std::vector<int> next(threads, 0);
  for (const std::string& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, whole)) << "broken line: " << l.substr(0, 80);
    int t = std::stoi(m[1]), i = std::stoi(m[2]);
    // Each thread's lines in its own order.
    EXPECT_EQ(next[t], i);
    next[t] = i + 1;
    seen.insert(std::make_pair(t, i));
  }
  EXPECT_EQ(static_cast<size_t>(threads * perThread), seen.size());
}

// A process forked while another thread logs must still be able to log:
// no lock of the logger (nor of the C library's time functions) may be held
// across the fork.
TEST_F(LogTest, ForkedChildLogsWhileAThreadLogs) {
  // The date is the part that needs care.
  qi::log::init(qi::LogLevel_Info, qi::log::LogContextAttr_Date, true);
  int savedErr = dup(2);
  int devNull = open("/dev/null", O_WRONLY);
  ASSERT_GE(devNull, 0);
  dup2(devNull, 2);
  std::atomic<bool> stop(false);
  std::atomic<int> said(0);
  std::thread chatter([&stop, &said] {
    for (; !stop; ++said) qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "chatter") << "busy";
  });
  // Forks begin once the thread has logged: its first line also sets up
  // what the C++ library does once per process, and ThreadSanitizer's
  // pthread_once leaves a child forked in the middle of that stuck.
  bool logging = kt::test::eventually([&said] { return said > 0; }, kt::test::patience());

  int hung = 0, failed = 0;
  for (int i = 0; logging && i < 200 && hung == 0; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      qi::log::LogStream(qi::LogLevel_Info, "", "", 0, "child") << "alive";
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kt::test::patience());
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ++hung;
        break;
      }
      // Not a busy wait: beside other tests, the child needs the processor.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!hung && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) ++failed;
  }
  stop = true;
  chatter.join();
  dup2(savedErr, 2);
  close(savedErr);
  close(devNull);
  EXPECT_TRUE(logging);
  EXPECT_EQ(0, hung) << "a forked child hung in the logger";
  EXPECT_EQ(0, failed);
}

// Pauses of a day or two: waited for, they would hang the test.
TEST(SleepSeamTest, RecordedNotWaited) {
  std::vector<unsigned int> asked;
  {
    kt::test::SleepRecorder recorder;
    qi::os::sleep(86400);
    qi::os::sleep(1);
    std::thread([] { qi::os::sleep(172800); }).join();
    asked = recorder.calls();
  }
  EXPECT_EQ(std::vector<unsigned int>({86400, 1, 172800}), asked);

  // A hook of one's own, then real pauses again.
  unsigned int total = 0;
  kt::setSleepHook([&total](unsigned int s) { total += s; });
  qi::os::sleep(7);
  kt::setSleepHook(kt::SleepHook());
  EXPECT_EQ(7u, total);
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  qi::os::sleep(1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
  EXPECT_EQ(7u, total);
}

}  // namespace
