// The robot process: what it loads, how it reports, how it stops.
// ctest-timeout: 90
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <alvalue/alvalue.h>
#include <ktplatform/remote.h>

#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::lines;
using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

const std::string kOrrin = std::string(KT_LIB_DIR) + "/libktorrin.so";

std::string dlerrorFor(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h) {
    dlclose(h);
    return "";
  }
  return dlerror();
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The most memory the process has held so far, in kB.
long peakKilobytes(pid_t pid) {
  for (const std::string& line : lines(kt::itest::readFile("/proc/" + std::to_string(pid) + "/status")))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  return -1;
}

// A raw client on the robot's socket: sends what it is given, reads replies.
class RawClient {
public:
  explicit RawClient(const std::string& socket) {
    EXPECT_TRUE(fConnection.open(socket, nullptr));
    fReader.reset(new kt::remote::LineReader(fConnection.fd()));
  }
  bool send(const std::string& bytes) { return kt::remote::writeAll(fConnection.fd(), bytes); }
  // The next reply line, or "" when the robot closed or did not answer in time.
  std::string reply(int timeoutMs = 20000) {
    std::string line;
    return fReader->readLine(line, timeoutMs) == 1 ? line : "";
  }
  void close() { fConnection.close(); }

private:
  kt::remote::Connection fConnection;
  std::unique_ptr<kt::remote::LineReader> fReader;
};

TEST(KtrobotStop, SigtermDestroysTheModulesAndEndsTheirProcesses) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin, "--load", RobotHarness::forkerLibrary()}))
      << robot.robotErr();
  // The module's process, forked while the robot was loading, reached it.
  ASSERT_TRUE(kt::itest::eventually(
      [&] { return robot.cli({"get", "forker_server"}).status == 0; }, 20));
  EXPECT_NE(std::to_string(robot.robotPid()) + "\n", robot.cli({"get", "forker_server"}).out);
  EXPECT_TRUE(exists(robot.socket));

  EXPECT_EQ(0, robot.stop(SIGTERM));
  // The destructor ran, and the SIGINT it sent ended the module's process.
  EXPECT_TRUE(contains(robot.tailLog(), "KTForker destroyed; server process ended by signal 2\n"))
      << robot.tailLog();
  EXPECT_TRUE(contains(robot.robotOut(), "ktrobot: ruko stopped\n"));
  EXPECT_FALSE(exists(robot.socket));
  EXPECT_EQ(2, robot.cli({"info"}).status);
}

TEST(KtrobotStop, SigintStopsCleanlyToo) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", RobotHarness::forkerLibrary()}));
  EXPECT_EQ(0, robot.stop(SIGINT));
  EXPECT_TRUE(contains(robot.tailLog(), "KTForker destroyed; server process ended by signal 2\n"));
}

TEST(KtrobotStop, AnIdleWatcherDoesNotHoldTheRobot) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  std::unique_ptr<kt::itest::Process> watch = robot.cliAsync({"watch", "*"});
  ASSERT_TRUE(watch->waitFor([&] { return contains(watch->err(), "watching"); }, 20));
  EXPECT_EQ(0, robot.stop(SIGTERM, 20));
  // The watcher learns that the robot is gone.
  EXPECT_EQ(2, watch->wait(20));
}

TEST(KtrobotStop, ClientsThatStopReadingDoNotHoldTheRobot) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  RawClient watcher(robot.socket);
  ASSERT_TRUE(watcher.send("[\"watch\",[\"big*\"]]\n"));
  ASSERT_EQ("[\"ok\",null]", watcher.reply());
  // Far more than the socket holds, raised while the watcher reads nothing.
  RawClient raiser(robot.socket);
  std::string words(100000, 'x');
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(raiser.send("[\"calltext\",\"ALMemory\",\"raiseEvent\",[\"big" +
                            std::to_string(i) + "\",\"" + words + "\"]]\n"));
    ASSERT_EQ("[\"ok\",null]", raiser.reply());
  }
  // A caller that asks for the long journal and does not read it either.
  RawClient reader(robot.socket);
  ASSERT_TRUE(reader.send("[\"journal\",false]\n"));
  EXPECT_EQ(0, robot.cli({"info"}).status);

  EXPECT_EQ(0, robot.stop(SIGTERM, 30)) << robot.robotErr();
  EXPECT_TRUE(contains(robot.robotOut(), "ktrobot: ruko stopped\n")) << robot.robotOut();
}

TEST(KtrobotStop, AReaderOfItsOutputThatGoesAwayDoesNotEndTheRobot) {
  RobotHarness robot;
  int out[2];
  ASSERT_EQ(0, pipe(out));
  std::string program = RobotHarness::bin("ktrobot"), errPath = robot.root + "/robot.err";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    close(out[0]);
    execl(program.c_str(), program.c_str(), "--root", robot.root.c_str(), "--socket",
          robot.socket.c_str(), "--load", kOrrin.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // Read up to the ready line, as a script waiting for the robot would, then go.
  std::string seen;
  double deadline = kt::itest::now() + 20;
  while (!contains(seen, " ready on ") && kt::itest::now() < deadline) {
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  EXPECT_TRUE(contains(seen, " ready on ")) << seen;

  // Saying prints on the output nobody reads any more.
  EXPECT_EQ(0, robot.cli({"call", "ALTextToSpeech.say", "nobody hears this"}).status);
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);

  kill(pid, SIGTERM);
  int status = 0;
  bool ended =
      kt::itest::eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << status << "\n" << kt::itest::readFile(errPath);
}

TEST(KtrobotLoading, AFailedLibraryIsReportedWithDlerrorAndTheRobotGoesOn) {
  RobotHarness robot;
  std::string missing = robot.root + "/lib/libmissing.so";
  std::string notElf = robot.root + "/libtext.so";
  { std::ofstream(notElf) << "not a library\n"; }
  std::string missingError = dlerrorFor(missing);
  std::string notElfError = dlerrorFor(notElf);
  ASSERT_FALSE(missingError.empty());
  ASSERT_FALSE(notElfError.empty());

  ASSERT_TRUE(robot.start({"--load", missing, "--load", notElf, "--load", kOrrin}))
      << robot.robotErr();
  EXPECT_TRUE(contains(robot.robotErr(), missingError)) << robot.robotErr();
  EXPECT_TRUE(contains(robot.robotErr(), notElfError)) << robot.robotErr();
  EXPECT_TRUE(contains(robot.robotOut(), "(modules: KTOrrin)")) << robot.robotOut();
  EXPECT_EQ(0, robot.cli({"call", "KTOrrin.getRobotLog"}).status);
}

TEST(KtrobotLoading, AutoloadTakesTheUserSection) {
  RobotHarness robot;
  std::string ini = robot.root + "/autoload.ini";
  std::ofstream(ini) << "[core]\n/nowhere/libcore.so\n\n[user]\n# our modules\n  " << kOrrin
                     << "  \n\n[python]\n/nowhere/libpython.so\n";
  ASSERT_TRUE(robot.start({"--autoload", ini})) << robot.robotErr();
  EXPECT_TRUE(contains(robot.robotOut(), "(modules: KTOrrin)")) << robot.robotOut();
  EXPECT_FALSE(contains(robot.robotErr(), "/nowhere/")) << robot.robotErr();
}

TEST(KtrobotLoading, WithoutChoiceLoadsTheLibrariesOfTheBuild) {
  RobotHarness robot;
  std::vector<std::string> expected;
  for (const char* name : {"libktruko.so", "libktvesper.so", "libktlarkin.so", "libktorrin.so"})
    if (exists(std::string(KT_LIB_DIR) + "/" + name)) expected.push_back(name);
  if (exists(std::string(KT_LIB_DIR) + "/libktvesper.so")) {
    // The robot link serves its fixed port: keep it in a network of its own.
    if (robot.run({"/usr/bin/unshare", "--net", "--", "/bin/true"}).status != 0)
      GTEST_SKIP() << "needs root for a network namespace (unshare --net)";
    robot.launcher = {"/usr/bin/unshare", "--net", "--"};
  }
  ASSERT_TRUE(robot.start({})) << robot.robotErr();
  std::vector<std::string> listed = lines(robot.cli({"info"}).out);
  EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "KTOrrin"));
  for (const std::string& lib : expected)
    EXPECT_TRUE(contains(robot.tailLog(), "loaded " + std::string(KT_LIB_DIR) + "/" + lib))
        << lib;
  EXPECT_FALSE(contains(robot.tailLog(), "libktforker"));
}

TEST(KtrobotOptions, NameRootAndASecondRobotOnTheSameSocket) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--name", "nao12", "--load", kOrrin}));
  EXPECT_EQ("nao12\n", robot.cli({"call", "ALSystem.robotName"}).out);
  // The platform log of this robot lives under its root.
  EXPECT_TRUE(contains(robot.tailLog(), "システムモジュールを初期化しました"));

  Result second = robot.run({RobotHarness::bin("ktrobot"), "--root", robot.root, "--socket",
                             robot.socket, "--load", kOrrin},
                            {}, 20);
  EXPECT_EQ(1, second.status);
  EXPECT_TRUE(contains(second.err, "already serves")) << second.err;
  EXPECT_EQ("nao12\n", robot.cli({"call", "ALSystem.robotName"}).out);
}

TEST(KtrobotSpeech, KtorrinSpeakIsSpokenAndPrinted) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  ASSERT_EQ(0, robot.cli({"insert", "ktorrin_speak_words", "こんにちは、ぼくはルコです。"}).status);
  ASSERT_EQ(0, robot.cli({"journal", "--clear"}).status);
  ASSERT_EQ(0, robot.cli({"raise", "ktorrin_speak", "1"}).status);
  EXPECT_TRUE(contains(robot.cli({"journal"}).out,
                       "ALTextToSpeech.say [\"こんにちは、ぼくはルコです。\"]\n"));
  EXPECT_TRUE(robot.robot().waitFor(
      [&] { return contains(robot.robotOut(), "ruko says: こんにちは、ぼくはルコです。\n"); }, 20));

  // Without words there is nothing to say, and the robot stays up.
  RobotHarness quiet;
  ASSERT_TRUE(quiet.start({"--load", kOrrin}));
  EXPECT_EQ(0, quiet.cli({"raise", "ktorrin_speak", "1"}).status);
  EXPECT_FALSE(contains(quiet.cli({"journal"}).out, "ALTextToSpeech.say"));
  EXPECT_EQ(0, quiet.cli({"info"}).status);
}

TEST(KtrobotClients, AHugeRequestIsRefusedWithoutCostingTheRobotItsMemory) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  // 8 MiB of small numbers: parsed, each would take many times its text.
  std::string huge = "[\"call\",\"ALMemory\",\"insertData\",[\"big\",[0";
  huge.reserve(8u << 20);
  while (huge.size() < (8u << 20)) huge += ",0";
  huge += "]]]\n";
  RawClient client(robot.socket);
  client.send(huge);  // the robot stops reading part way
  std::string reply = client.reply();
  EXPECT_TRUE(contains(reply, "\"error\"") && contains(reply, "longer than")) << reply;
  EXPECT_LT(peakKilobytes(robot.robotPid()), 256 * 1024);
  EXPECT_EQ(1, robot.cli({"get", "big"}).status);
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
}

TEST(KtrobotClients, AWatcherTooFarBehindIsDroppedRatherThanKeptInMemory) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  RawClient watcher(robot.socket);
  ASSERT_TRUE(watcher.send("[\"watch\",[\"big\"]]\n"));
  ASSERT_EQ("[\"ok\",null]", watcher.reply());
  // 100 MB of events while the watcher reads nothing.
  const int raised = 200;
  RawClient raiser(robot.socket);
  std::string request =
      "[\"calltext\",\"ALMemory\",\"raiseEvent\",[\"big\",\"" + std::string(500000, 'x') + "\"]]\n";
  for (int i = 0; i < raised; ++i) {
    ASSERT_TRUE(raiser.send(request));
    ASSERT_EQ("[\"ok\",null]", raiser.reply());
  }
  // It gets what was kept for it, then the robot lets it go.
  int received = 0;
  for (std::string line = watcher.reply(5000); !line.empty(); line = watcher.reply(5000))
    if (line.compare(0, 9, "[\"event\",") == 0) ++received;
  EXPECT_GT(received, 0);
  EXPECT_LT(received, raised);
  EXPECT_TRUE(contains(robot.tailLog(), "a watcher fell ")) << robot.tailLog();
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
}

TEST(KtrobotClients, MalformedTruncatedAndAbandonedRequestsLeaveTheRobotServing) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin, "--load", RobotHarness::forkerLibrary()}));
  {
    RawClient client(robot.socket);
    // Each bad line gets an error and the connection goes on.
    for (const char* bad : {"", "not json", "{}", "[]", "[1]", "[\"call\"]",
                            "[\"call\",\"ALMemory\",\"getData\",\"k\"]", "[\"info\",5]",
                            "[\"frobnicate\"]", "\"\\ud800\"",
                            "[\"fault\",\"ALMotion\",\"throw\"]", "[[[[[[[[[[[[[[",
                            "[\"watch\",[]]"}) {
      ASSERT_TRUE(client.send(std::string(bad) + "\n")) << bad;
      std::string reply = client.reply();
      EXPECT_EQ(0u, reply.find("[\"error\",")) << bad << " -> " << reply;
    }
  }
  {
    RawClient client(robot.socket);
    ASSERT_TRUE(client.send("[\"modules\"]\n"));
    EXPECT_EQ(0u, client.reply().find("[\"ok\",[\"ALMemory\""));
  }
  {
    // A request cut short by a client that goes away.
    RawClient client(robot.socket);
    client.send("[\"calltext\",\"ALTextToSpeech\",\"say\",[\"never fin");
    client.close();
  }
  {
    // A client that leaves while its call runs: the call completes all the same.
    RawClient client(robot.socket);
    client.send("[\"calltext\",\"KTForker\",\"forkCallers\",[\"2\",\"200\"]]\n");
    client.close();
  }
  EXPECT_TRUE(kt::itest::eventually(
      [&] { return robot.cli({"get", "caller1_9"}).status == 0; }, 20));
  EXPECT_FALSE(contains(robot.cli({"journal"}).out, "never fin"));
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
  EXPECT_EQ(0, robot.stop(SIGTERM));
}

}  // namespace
