// Helpers shared by the test suites: a robot with every simulated service,
// captured log lines, recorded pauses and a temporary robot file tree.
#ifndef KTEST_H
#define KTEST_H

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <alcommon/albrokermanager.h>
#include <ktplatform/simrobot.h>
#include <qi/log.hpp>

namespace kt {
namespace test {

struct LogLine {
  qi::LogLevel level;
  std::string category;
  std::string message;
  std::string formatted;
};

// Collects every log line emitted while it lives.
class LogCapture {
public:
  LogCapture();
  ~LogCapture();
  std::vector<LogLine> lines() const;
  // Messages of one category, in order.
  std::vector<std::string> messages(const std::string& category) const;
  bool has(qi::LogLevel level, const std::string& category, const std::string& message) const;
  void clear();

private:
  std::string fName;
  mutable std::mutex fMutex;
  std::vector<LogLine> fLines;
};

// Records the pauses asked of qi::os::sleep instead of waiting for them.
class SleepRecorder {
public:
  SleepRecorder();
  ~SleepRecorder();
  std::vector<unsigned int> calls() const;

private:
  mutable std::mutex fMutex;
  std::vector<unsigned int> fCalls;
};

// A fresh folder used as the robot's file tree (KT_ROBOT_ROOT) while it lives.
class TempRoot {
public:
  TempRoot();
  ~TempRoot();
  const std::string& path() const { return fPath; }
  // robotPath is absolute on the robot, such as "/home/nao/ruko/conf/ruko.conf".
  std::string at(const std::string& robotPath) const { return fPath + robotPath; }
  void write(const std::string& robotPath, const std::string& content) const;
  void append(const std::string& robotPath, const std::string& content) const;
  std::string read(const std::string& robotPath) const;
  bool exists(const std::string& robotPath) const;

private:
  std::string fPath;
  std::string fPrevious;
  bool fHadPrevious;
};

// The sanitizer this build runs under: "address" (with undefined behaviour),
// "thread", or "" for none.
inline const char* sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return "address";
#elif defined(__SANITIZE_THREAD__)
  return "thread";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return "address";
#elif __has_feature(thread_sanitizer)
  return "thread";
#else
  return "";
#endif
#else
  return "";
#endif
}

// Seconds a test waits for what should come before calling it a hang: a
// minute, three under a sanitizer. Only a guard against a hang, never what
// the test expects, so that a slow or busy machine fails nothing.
inline double patience() { return *sanitizer() ? 180 : 60; }

// Polls cond every 10 ms until it holds or the seconds have passed.
bool eventually(const std::function<bool()>& cond, double seconds);

// Removes a folder tree.
void removeTree(const std::string& path);

// Descriptors this process has open, to see that none is left behind.
int openDescriptors();

// Empty when /etc/hosts names localhost; otherwise why a test that reaches
// a peer by that name cannot (a bare chroot or container may have no entry).
std::string localhostMissing();

// A robot with every simulated service, in this process.
class RobotTest : public ::testing::Test {
protected:
  RobotTest();
  ~RobotTest();

  std::vector<std::string> journal() { return robot.world().journal(); }
  // Journal lines of one service method, such as "ALMotion.moveTo".
  std::vector<std::string> calls(const std::string& serviceMethod);

  TempRoot root;
  LogCapture log;
  SleepRecorder sleeps;
  kt::sim::Robot robot;
  boost::shared_ptr<AL::ALBroker> broker;
};

}  // namespace test
}  // namespace kt

#endif
