#include "simnet.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>

#include "ownnet.h"

extern char** environ;

namespace kt {
namespace test {

namespace {

std::atomic<int> gNetworks(0);

// Runs the script with these arguments, no shell between (a robot's name is
// the caller's); its output and errors in *out, its exit status returned.
int run(const std::vector<std::string>& args, std::string* out) {
  const std::string script = SimNet::script();
  std::vector<char*> argv{const_cast<char*>(script.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  pid_t pid;
  int failed = posix_spawn(&pid, script.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  char chunk[4096];
  while (!failed) {
    ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n > 0 && out) out->append(chunk, n);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
  close(fds[0]);
  if (failed) return -1;
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A folder that can be written, or made where it is missing.
bool writable(const std::string& folder) {
  if (access(folder.c_str(), F_OK) == 0) return access(folder.c_str(), W_OK) == 0;
  return access(folder.substr(0, folder.rfind('/')).c_str(), W_OK) == 0;
}

}  // namespace

std::string SimNet::script() { return KT_SIMNET_SCRIPT; }

bool SimNet::possible(std::string* why) {
  if (geteuid() != 0) *why = noNamespaceReason();
  else if (access("/usr/sbin/ip", X_OK) != 0) *why = "needs the ip command (iproute2)";
  else if (!writable("/run/netns") || !writable("/run/kt-simnet"))
    *why = "cannot write /run/netns or /run/kt-simnet (root of a user namespace needs a /run "
           "of its own, as scripts/test gives it)";
  else return true;
  return false;
}

SimNet::SimNet() : fName("kt" + std::to_string(getpid()) + "n" + std::to_string(gNetworks++)),
                   fHome(-1), fUp(false) {}

SimNet::~SimNet() { down(); }

bool SimNet::up(const std::vector<std::string>& robots, std::string* why) {
  if (!possible(why)) return false;
  std::vector<std::string> args{"up", "--owner", std::to_string(getpid()), fName};
  args.insert(args.end(), robots.begin(), robots.end());
  std::string out;
  fUp = true;
  int status = run(args, &out);
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
  if (fUp) run({"down", fName}, nullptr);
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
  if (fUp) run({"pids", fName}, &text);
  std::istringstream in(text);
  std::vector<pid_t> out;
  pid_t pid;
  while (in >> pid) out.push_back(pid);
  return out;
}

}  // namespace test
}  // namespace kt
