// Starts ktrobot in a temporary root with a socket of its own and drives it
// with ktcli, as a user would. Output goes to files in the root, so that a
// busy robot never blocks on a pipe nobody reads.
#ifndef ROBOT_HARNESS_H
#define ROBOT_HARNESS_H

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ktest.h"
#include "seconds.h"

extern char** environ;

namespace kt {
namespace itest {

inline double now() { return kt::test::seconds(); }

using kt::test::eventually;
using kt::test::patience;

inline std::string readFile(const std::string& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A program run with its output in files; killed and reaped when dropped.
class Process {
public:
  Process(const std::vector<std::string>& argv, const std::string& outPath,
          const std::string& errPath, const std::vector<std::string>& env = {})
    : fOutPath(outPath), fErrPath(errPath), fStatus(-1), fDone(false) {
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      std::string v = *e;
      if (v.compare(0, 14, "KT_ROBOT_ROOT=") == 0 || v.compare(0, 16, "KT_ROBOT_SOCKET=") == 0)
        continue;
      environment.push_back(v);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    fPid = fork();
    if (fPid == 0) {
      dup2(out, 1);
      dup2(err, 2);
      execve(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(out);
    close(err);
  }

  ~Process() {
    if (fPid > 0 && !fDone) {
      kill(fPid, SIGKILL);
      waitpid(fPid, nullptr, 0);
    }
  }

  pid_t pid() const { return fPid; }
  std::string out() const { return readFile(fOutPath); }
  std::string err() const { return readFile(fErrPath); }
  void signal(int sig) {
    if (!fDone) kill(fPid, sig);
  }

  bool running() {
    poll();
    return !fDone;
  }

  // Exit code (128 + signal for a killed process), or -1 if still running
  // after the given time.
  int wait(double seconds) {
    eventually([this] { return !running(); }, seconds);
    return fDone ? fStatus : -1;
  }

  bool waitFor(const std::function<bool()>& cond, double seconds) {
    return eventually([&] { return cond() || !running(); }, seconds) && cond();
  }

private:
  void poll() {
    if (fDone || fPid <= 0) return;
    int status = 0;
    if (waitpid(fPid, &status, WNOHANG) == fPid) {
      fDone = true;
      fStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }

  std::string fOutPath, fErrPath;
  pid_t fPid;
  int fStatus;
  bool fDone;
};

struct Result {
  int status;
  std::string out, err;
};

// One robot in a root of its own, reached through a socket of its own.
class RobotHarness {
public:
  RobotHarness() : fRuns(0) {
    char tmpl[] = "/tmp/ktrobot-XXXXXX";
    root = mkdtemp(tmpl);
    socket = root + "/robot.sock";
  }

  ~RobotHarness() {
    if (fRobot && fRobot->running()) {
      fRobot->signal(SIGTERM);
      if (fRobot->wait(patience()) < 0) fRobot->signal(SIGKILL);
      fRobot->wait(patience());
    }
    fRobot.reset();
    kt::test::removeTree(root);
  }

  static std::string bin(const std::string& name) { return std::string(KT_BIN_DIR) + "/" + name; }
  static std::string forkerLibrary() { return std::string(KT_TEST_LIB_DIR) + "/libktforker.so"; }
  // A module library of the build, such as library("ktorrin").
  static std::string library(const std::string& name) {
    return std::string(KT_LIB_DIR) + "/lib" + name + ".so";
  }

  // Starts ktrobot with --root and --socket of this harness (unless withSocket
  // is false) and the given options; true once it has printed its ready line.
  bool start(const std::vector<std::string>& options, bool withSocket = true) {
    std::vector<std::string> argv = launcher;
    argv.insert(argv.end(), {bin("ktrobot"), "--root", root});
    if (withSocket) {
      argv.push_back("--socket");
      argv.push_back(socket);
    }
    argv.insert(argv.end(), options.begin(), options.end());
    fRobot.reset(new Process(argv, root + "/robot.out", root + "/robot.err"));
    return fRobot->waitFor([this] { return contains(robotOut(), " ready on "); }, patience());
  }

  std::vector<std::string> cliArgs(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {bin("ktcli"), "--socket", socket};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
  }

  // Runs a command line to its end (killed after the time given: status -1).
  Result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             double seconds = patience()) {
    std::string base = root + "/run" + std::to_string(fRuns++);
    Process p(argv, base + ".out", base + ".err", env);
    int status = p.wait(seconds);
    return Result{status, p.out(), p.err()};
  }

  Result cli(const std::vector<std::string>& args, double seconds = patience()) {
    return run(cliArgs(args), {}, seconds);
  }

  std::unique_ptr<Process> cliAsync(const std::vector<std::string>& args) {
    std::string base = root + "/async" + std::to_string(fRuns++);
    return std::unique_ptr<Process>(new Process(cliArgs(args), base + ".out", base + ".err"));
  }

  // Starts `ktcli watch ARGS...` and waits until it has subscribed.
  std::unique_ptr<Process> watch(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"watch"};
    all.insert(all.end(), args.begin(), args.end());
    std::unique_ptr<Process> p = cliAsync(all);
    EXPECT_TRUE(p->waitFor([&] { return contains(p->err(), "watching"); }, patience()))
        << p->err();
    return p;
  }

  // Signals the robot and returns its exit code (-1: still running).
  int stop(int sig = SIGTERM, double seconds = patience()) {
    fRobot->signal(sig);
    return fRobot->wait(seconds);
  }

  Process& robot() { return *fRobot; }
  pid_t robotPid() const { return fRobot->pid(); }
  std::string robotOut() const { return fRobot->out(); }
  std::string robotErr() const { return fRobot->err(); }
  std::string tailLog() const {
    return readFile(root + "/var/volatile/var/log/naoqi/tail-naoqi.log");
  }

  std::string root;
  std::string socket;
  // Run before ktrobot, such as {"/usr/bin/unshare", "--net", "--"}.
  std::vector<std::string> launcher;

private:
  std::unique_ptr<Process> fRobot;
  int fRuns;
};

}  // namespace itest
}  // namespace kt

#endif
