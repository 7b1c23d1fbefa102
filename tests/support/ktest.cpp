#include "ktest.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <ktplatform/robotroot.h>
#include <ktplatform/sleephook.h>

namespace kt {
namespace test {

static std::atomic<int> gCaptureId(0);

LogCapture::LogCapture() {
  std::ostringstream name;
  name << "ktest-capture-" << gCaptureId++;
  fName = name.str();
  qi::log::addLogHandler(fName, [this](qi::LogLevel level, const char* category,
                                       const char* message, const char*, const char*, int,
                                       const char* formatted) {
    std::lock_guard<std::mutex> lock(fMutex);
    fLines.push_back(LogLine{level, category, message, formatted});
  });
}

LogCapture::~LogCapture() { qi::log::removeLogHandler(fName); }

std::vector<LogLine> LogCapture::lines() const {
  std::lock_guard<std::mutex> lock(fMutex);
  return fLines;
}

std::vector<std::string> LogCapture::messages(const std::string& category) const {
  std::vector<std::string> out;
  for (const LogLine& l : lines())
    if (l.category == category) out.push_back(l.message);
  return out;
}

bool LogCapture::has(qi::LogLevel level, const std::string& category,
                     const std::string& message) const {
  for (const LogLine& l : lines())
    if (l.level == level && l.category == category && l.message == message) return true;
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lock(fMutex);
  fLines.clear();
}

SleepRecorder::SleepRecorder() {
  kt::setSleepHook([this](unsigned int seconds) {
    std::lock_guard<std::mutex> lock(fMutex);
    fCalls.push_back(seconds);
  });
}

SleepRecorder::~SleepRecorder() { kt::setSleepHook(kt::SleepHook()); }

std::vector<unsigned int> SleepRecorder::calls() const {
  std::lock_guard<std::mutex> lock(fMutex);
  return fCalls;
}

TempRoot::TempRoot() {
  char tmpl[] = "/tmp/ktroot-XXXXXX";
  char* made = mkdtemp(tmpl);
  if (!made) throw std::runtime_error("mkdtemp failed");
  fPath = made;
  const char* previous = getenv("KT_ROBOT_ROOT");
  fHadPrevious = previous != nullptr;
  if (previous) fPrevious = previous;
  setenv("KT_ROBOT_ROOT", fPath.c_str(), 1);
}

TempRoot::~TempRoot() {
  if (fHadPrevious)
    setenv("KT_ROBOT_ROOT", fPrevious.c_str(), 1);
  else
    unsetenv("KT_ROBOT_ROOT");
  removeTree(fPath);
}

void TempRoot::write(const std::string& robotPath, const std::string& content) const {
  std::string full = at(robotPath);
  kt::makeFolders(full.substr(0, full.rfind('/')));
  std::ofstream out(full.c_str(), std::ios::binary | std::ios::trunc);
  out << content;
}

void TempRoot::append(const std::string& robotPath, const std::string& content) const {
  std::string full = at(robotPath);
  kt::makeFolders(full.substr(0, full.rfind('/')));
  std::ofstream out(full.c_str(), std::ios::binary | std::ios::app);
  out << content;
}

std::string TempRoot::read(const std::string& robotPath) const {
  std::ifstream in(at(robotPath).c_str(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TempRoot::exists(const std::string& robotPath) const {
  struct stat st;
  return stat(at(robotPath).c_str(), &st) == 0;
}

bool eventually(const std::function<bool()>& cond, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

static int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

void removeTree(const std::string& path) {
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

std::string localhostMissing() {
  std::ifstream hosts("/etc/hosts");
  if (!hosts) return "there is no /etc/hosts to name localhost";
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream fields(line.substr(0, line.find('#')));
    std::string field;
    fields >> field;  // the address
    while (fields >> field)
      if (field == "localhost") return std::string();
  }
  return "/etc/hosts does not name localhost";
}

RobotTest::RobotTest() : broker(robot.broker()) {}

RobotTest::~RobotTest() {
  robot.shutdown();
  AL::ALBrokerManager::setInstance(boost::shared_ptr<AL::ALBrokerManager>());
}

std::vector<std::string> RobotTest::calls(const std::string& serviceMethod) {
  std::vector<std::string> out;
  for (const std::string& line : journal())
    if (line.compare(0, serviceMethod.size() + 1, serviceMethod + " ") == 0) out.push_back(line);
  return out;
}

}  // namespace test
}  // namespace kt
