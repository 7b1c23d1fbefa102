// The robot process: what it loads, how it reports, how it stops.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <alvalue/alvalue.h>
#include <ktplatform/remote.h>

#include "ownnet.h"
#include "robot_harness.h"

using kt::itest::contains;
using kt::itest::lines;
using kt::itest::Result;
using kt::itest::RobotHarness;

namespace {

const std::string kOrrin = RobotHarness::library("ktorrin");

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
  std::string reply() {
    std::string line;
    return fReader->readLine(line, static_cast<int>(kt::itest::patience() * 1000)) == 1 ? line : "";
  }
  void close() { fConnection.close(); }

private:
  kt::remote::Connection fConnection;
  std::unique_ptr<kt::remote::LineReader> fReader;
};

TEST(KtrobotStop, SigtermOrSigintDestroysTheModulesAndEndsTheirProcesses) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    RobotHarness robot;
    ASSERT_TRUE(robot.start({"--load", kOrrin, "--load", RobotHarness::forkerLibrary()}))
        << robot.robotErr();
    // The module's process, forked while the robot was loading, reached it.
    ASSERT_TRUE(kt::itest::eventually(
        [&] { return robot.cli({"get", "forker_server"}).status == 0; }, kt::itest::patience()));
    EXPECT_NE(std::to_string(robot.robotPid()) + "\n", robot.cli({"get", "forker_server"}).out);
    EXPECT_TRUE(exists(robot.socket));

    EXPECT_EQ(0, robot.stop(sig));
    // The destructor ran, and the SIGINT it sent ended the module's process.
    EXPECT_TRUE(contains(robot.tailLog(), "KTForker destroyed; server process ended by signal 2\n"))
        << robot.tailLog();
    EXPECT_TRUE(contains(robot.robotOut(), "ktrobot: ruko stopped\n"));
    EXPECT_FALSE(exists(robot.socket));
    EXPECT_EQ(2, robot.cli({"info"}).status);
  }
}

// A stop waits for the call under way and says so; a second signal, either
// one, stops the robot at once. The call is held until the test makes a file.
TEST(KtrobotStop, ABusyRobotSaysWhatItWaitsForAndASecondSignalStopsItAtOnce) {
  const std::pair<int, int> cases[] = {{SIGINT, 0}, {SIGINT, SIGINT}, {SIGTERM, SIGINT}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second));
    RobotHarness robot;
    ASSERT_TRUE(robot.start({"--load", RobotHarness::forkerLibrary()})) << robot.robotErr();
    std::string release = robot.root + "/release";
    std::unique_ptr<kt::itest::Process> call = robot.cliAsync({"call", "KTForker.holdUntil", release});
    ASSERT_TRUE(kt::itest::eventually(
        [&] { return robot.cli({"get", "forker_holding"}).status == 0; }, kt::itest::patience()));

    robot.robot().signal(c.first);
    ASSERT_TRUE(robot.robot().waitFor([&] {
      return contains(robot.robotOut(), "ktrobot: ruko stopping: waiting up to 15 s for 1 call "
                                        "under way: KTForker.holdUntil (Ctrl-C again to stop at once)\n");
    }, kt::itest::patience())) << robot.robotOut();
    if (c.second == 0) {
      std::ofstream(release) << "";
      EXPECT_EQ(0, robot.robot().wait(kt::itest::patience())) << robot.robotErr();
      EXPECT_TRUE(contains(robot.robotOut(), "ktrobot: ruko stopped\n"));
      // The call under way was answered before the robot went.
      EXPECT_EQ(0, call->wait(kt::itest::patience()));
      EXPECT_EQ("released\n", call->out());
    } else {
      robot.robot().signal(c.second);
      EXPECT_EQ(1, robot.robot().wait(kt::itest::patience()));
      EXPECT_TRUE(contains(robot.robotErr(), "ktrobot: ruko stopped at once with 1 call still "
                                             "under way: KTForker.holdUntil\n")) << robot.robotErr();
      EXPECT_EQ(2, call->wait(kt::itest::patience())) << call->err();
    }
  }
}

// Neither an idle watcher nor clients that stop reading hold the stop.
TEST(KtrobotStop, ClientsThatWaitOrStopReadingDoNotHoldTheRobot) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  std::unique_ptr<kt::itest::Process> idle = robot.watch({"never_raised"});
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

  EXPECT_EQ(0, robot.stop(SIGTERM)) << robot.robotErr();
  EXPECT_TRUE(contains(robot.robotOut(), "ktrobot: ruko stopped\n")) << robot.robotOut();
  // The watcher learns that the robot is gone.
  EXPECT_EQ(2, idle->wait(kt::itest::patience()));
}

TEST(KtrobotStop, AReaderOfItsOutputThatGoesAwayDoesNotEndTheRobot) {
  RobotHarness robot;
  std::string fifo = robot.root + "/out.fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  int out = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  kt::itest::Process ktrobot({RobotHarness::bin("ktrobot"), "--root", robot.root, "--socket",
                              robot.socket, "--load", kOrrin},
                             fifo, robot.root + "/robot.err");
  // Read up to the ready line, as a script waiting for the robot would, then go.
  std::string seen;
  kt::itest::eventually([&] {
    char buf[256];
    ssize_t n = read(out, buf, sizeof buf);
    if (n > 0) seen.append(buf, static_cast<size_t>(n));
    return contains(seen, " ready on ");
  }, kt::itest::patience());
  close(out);
  ASSERT_TRUE(contains(seen, " ready on ")) << seen << ktrobot.err();

  // Saying prints on the output nobody reads any more.
  EXPECT_EQ(0, robot.cli({"call", "ALTextToSpeech.say", "nobody hears this"}).status);
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
  ktrobot.signal(SIGTERM);
  EXPECT_EQ(0, ktrobot.wait(kt::itest::patience())) << ktrobot.err();
}

TEST(KtrobotLoading, AutoloadTakesTheUserSectionAndAFailedLibraryIsReportedWithDlerror) {
  RobotHarness robot;
  std::string missing = robot.root + "/lib/libmissing.so";
  std::string notElf = robot.root + "/libtext.so";
  { std::ofstream(notElf) << "not a library\n"; }
  std::string ini = robot.root + "/autoload.ini";
  std::ofstream(ini) << "[core]\n/nowhere/libcore.so\n\n[user]\n# our modules\n" << missing << "\n"
                     << notElf << "\n  " << kOrrin << "  \n\n[python]\n/nowhere/libpython.so\n";
  ASSERT_TRUE(robot.start({"--autoload", ini})) << robot.robotErr();
  for (const std::string& lib : {missing, notElf}) {
    std::string why = dlerrorFor(lib);
    ASSERT_FALSE(why.empty()) << lib;
    EXPECT_TRUE(contains(robot.robotErr(), why)) << robot.robotErr();
  }
  EXPECT_TRUE(contains(robot.robotOut(), "(modules: KTOrrin)")) << robot.robotOut();
  EXPECT_FALSE(contains(robot.robotErr(), "/nowhere/")) << robot.robotErr();
  EXPECT_EQ(0, robot.cli({"call", "KTOrrin.getRobotLog"}).status);
}

// A typo in --load gave a robot without the module, found out at the first call.
TEST(KtrobotLoading, ALoadThatCannotBeLoadedEndsTheRobotBeforeItIsReady) {
  RobotHarness robot;
  const std::pair<std::string, std::string> cases[] = {
      {"/nonexistent.so", dlerrorFor("/nonexistent.so")},
      {"libc.so.6", "undefined symbol: _createModule"},
      {kOrrin, "already loaded as " + kOrrin}};
  for (const auto& c : cases) {
    Result r = robot.run({RobotHarness::bin("ktrobot"), "--root", robot.root, "--socket",
                          robot.socket, "--load", kOrrin, "--load", c.first});
    EXPECT_EQ(64, r.status) << c.first;
    EXPECT_TRUE(contains(r.err, "ktrobot: cannot load " + c.first + ": ")) << r.err;
    EXPECT_TRUE(contains(r.err, c.second) && r.out.empty()) << r.err << r.out;
  }
}

TEST(KtrobotOptions, HelpOfEachProgramIsOnStandardOutput) {
  for (const std::string program : {"ktrobot", "ktcli", "ktcontentserver"}) {
    Result r = RobotHarness().run({RobotHarness::bin(program), "--help"});
    EXPECT_TRUE(r.status == 0 && r.err.empty() && contains(r.out, "usage: " + program + " "))
        << program << " " << r.status << r.err;
    // One scheme of exit statuses, told by each.
    for (const char* line : {"\n  1   ", "\n  64  the command line is wrong"})
      EXPECT_TRUE(contains(r.out, line)) << program << ": " << line;
  }
  std::string help = RobotHarness().run({RobotHarness::bin("ktrobot"), "--help"}).out;
  for (const char* word : {"/var/run", "/home/nao", "KT_ROBOT_ROOT", "KT_CONTENT_SERVER",
                           "host name ktcontentserver", "--autoload", "a second SIGINT"})
    EXPECT_TRUE(contains(help, word)) << word;
}

TEST(KtrobotOptions, WithoutChoiceLoadsTheLibrariesOfTheBuildAndAnswersToItsName) {
  RobotHarness robot;
  std::vector<std::string> expected;
  for (const char* name : {"ktruko", "ktvesper", "ktlarkin", "ktorrin"})
    if (exists(RobotHarness::library(name))) expected.push_back(RobotHarness::library(name));
  if (exists(RobotHarness::library("ktvesper"))) {
    // The robot link serves its fixed port: keep it in a network of its own.
    if (robot.run({"/usr/bin/unshare", "--net", "--", "/bin/true"}).status != 0)
      GTEST_SKIP() << kt::test::noNamespaceReason();
    robot.launcher = {"/usr/bin/unshare", "--net", "--"};
  }
  ASSERT_TRUE(robot.start({"--name", "nao12"})) << robot.robotErr();
  std::vector<std::string> listed = lines(robot.cli({"info"}).out);
  EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "KTOrrin"));
  // The platform log of this robot lives under its root.
  for (const std::string& lib : expected) EXPECT_TRUE(contains(robot.tailLog(), "loaded " + lib)) << lib;
  EXPECT_TRUE(contains(robot.tailLog(), "システムモジュールを初期化しました"));
  EXPECT_FALSE(contains(robot.tailLog(), "libktforker"));
  EXPECT_EQ("nao12\n", robot.cli({"call", "ALSystem.robotName"}).out);

  Result second = robot.run({RobotHarness::bin("ktrobot"), "--root", robot.root, "--socket",
                             robot.socket, "--load", kOrrin});
  EXPECT_EQ(1, second.status);
  EXPECT_TRUE(contains(second.err, "already serves")) << second.err;
  EXPECT_EQ("nao12\n", robot.cli({"call", "ALSystem.robotName"}).out);
}

// Refused in one line before anything is written: an empty root used to
// put the robot's files in the current folder.
TEST(KtrobotOptions, AnEmptyRootOrAFileAsRootIsRefused) {
  RobotHarness robot;
  std::string file = robot.root + "/file";
  std::ofstream(file) << "a file\n";
  for (const std::string& root : {std::string(), file}) {
    Result r = robot.run({"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" --root \"$2\"", robot.root,
                          RobotHarness::bin("ktrobot"), root});
    EXPECT_EQ(64, r.status) << root;
    EXPECT_EQ(1u, lines(r.err).size()) << r.err;
  }
  EXPECT_FALSE(exists(robot.root + "/var"));
}

// A script of the source tree.
std::string script(const std::string& name) { return std::string(KT_SOURCE_DIR) + "/scripts/" + name; }

// The same status means the same in every program: 64 a command line that
// is wrong, 1 a failure, 2 (ktcli) no robot.
TEST(ExitStatus, EveryProgramGivesTheSameStatusForTheSameKindOfError) {
  RobotHarness h;
  std::string file = h.root + "/file";
  std::ofstream(file) << "not a socket\n";
  const std::string robot = RobotHarness::bin("ktrobot"), cli = RobotHarness::bin("ktcli"),
                    server = RobotHarness::bin("ktcontentserver");
  // The server's rows bind an address that is not on this machine: one that
  // was wrongly accepted fails there instead of taking a port.
  const std::vector<std::string> serve = {server, "--user", "u", "--session",
                                          std::string(32, 's'), "--bind", "192.0.2.1"};
  std::vector<std::string> misspelt = serve;
  misspelt.insert(misspelt.end(), {"--frobnicate", "x"});
  struct Case {
    std::vector<std::string> argv;
    int status;
    std::string error;
  };
  const Case cases[] = {
      {{robot, "--root", h.root, "--frobnicate"}, 64, "unknown option or missing value: --frobnicate"},
      {{robot, "--root", h.root, "--autoload", h.root + "/none.ini"}, 64, "cannot read "},
      {{robot, "--root", h.root, "--socket", file, "--load", kOrrin}, 1, "exists and is no socket"},
      {{cli, "--wait", "soon", "info"}, 64, "--wait wants seconds"},
      {{cli, "--socket", h.root + "/none", "info"}, 2, "no robot at "},
      {misspelt, 64, "unknown option --frobnicate"},
      {serve, 1, "ktcontentserver: bind 192.0.2.1 port 5591: "},
      {{server, "--user", "u", "--bogus"}, 64, "ktcontentserver: unknown option --bogus\n"},
      {{robot, "--root", h.root, "--name", ""}, 64, "ktrobot: --name wants a name, not an empty text\n"},
      {{cli, "--socket", h.root + "/none", "info", "--bogus"}, 64, "ktcli: info takes only --json"},
      // The scripts refuse before anything is installed, built or run.
      {{script("demo"), "--bogus"}, 64, "demo: it takes no argument, not --bogus"},
      {{script("test"), "-LE", "slow", "--bogus"}, 64, "test: --bogus is not an option of ctest's"},
      {{script("test"), "-R"}, 64, "test: -R wants a value"},
      {{script("test-i386"), "--bogus"}, 64, "test-i386: --bogus is not an option of ctest's"},
      {{script("test-sanitize"), "memory"}, 64, "usage: scripts/test-sanitize address|thread"},
      {{script("test-sanitize"), "thread", "--bogus"}, 64, "test-sanitize: --bogus is not"},
      {{script("build"), "--bogus"}, 64, "build: --bogus is not a -DVARIABLE=VALUE setting"},
      {{script("setup"), "--bogus"}, 64, "setup: unknown option --bogus"},
      {{script("fuzz"), "--seconds"}, 64, "fuzz: --seconds needs a value"},
      {{script("fuzz"), "nosuchtarget"}, 64, "fuzz: no fuzz target named nosuchtarget"},
      {{script("bench"), "--rounds", "many"}, 64, "bench: --rounds wants a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv[0] + " ... " + c.argv.back());
    Result r = h.run(c.argv);
    EXPECT_EQ(c.status, r.status);
    EXPECT_TRUE(contains(r.err, c.error)) << r.err;
    if (c.status == 64) {
      EXPECT_EQ("", r.out);
    }
  }
}

// Each script says what it does and takes, and does nothing else.
TEST(ExitStatus, EveryScriptAnswersHelpWithoutBuildingOrRunning) {
  for (const std::string name :
       {"bench", "build", "demo", "fuzz", "setup", "test", "test-i386", "test-sanitize"}) {
    Result r = RobotHarness().run({script(name), "--help"});
    EXPECT_EQ(0, r.status) << name;
    EXPECT_EQ("", r.err) << name;
    EXPECT_TRUE(contains(r.out, "\n  scripts/" + name)) << r.out;
    EXPECT_TRUE(contains(r.out, "64")) << name << ": the exit status of a refused argument";
  }
}

// A socket named where there is no folder is refused before anything is
// made: it used to make the folders and leave them behind. A folder that the
// root lays out will be there.
TEST(KtrobotOptions, ASocketWhereThereIsNoFolderIsRefusedAndNothingIsMade) {
  RobotHarness robot;
  std::string file = robot.root + "/file", fresh = robot.root + "/fresh";
  std::ofstream(file) << "a file\n";
  const std::pair<std::string, std::string> cases[] = {
      {"--socket ", robot.root + "/missing/dir/x.sock"},
      {"KT_ROBOT_SOCKET=", robot.root + "/missing/x.sock"},
      {"--socket ", file + "/x.sock"}};
  for (const auto& c : cases) {
    std::vector<std::string> argv = {RobotHarness::bin("ktrobot"), "--root", fresh, "--load", kOrrin};
    std::vector<std::string> env;
    if (c.first == "--socket ")
      argv.insert(argv.end(), {"--socket", c.second});
    else
      env.push_back(c.first + c.second);
    Result r = robot.run(argv, env);
    EXPECT_EQ(64, r.status) << c.second;
    std::string folder = c.second.substr(0, c.second.rfind('/'));
    EXPECT_EQ("ktrobot: " + c.first + c.second + ": there is no folder " + folder + " to hold it\n",
              r.err);
    EXPECT_EQ("", r.out);
  }
  EXPECT_FALSE(exists(robot.root + "/missing"));
  EXPECT_FALSE(exists(fresh));

  ASSERT_TRUE(robot.start({"--root", fresh, "--socket", fresh + "/robot.sock", "--load", kOrrin},
                          false))
      << robot.robotErr();
  EXPECT_EQ(0, robot.run({RobotHarness::bin("ktcli"), "--socket", fresh + "/robot.sock", "info"}).status);
}

TEST(KtrobotSpeech, KtorrinSpeakIsSpokenAndPrinted) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin}));
  // Without words there is nothing to say, and the robot stays up.
  EXPECT_EQ(0, robot.cli({"raise", "ktorrin_speak", "1"}).status);
  EXPECT_FALSE(contains(robot.cli({"journal", "--clear"}).out, "ALTextToSpeech.say"));

  ASSERT_EQ(0, robot.cli({"insert", "ktorrin_speak_words", "こんにちは、ぼくはルコです。"}).status);
  ASSERT_EQ(0, robot.cli({"raise", "ktorrin_speak", "1"}).status);
  EXPECT_TRUE(contains(robot.cli({"journal"}).out,
                       "ALTextToSpeech.say [\"こんにちは、ぼくはルコです。\"]\n"));
  EXPECT_TRUE(robot.robot().waitFor(
      [&] { return contains(robot.robotOut(), "ruko says: こんにちは、ぼくはルコです。\n"); },
      kt::itest::patience()));
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
  for (std::string line = watcher.reply(); !line.empty(); line = watcher.reply())
    if (line.compare(0, 9, "[\"event\",") == 0) ++received;
  EXPECT_GT(received, 0);
  EXPECT_LT(received, raised);
  EXPECT_TRUE(contains(robot.tailLog(), "a watcher fell ")) << robot.tailLog();
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
}

TEST(KtrobotClients, HugeMalformedTruncatedAndAbandonedRequestsLeaveTheRobotServing) {
  RobotHarness robot;
  ASSERT_TRUE(robot.start({"--load", kOrrin, "--load", RobotHarness::forkerLibrary()}));
  {
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
  }
  {
    RawClient client(robot.socket);
    // Each bad line gets an error and the connection goes on.
    for (const char* bad : {"", "not json", "{}", "[]", "[1]", "[\"call\"]",
                            "[\"call\",\"ALMemory\",\"getData\",\"k\"]", "[\"info\",5]",
                            "[\"calltext\",\"ALMemory\",\"getData\"]",
                            "[\"frobnicate\"]", "\"\\ud800\"", "[\"modules\",\"\\udc00\"]",
                            "[\"fault\",\"ALMotion\",\"throw\"]", "[[[[[[[[[[[[[[",
                            "[\"watch\",[]]"}) {
      ASSERT_TRUE(client.send(std::string(bad) + "\n")) << bad;
      std::string reply = client.reply();
      EXPECT_EQ(0u, reply.find("[\"error\",")) << bad << " -> " << reply;
      if (std::string(bad).find("calltext") != std::string::npos) {
        EXPECT_TRUE(contains(reply, "field 3 must be an array")) << reply;
      }
    }
  }
  {
    RawClient client(robot.socket);
    ASSERT_TRUE(client.send("[\"modules\"]\n"));
    EXPECT_EQ(0u, client.reply().find("[\"ok\",[\"ALMemory\""));
    // A strict client reads every reply: bytes that are not UTF-8 come back as U+FFFD.
    ASSERT_TRUE(client.send("[\"frob\xFF\"]\n"));
    EXPECT_EQ("[\"error\",\"unknown request frob\xEF\xBF\xBD\"]", client.reply());
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
      [&] { return robot.cli({"get", "caller1_9"}).status == 0; }, kt::itest::patience()));
  EXPECT_FALSE(contains(robot.cli({"journal"}).out, "never fin"));
  EXPECT_EQ("ruko\n", robot.cli({"call", "ALSystem.robotName"}).out);
  EXPECT_EQ(0, robot.stop(SIGTERM));
}

// Another module in the robot's process must not meet a module's own
// names: the libraries show the platform their two entry points only.
TEST(KtrobotLoading, ModuleLibrariesShowOnlyTheirEntryPoints) {
  for (const char* name : {"ktruko", "ktvesper", "ktlarkin", "ktorrin"}) {
    std::string command = "nm -D --defined-only --format=just-symbols " + RobotHarness::library(name);
    FILE* nm = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, nm);
    std::string shown;
    char line[512];
    while (fgets(line, sizeof line, nm)) shown += line;
    EXPECT_EQ(0, pclose(nm)) << name;
    EXPECT_EQ("_closeModule\n_createModule\n", shown) << name;
  }
}

}  // namespace
