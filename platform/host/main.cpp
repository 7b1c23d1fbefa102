// ktrobot: one simulated robot process. It starts the broker with the
// simulated services, loads module libraries through their entry point as
// the robot's middleware does, and serves clients on a Unix socket.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <alerror/alerror.h>
#include <ktplatform/remote.h>
#include <ktplatform/robotroot.h>
#include <ktplatform/simrobot.h>
#include <qi/log.hpp>

#include "server.h"

namespace {

const char* const kDefaultLibraries[] = {"libktruko.so", "libktvesper.so", "libktlarkin.so",
                                         "libktorrin.so"};

// Calls under way get this long to finish when the robot is stopped.
const int kStopWaitMs = 15000;

// Exit statuses, the same in ktcli and ktcontentserver.
const int kFailed = 1;
const int kBadCommandLine = 64;

pid_t gRobotPid = 0;
// SIGINT and SIGTERM received: the first stops the robot, the second cuts
// short its wait for the calls under way.
std::atomic<int> gStops(0);
std::atomic<int> gWakeRead(-1);
std::atomic<int> gWakeWrite(-1);
std::atomic<int> gListenFd(-1);

#define HOST_LOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, "ktrobot")

// One write per line: no stdio buffer that a forked child could flush again.
void say(int fd, const std::string& text) {
  std::string line = text + "\n";
  ssize_t n = ::write(fd, line.data(), line.size());
  (void)n;
}

// A write to a reader that has gone then fails with EPIPE.
void onBrokenPipe(int) {}

// Wakes the main thread; safe in a signal handler.
void wake() {
  int saved = errno;
  int fd = gWakeWrite.load();
  if (fd >= 0) {
    char c = 1;
    ssize_t n = ::write(fd, &c, 1);
    (void)n;
  }
  errno = saved;
}

void onStopSignal(int sig) {
  if (getpid() != gRobotPid) {
    // A module's child process: the signal keeps its usual meaning there.
    signal(sig, SIG_DFL);
    raise(sig);
    return;
  }
  ++gStops;
  wake();
}

// Waits until woken or for at most ms (-1: no limit), then takes every
// wake-up byte waiting.
void sleepUntilWoken(int ms) {
  struct pollfd p;
  p.fd = gWakeRead.load();
  p.events = POLLIN;
  p.revents = 0;
  if (poll(&p, 1, ms) <= 0) return;
  char sink[64];
  while (::read(p.fd, sink, sizeof sink) > 0) {
  }
}

double monotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// "1 call under way: KTLarkin.getTopicFiles", for the robot's user.
std::string describeCalls(const std::vector<std::string>& calls, const char* state) {
  std::string text = std::to_string(calls.size()) + (calls.size() == 1 ? " call " : " calls ") +
                     state + ":";
  for (size_t i = 0; i < calls.size(); ++i) text += (i ? ", " : " ") + calls[i];
  return text;
}

// A process forked by a module does not serve the robot's clients: it drops
// the listening socket (else it would accept for a robot that is gone) and
// the signals the robot handles behave as in any process.
void afterForkInChild() {
  int fd = gListenFd.exchange(-1);
  if (fd >= 0) ::close(fd);
  fd = gWakeRead.exchange(-1);
  if (fd >= 0) ::close(fd);
  fd = gWakeWrite.exchange(-1);
  if (fd >= 0) ::close(fd);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
}

std::string dirName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return path;
  return std::string(cwd) + "/" + path;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when folder is one of folders or a folder above one of them.
bool within(const std::string& folder, const std::vector<std::string>& folders) {
  for (const std::string& f : folders)
    if (f == folder || f.compare(0, folder.size() + 1, folder + "/") == 0) return true;
  return false;
}

// A library named on the command line (required) or by an autoload file or
// the build (not required).
struct Library {
  std::string path;
  bool required;
};

// The libraries of the build: ../lib beside this program.
std::vector<Library> builtLibraries() {
  std::vector<Library> out;
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return out;
  self[n] = 0;
  std::string lib = dirName(dirName(self)) + "/lib/";
  for (const char* name : kDefaultLibraries)
    if (exists(lib + name)) out.push_back(Library{lib + name, false});
  return out;
}

// Library paths listed under [user] in an autoload.ini-style file; relative
// paths are taken from the file's folder.
bool readAutoload(const std::string& file, std::vector<Library>& out) {
  std::ifstream in(file.c_str());
  if (!in) return false;
  std::string base = dirName(absolute(file));
  std::string section, line;
  while (std::getline(in, line)) {
    std::string::size_type b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos) continue;
    std::string::size_type e = line.find_last_not_of(" \t\r");
    line = line.substr(b, e - b + 1);
    if (line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') == std::string::npos ? std::string::npos
                                                                   : line.find(']') - 1);
      continue;
    }
    if (section == "user") out.push_back(Library{line[0] == '/' ? line : base + "/" + line, false});
  }
  return true;
}

struct Loaded {
  std::string path;
  void* handle;
};

typedef int (*CreateModule)(boost::shared_ptr<AL::ALBroker>);
typedef int (*CloseModule)();

// Opens each library before the robot starts, so that a library named on
// the command line that cannot be loaded ends the robot before it says ready:
// a robot without the module it was asked for is only found out later. A
// library of an autoload file is reported and left out, as the robot does.
bool openLibraries(const std::vector<Library>& libraries, std::vector<Loaded>& opened) {
  for (const Library& lib : libraries) {
    std::string why;
    void* handle = dlopen(lib.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* text = dlerror();
      why = text ? text : "unknown error";
    } else {
      dlerror();
      if (!dlsym(handle, "_createModule")) {
        const char* text = dlerror();
        why = text ? text : "no _createModule";
      }
      // The loader hands out the same handle for a library it has already.
      for (const Loaded& l : opened)
        if (why.empty() && l.handle == handle) why = "already loaded as " + l.path;
      if (!why.empty()) dlclose(handle);
    }
    if (why.empty()) {
      opened.push_back(Loaded{lib.path, handle});
      continue;
    }
    say(2, "ktrobot: cannot load " + lib.path + ": " + why);
    if (lib.required) {
      for (const Loaded& l : opened) dlclose(l.handle);
      return false;
    }
  }
  return true;
}

// Calls a library's entry point; a module that fails to start is reported
// and the robot goes on without it.
bool startModule(const Loaded& lib, boost::shared_ptr<AL::ALBroker> broker) {
  CreateModule create = reinterpret_cast<CreateModule>(dlsym(lib.handle, "_createModule"));
  try {
    create(broker);
  } catch (const std::exception& e) {
    say(2, "ktrobot: the module of " + lib.path + " failed to start: " + e.what());
    return false;
  }
  HOST_LOG(qi::LogLevel_Info) << "loaded " << lib.path;
  return true;
}

void usage(int fd) {
  say(fd,
      "usage: ktrobot [--root DIR] [--name NAME] [--load LIB]... [--autoload FILE]\n"
      "               [--socket PATH]\n"
      "Starts a simulated robot and loads module libraries: each --load LIB and\n"
      "those under [user] in FILE (--autoload, in the manner of autoload.ini),\n"
      "else those of the build beside this program. A --load library that cannot\n"
      "be loaded ends the robot before it is ready; an autoload entry is reported\n"
      "and left out. Stops on SIGINT (Ctrl-C) or SIGTERM: calls under way get 15 s\n"
      "to finish, and it says which it waits for; a second SIGINT or SIGTERM stops\n"
      "it at once.\n"
      "  --root DIR     holds the robot's file tree (home/nao, the log folder and\n"
      "                 var/run are made there). Without it the robot uses\n"
      "                 KT_ROBOT_ROOT, and without that the machine's own paths, as\n"
      "                 a robot does: /home/nao, /var/volatile/var/log/naoqi, /var/run.\n"
      "  --name NAME    the robot's name (default ruko)\n"
      "  --socket PATH  where ktcli reaches the robot (default KT_ROBOT_SOCKET,\n"
      "                 else var/run/ktrobot.sock under the root); its folder\n"
      "                 must be there, or be one the root lays out\n"
      "Environment:\n"
      "  KT_ROBOT_ROOT      the robot's file tree when --root is not given\n"
      "  KT_ROBOT_SOCKET    the socket when --socket is not given\n"
      "  KT_CONTENT_SERVER  the host KTLarkin fetches its content from, port 5591\n"
      "                     (default: the host name ktcontentserver)\n"
      "Exit status, as in ktcli and ktcontentserver:\n"
      "  0   stopped on request, every call answered\n"
      "  1   failed: could not start (a folder it cannot make, a socket it cannot\n"
      "      serve), or stopped with calls still under way\n"
      "  64  the command line is wrong: an unknown option, a missing value, an empty\n"
      "      --root or --name, a --root that is a file, a --socket in no folder, an\n"
      "      --autoload file it cannot read or a library it cannot load; nothing was\n"
      "      started");
}

}  // namespace

int main(int argc, char** argv) {
  std::string root, name = "ruko", socketPath;
  std::vector<Library> libraries;
  bool chosen = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      usage(1);
      return 0;
    } else if (a == "--root" && hasValue) {
      // An empty root would put the robot's files in the current folder.
      if (!*argv[++i]) {
        say(2, "ktrobot: --root wants a folder, not an empty text");
        return kBadCommandLine;
      }
      root = absolute(argv[i]);
    } else if (a == "--name" && hasValue) {
      // Nobody could address a robot without a name.
      if (!*argv[++i]) {
        say(2, "ktrobot: --name wants a name, not an empty text");
        return kBadCommandLine;
      }
      name = argv[i];
    } else if (a == "--load" && hasValue) {
      libraries.push_back(Library{argv[++i], true});
      chosen = true;
    } else if (a == "--autoload" && hasValue) {
      std::string file = argv[++i];
      if (!readAutoload(file, libraries)) {
        say(2, "ktrobot: cannot read " + file + ": " + strerror(errno));
        return kBadCommandLine;
      }
      chosen = true;
    } else if (a == "--socket" && hasValue) {
      socketPath = absolute(argv[++i]);
    } else {
      say(2, "ktrobot: unknown option or missing value: " + a);
      usage(2);
      return kBadCommandLine;
    }
  }
  if (!root.empty()) {
    if (exists(root) && !isFolder(root)) {
      say(2, "ktrobot: --root " + root + " is not a folder");
      return kBadCommandLine;
    }
    setenv("KT_ROBOT_ROOT", root.c_str(), 1);
  }
  // What every robot has before its modules start: nao's home, the platform
  // log folder and the folder of its socket. The modules make only what lies
  // below them.
  std::vector<std::string> folders;
  if (!root.empty()) folders = {root + "/home/nao", dirName(kt::tailLogPath())};
  folders.push_back(dirName(kt::remote::defaultSocketPath()));
  std::string named = socketPath.empty() ? "" : "--socket ";
  if (socketPath.empty()) {
    const char* env = getenv("KT_ROBOT_SOCKET");
    if (env && *env) named = "KT_ROBOT_SOCKET=";
    socketPath = env && *env ? absolute(env) : kt::remote::defaultSocketPath();
  }
  // A socket named elsewhere goes in a folder that is there: a mistyped
  // path made a tree of folders that outlived the robot.
  std::string socketFolder = dirName(socketPath);
  if (!isFolder(socketFolder) && !within(socketFolder, folders)) {
    say(2, "ktrobot: " + named + socketPath + ": there is no folder " + socketFolder +
               " to hold it");
    return kBadCommandLine;
  }
  for (const std::string& folder : folders) {
    if (!kt::makeFolders(folder)) {
      say(2, "ktrobot: cannot create " + folder + ": " + strerror(errno));
      return kFailed;
    }
  }
  if (!chosen) libraries = builtLibraries();
  std::vector<Loaded> opened;
  if (!openLibraries(libraries, opened)) return kBadCommandLine;

  gRobotPid = getpid();
  int wakePipe[2];
  // Not blocking: a burst of signals must never block their handler.
  if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    say(2, std::string("ktrobot: pipe: ") + strerror(errno));
    return kFailed;
  }
  gWakeRead = wakePipe[0];
  gWakeWrite = wakePipe[1];
  pthread_atfork(0, 0, afterForkInChild);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, 0);
  sigaction(SIGTERM, &sa, 0);
  // Whoever reads the robot's output may go away: its lines are then lost,
  // the robot is not. Caught rather than ignored, so that a program a module
  // runs starts with the default again.
  struct sigaction broken;
  memset(&broken, 0, sizeof broken);
  broken.sa_handler = onBrokenPipe;
  broken.sa_flags = SA_RESTART;
  sigemptyset(&broken.sa_mask);
  sigaction(SIGPIPE, &broken, 0);

  kt::sim::Robot* robot = new kt::sim::Robot(name);
  boost::shared_ptr<AL::ALBroker> broker = robot->broker();

  // The robot's own listener of ktorrin_speak, outside the modules: it has
  // the speech service say the words stored for it.
  robot->memory().addObserver([broker](const std::string& key, const AL::ALValue&) {
    if (key != "ktorrin_speak") return;
    try {
      AL::ALValue words =
          broker->call("ALMemory", "getData", std::vector<AL::ALValue>(1, "ktorrin_speak_words"));
      broker->call("ALTextToSpeech", "say", std::vector<AL::ALValue>(1, words));
    } catch (const std::exception& e) {
      HOST_LOG(qi::LogLevel_Warning) << "ktorrin_speak not spoken: " << e.what();
    }
  });
  robot->textToSpeech().setSayListener(
      [name](const std::string& text) { say(1, name + " says: " + text); });

  kt::host::Server* server = new kt::host::Server(*robot, socketPath);
  std::string error;
  if (!server->listen(error)) {
    say(2, "ktrobot: " + error);
    // What a user who is not root meets first: the robot's own paths.
    if (named.empty() && kt::robotRoot().empty() && access(socketFolder.c_str(), W_OK) != 0)
      say(2, "ktrobot: without --root or KT_ROBOT_ROOT the robot uses the machine's own paths, "
             "as a robot does (/home/nao, /var/volatile, /var/run)\n"
             "ktrobot: to run it in a folder of yours: ktrobot --root DIR; ktcli then finds it "
             "with KT_ROBOT_ROOT=DIR");
    delete server;
    delete robot;
    return kFailed;
  }
  gListenFd = server->listeningSocket();
  // Set before the modules load: processes they fork inherit it.
  kt::remote::installForwarder(broker, socketPath);

  std::vector<Loaded> loaded;
  for (const Loaded& lib : opened)
    if (startModule(lib, broker)) loaded.push_back(lib);

  server->start();
  std::string modules;
  for (const std::string& m : broker->getModuleNames()) {
    if (m.compare(0, 2, "AL") == 0) continue;
    modules += modules.empty() ? m : ", " + m;
  }
  HOST_LOG(qi::LogLevel_Info) << "robot " << name << " ready on " << socketPath;
  say(1, "ktrobot: " + name + " ready on " + socketPath + " (modules: " +
             (modules.empty() ? "none" : modules) + ")");

  while (gStops.load() == 0) sleepUntilWoken(-1);

  HOST_LOG(qi::LogLevel_Info) << "robot " << name << " stopping";
  server->onDone(wake);
  server->beginStop();
  std::vector<std::string> calls = server->callsUnderWay();
  if (!calls.empty()) {
    std::string waiting = "waiting up to " + std::to_string(kStopWaitMs / 1000) + " s for " +
                          describeCalls(calls, "under way");
    HOST_LOG(qi::LogLevel_Info) << "robot " << name << " stopping: " << waiting;
    say(1, "ktrobot: " + name + " stopping: " + waiting + " (Ctrl-C again to stop at once)");
  }
  double deadline = monotonicSeconds() + kStopWaitMs / 1000.0;
  bool atOnce = false;
  while (!server->done()) {
    double left = deadline - monotonicSeconds();
    atOnce = gStops.load() > 1;
    if (atOnce || left <= 0) break;
    sleepUntilWoken(static_cast<int>(left * 1000) + 1);
  }
  bool idle = server->done();
  // Modules first, newest first, so that their destructors run; then the
  // services. A module still in a call is destroyed when that call returns.
  robot->shutdown();
  for (size_t i = loaded.size(); i-- > 0;) {
    CloseModule closeModule =
        reinterpret_cast<CloseModule>(dlsym(loaded[i].handle, "_closeModule"));
    if (closeModule) closeModule();
  }
  if (!idle) {
    // Those calls still use the services: leave without tearing them down.
    calls = server->callsUnderWay();
    say(2, "ktrobot: " + name + " stopped " +
               (atOnce ? "at once" : "after " + std::to_string(kStopWaitMs / 1000) + " s") +
               " with " +
               (calls.empty() ? "clients still connected" : describeCalls(calls, "still under way")));
    _exit(kFailed);
  }
  delete server;
  delete robot;
  say(1, "ktrobot: " + name + " stopped");
  return 0;
}
