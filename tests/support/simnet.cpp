#include "simnet.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>

namespace kt {
namespace test {

namespace {

std::atomic<int> gNetworks(0);

// Runs argv to its end; its output (both streams) in *out.
int run(const std::vector<std::string>& argv, std::string* out) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    dup2(p[1], 1);
    dup2(p[1], 2);
    // The script leaves a guard process behind: it holds nothing of ours.
    syscall(SYS_close_range, 3, ~0U, 0);
    execv(args[0], args.data());
    _exit(127);
  }
  close(p[1]);
  char chunk[4096];
  ssize_t n;
  while ((n = read(p[0], chunk, sizeof chunk)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (out) out->append(chunk, static_cast<size_t>(n));
  }
  close(p[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

std::string SimNet::script() { return KT_SIMNET_SCRIPT; }

bool SimNet::possible(std::string* why) {
  if (geteuid() != 0) {
    *why = "needs root to make network namespaces (ip netns)";
    return false;
  }
  if (access("/usr/sbin/ip", X_OK) != 0 && access("/sbin/ip", X_OK) != 0) {
    *why = "needs the ip command (iproute2) to make network namespaces";
    return false;
  }
  return true;
}

SimNet::SimNet() : fHome(-1), fUp(false) {
  std::ostringstream name;
  name << "kt" << getpid() << "n" << gNetworks++;
  fName = name.str();
}

SimNet::~SimNet() { down(); }

bool SimNet::up(const std::vector<std::string>& robots, std::string* why) {
  if (!possible(why)) return false;
  if (fUp) {
    *why = "the network is up already";
    return false;
  }
  std::vector<std::string> argv = {script(), "up", "--owner", std::to_string(getpid()), fName};
  argv.insert(argv.end(), robots.begin(), robots.end());
  std::string out;
  fUp = true;
  int status = run(argv, &out);
  if (status != 0) {
    *why = "simnet up failed (exit " + std::to_string(status) + "): " + out;
    down();
    return false;
  }
  // One line per robot: name, address, namespace.
  std::istringstream lines(out);
  std::string robot, address, ns;
  while (lines >> robot >> address >> ns) {
    fRobots.push_back(robot);
    fAddresses.push_back(address);
  }
  return true;
}

void SimNet::down() {
  leave();
  if (fHome >= 0) close(fHome);
  fHome = -1;
  if (fUp) run({script(), "down", fName}, nullptr);
  fUp = false;
}

std::string SimNet::address(const std::string& robot) const {
  for (size_t i = 0; i < fRobots.size(); ++i)
    if (fRobots[i] == robot) return fAddresses[i];
  return std::string();
}

std::vector<std::string> SimNet::launcher(const std::string& robot) const {
  return {"/usr/sbin/ip", "netns", "exec", fName + "-" + robot};
}

bool SimNet::enter(const std::string& robot) {
  if (fHome < 0) fHome = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int fd = open(("/run/netns/" + fName + "-" + robot).c_str(), O_RDONLY | O_CLOEXEC);
  if (fHome < 0 || fd < 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  bool entered = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return entered;
}

void SimNet::leave() {
  if (fHome >= 0) setns(fHome, CLONE_NEWNET);
}

std::vector<pid_t> SimNet::pids() const {
  std::vector<pid_t> out;
  if (!fUp) return out;
  std::string text;
  run({script(), "pids", fName}, &text);
  std::istringstream in(text);
  pid_t pid;
  while (in >> pid) out.push_back(pid);
  return out;
}

}  // namespace test
}  // namespace kt
