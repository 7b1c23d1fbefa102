#include "simnet.h"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>

namespace kt {
namespace test {

namespace {

std::atomic<int> gNetworks(0);

// Runs the script with these words (ours, no quoting needed); its output in
// *out, its exit status returned.
int run(const std::string& words, std::string* out) {
  FILE* p = popen((SimNet::script() + " " + words + " 2>&1").c_str(), "re");
  if (!p) return -1;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, p)) > 0)
    if (out) out->append(chunk, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string SimNet::script() { return KT_SIMNET_SCRIPT; }

bool SimNet::possible(std::string* why) {
  if (geteuid() != 0) *why = "needs root to make network namespaces (ip netns)";
  else if (access("/usr/sbin/ip", X_OK) != 0) *why = "needs the ip command (iproute2)";
  else return true;
  return false;
}

SimNet::SimNet() : fName("kt" + std::to_string(getpid()) + "n" + std::to_string(gNetworks++)),
                   fHome(-1), fUp(false) {}

SimNet::~SimNet() { down(); }

bool SimNet::up(const std::vector<std::string>& robots, std::string* why) {
  if (!possible(why)) return false;
  std::string words = "up --owner " + std::to_string(getpid()) + " " + fName, out;
  for (const std::string& r : robots) words += " " + r;
  fUp = true;
  int status = run(words, &out);
  if (status != 0) {
    *why = "simnet up failed (exit " + std::to_string(status) + "): " + out;
    down();
    return false;
  }
  // One line per robot: name, address, namespace.
  std::istringstream lines(out);
  std::string robot, address, ns;
  while (lines >> robot >> address >> ns) fAddresses[robot] = address;
  return true;
}

void SimNet::down() {
  leave();
  if (fHome >= 0) close(fHome);
  fHome = -1;
  if (fUp) run("down " + fName, nullptr);
  fUp = false;
}

std::string SimNet::address(const std::string& robot) const {
  auto found = fAddresses.find(robot);
  return found == fAddresses.end() ? std::string() : found->second;
}

std::vector<std::string> SimNet::launcher(const std::string& robot) const {
  return {"/usr/sbin/ip", "netns", "exec", fName + "-" + robot};
}

bool SimNet::enter(const std::string& robot) {
  if (fHome < 0) fHome = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int fd = open(("/run/netns/" + fName + "-" + robot).c_str(), O_RDONLY | O_CLOEXEC);
  bool entered = fHome >= 0 && fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
  if (fd >= 0) close(fd);
  return entered;
}

void SimNet::leave() {
  if (fHome >= 0) setns(fHome, CLONE_NEWNET);
}

std::vector<pid_t> SimNet::pids() const {
  std::string text;
  if (fUp) run("pids " + fName, &text);
  std::istringstream in(text);
  std::vector<pid_t> out;
  pid_t pid;
  while (in >> pid) out.push_back(pid);
  return out;
}

}  // namespace test
}  // namespace kt
