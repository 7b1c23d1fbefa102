// What the benchmark programs share: a clock, medians, programs run as
// whole processes, a robot process to call, and the row format that
// scripts/bench reads.
#ifndef KT_BENCH_H
#define KT_BENCH_H

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <ktplatform/remote.h>

#include "../tests/support/seconds.h"

namespace kt {
namespace bench {

inline double now() { return kt::test::seconds(); }

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One row of the table: KEY, the project's figure, the baseline measured in
// the same run, their ratio, the unit. scripts/bench joins rows by key.
inline void row(const char* key, double figure, double baseline, double ratio, const char* unit) {
  std::printf("row\t%s\t%.6g\t%.6g\t%.4g\t%s\n", key, figure, baseline, ratio, unit);
  std::fflush(stdout);
}

inline void note(const std::string& text) {
  std::printf("# %s\n", text.c_str());
  std::fflush(stdout);
}

inline void fail(const std::string& text) {
  std::fprintf(stderr, "bench: %s\n", text.c_str());
  std::exit(1);
}

inline std::string tempFolder() {
  char tmpl[] = "/tmp/ktbench-XXXXXX";
  if (!mkdtemp(tmpl)) fail("no temporary folder");
  return tmpl;
}

inline void removeTree(const std::string& path) {
  nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); },
       16, FTW_DEPTH | FTW_PHYS);
}

// A helper process never outlives a benchmark that failed.
inline void dieWithParent() { prctl(PR_SET_PDEATHSIG, SIGKILL); }

// Starts a program with its output sent to files (or /dev/null).
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& out = "/dev/null",
                   const std::string& err = "/dev/null") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = fork();
  if (pid == 0) {
    dieWithParent();
    dup2(o, 1);
    dup2(e, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(o);
  close(e);
  return pid;
}

// Runs a program to its end; its wall time in seconds.
inline double timeProcess(const std::vector<std::string>& argv) {
  double begin = now();
  pid_t pid = spawn(argv);
  int status = 0;
  waitpid(pid, &status, 0);
  double took = now() - begin;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(argv[0] + std::string(" failed"));
  return took;
}

// Resident memory of a process, in MiB.
inline double residentMiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      double kb = 0;
      in >> kb;
      return kb / 1024;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

// A ktrobot process in a root of its own, stopped when dropped.
class RobotProcess {
public:
  // Name the libraries: by default a robot loads every built one, the robot
  // link among them, which would broadcast on this machine's network.
  explicit RobotProcess(const std::vector<std::string>& libraries) : fRoot(tempFolder()) {
    if (libraries.empty()) fail("a robot process needs its libraries named");
    fSocket = fRoot + "/robot.sock";
    std::vector<std::string> argv = {KT_BIN_DIR "/ktrobot", "--root", fRoot, "--socket", fSocket};
    for (const std::string& l : libraries) {
      argv.push_back("--load");
      argv.push_back(KT_LIB_DIR "/" + l);
    }
    fPid = spawn(argv, fRoot + "/robot.out", fRoot + "/robot.err");
    double deadline = now() + 20;
    kt::remote::Connection probe;
    while (!probe.open(fSocket, nullptr)) {
      if (now() > deadline) fail("the robot did not start");
      usleep(20000);
    }
  }
  ~RobotProcess() {
    kill(fPid, SIGKILL);
    waitpid(fPid, nullptr, 0);
    removeTree(fRoot);
  }
  pid_t pid() const { return fPid; }
  const std::string& socket() const { return fSocket; }
  const std::string& root() const { return fRoot; }

private:
  std::string fRoot, fSocket;
  pid_t fPid;
};

}  // namespace bench
}  // namespace kt

#endif
