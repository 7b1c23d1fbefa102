// The simulated network's script: handed the robots' names as they are, its
// guard ended with its network, only while the recorded id is still the
// guard's (ids are reused), what runs on it asked to stop before it is
// killed, and the whole of it working for root of a user namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ktest.h"
#include "ownnet.h"
#include "simnet.h"

extern char** environ;

namespace {

// When the process started (field 22 of /proc/PID/stat); empty once it has
// ended, a zombie included.
std::string startTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string::size_type end = text.rfind(") ");
  if (end == std::string::npos) return "";
  // The fields after the command name, which may hold spaces and ")".
  std::istringstream rest(text.substr(end + 2));
  std::vector<std::string> f((std::istream_iterator<std::string>(rest)), std::istream_iterator<std::string>());
  return f.size() < 20 || f[0] == "Z" ? "" : f[19];
}

TEST(SimNetGuard, DownEndsTheGuardButNotAnotherProcessGivenItsId) {
  std::string why;
  if (!kt::test::SimNet::possible(&why)) GTEST_SKIP() << why;
  for (bool reused : {false, true}) {
    SCOPED_TRACE(reused ? "the guard's id now another process's" : "the guard as recorded");
    kt::test::SimNet net;
    KT_NEED_SIMNET(net, "robota");
    const std::string file = "/run/kt-simnet/" + net.name() + ".guard";
    pid_t guard = 0;
    std::string started;
    std::ifstream(file) >> guard >> started;
    ASSERT_FALSE(started.empty()) << "no start time recorded in " << file;
    ASSERT_EQ(startTime(guard), started) << "the record does not name the running guard";

    char sleepName[] = "sleep", sixty[] = "60";
    char* argv[] = {sleepName, sixty, nullptr};
    pid_t other;
    ASSERT_EQ(0, posix_spawn(&other, "/bin/sleep", nullptr, nullptr, argv, environ));
    if (reused) std::ofstream(file, std::ios::trunc) << other << " " << started << "\n";
    net.down();

    int status;
    EXPECT_EQ(0, waitpid(other, &status, WNOHANG)) << "down signalled a process that is not the guard";
    if (!reused) {
      EXPECT_TRUE(kt::test::eventually([&] { return startTime(guard) != started; }, kt::test::patience()))
          << "the guard outlived its network";
    }
    kill(other, SIGKILL);
    waitpid(other, &status, 0);
    if (reused && startTime(guard) == started) kill(guard, SIGKILL);
  }
}

// No shell stands between the test and the script to read a name.
TEST(SimNetScript, ARobotNameReachesTheScriptAsGiven) {
  std::string why;
  if (!kt::test::SimNet::possible(&why)) GTEST_SKIP() << why;
  kt::test::SimNet net;
  EXPECT_FALSE(net.up({"a$(id) b"}, &why));
  EXPECT_NE(std::string::npos, why.find("robot name 'a$(id) b'")) << why;
}

// A robot stopped by SIGKILL never says that it stopped: down asks first.
TEST(SimNetDown, ProcessesAreAskedToStopBeforeTheyAreKilled) {
  std::string why;
  if (!kt::test::SimNet::possible(&why)) GTEST_SKIP() << why;
  kt::test::TempRoot dir;
  kt::test::SimNet net;
  KT_NEED_SIMNET(net, "robota");
  // One stops on SIGTERM and says so; the other ignores it.
  const std::string said = dir.path() + "/said";
  const std::vector<std::string> scripts = {
      "trap 'echo stopped >" + said + "; exit 0' TERM; touch " + said + ".0; "
      "while :; do sleep 0.1; done",
      "trap '' TERM; touch " + said + ".1; while :; do sleep 0.1; done"};
  std::vector<pid_t> pids;
  for (const std::string& script : scripts) {
    std::vector<std::string> args = net.launcher("robota");
    args.insert(args.end(), {"/bin/sh", "-c", script});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(0, posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ));
    pids.push_back(pid);
  }
  // Their traps are set once they have touched their files.
  ASSERT_TRUE(kt::test::eventually([&] {
    return access((said + ".0").c_str(), F_OK) == 0 && access((said + ".1").c_str(), F_OK) == 0;
  }, kt::test::patience()));
  net.down();

  int status = 0;
  ASSERT_EQ(pids[0], waitpid(pids[0], &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::string text;
  std::ifstream(said) >> text;
  EXPECT_EQ("stopped", text);
  ASSERT_EQ(pids[1], waitpid(pids[1], &status, 0));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
  EXPECT_NE(0, access(("/run/netns/" + net.name() + "-robota").c_str(), F_OK));
}

// A shell command's output and errors, and its exit status.
std::string shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return out;
  char chunk[512];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

// Another test's namespace half removed is none of this network's business.
TEST(SimNetScript, ListingIsQuietAboutOtherNamespaces) {
  std::string why;
  if (!kt::test::SimNet::possible(&why)) GTEST_SKIP() << why;
  kt::test::SimNet net;
  KT_NEED_SIMNET(net, "robota");
  // A file where a namespace was, as ip netns leaves it for a moment.
  const std::string other = "/run/netns/ktother" + std::to_string(getpid());
  std::ofstream(other).close();
  int status = -1;
  std::string out = shell("'" + kt::test::SimNet::script() + "' list " + net.name(), &status);
  unlink(other.c_str());
  EXPECT_EQ(0, status);
  EXPECT_EQ("robota 198.18.0.1 " + net.name() + "-robota\n", out);
}

// As scripts/test runs the tests for a user who is not root: a user
// namespace with a network (ip -n returns to it) and a mount namespace and
// a /run of its own.
TEST(SimNetScript, WorksForRootOfAUserNamespaceWithARunOfItsOwn) {
  const std::string unshare = "/usr/bin/unshare --user --map-root-user --net --mount -- ";
  int status = -1;
  std::string out = shell(unshare + "/bin/true", &status);
  if (status != 0) {
    if (geteuid() != 0) GTEST_SKIP() << kt::test::noNamespaceReason();
    GTEST_SKIP() << "the kernel allows no user namespaces here: " << out;
  }
  out = shell(unshare + "/bin/sh -c 'mount -t tmpfs tmpfs /run && s=\"$0\" && "
                        "$s up usernet robota robotb >/dev/null && $s list usernet && "
                        "$s exec usernet robota ip -4 -o addr show dev wlan0 && "
                        "$s down usernet && echo left: $(ip netns list)' '" +
                  kt::test::SimNet::script() + "'",
              &status);
  ASSERT_EQ(0, status) << out;
  EXPECT_NE(std::string::npos, out.find("robota 198.18.0.1 usernet-robota\n")) << out;
  EXPECT_NE(std::string::npos, out.find("robotb 198.18.0.2 usernet-robotb\n")) << out;
  EXPECT_NE(std::string::npos, out.find("inet 198.18.0.1/15")) << out;
  EXPECT_NE(std::string::npos, out.find("left:\n")) << out;
}

}  // namespace
