// ktcli: reaches a running ktrobot, in the manner of the platform's own
// command-line tool.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <alerror/alerror.h>
#include <ktplatform/json.h>
#include <ktplatform/remote.h>

using AL::ALValue;

namespace {

// Exit statuses, the same in ktrobot and ktcontentserver; 2 is ours alone.
const int kFailed = 1;
const int kNoRobot = 2;
const int kBadCommandLine = 64;

struct Usage {
  std::string what;
};

void out(const std::string& text) { fwrite(text.data(), 1, text.size(), stdout); }
void err(const std::string& text) { fwrite(text.data(), 1, text.size(), stderr); }

void usage(void (*print)(const std::string&)) {
  print("usage: ktcli [--socket PATH] [--wait SECONDS] COMMAND\n"
        "  call MODULE.METHOD [ARG...]   call a bound method\n"
        "  info [--json] [MODULE]        a module's methods, or every module and service\n"
        "  raise KEY VALUE               raise an ALMemory event\n"
        "  insert KEY VALUE              store ALMemory data\n"
        "  get KEY                       read ALMemory data\n"
        "  watch PATTERN... [--count N] [--timeout SECONDS]\n"
        "                                print events (KEY, tab, value as JSON)\n"
        "  journal [--clear]             the simulated services' calls (--clear: then forget them)\n"
        "  fault SERVICE.METHOD throw|false|clear\n"
        "An ARG or VALUE that is valid JSON is taken as JSON, anything else as text.\n"
        "The robot is found by --socket, KT_ROBOT_SOCKET, or under KT_ROBOT_ROOT.\n"
        "The robot is simulated: its ALDialog loads, activates and focuses topics and\n"
        "records input and output, but runs no topic rule. A rule's effect is played\n"
        "by raising the variable the rule sets (ktcli raise ruko_walkforward 1).\n"
        "Exit status, as in ktrobot and ktcontentserver:\n"
        "  0   done\n"
        "  1   the robot refused or the call failed (a watch: timed out)\n"
        "  2   no robot: none at the socket, or it went away\n"
        "  64  the command line is wrong; no robot was reached\n");
}

double monotonic() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double seconds(const std::string& text, const char* option) {
  char* end = 0;
  double s = strtod(text.c_str(), &end);
  if (text.empty() || *end || s < 0) throw Usage{std::string(option) + " wants seconds, not " + text};
  return s;
}

// Text as it is, anything else as JSON; nothing for no result.
void printResult(const ALValue& v) {
  if (v.isString())
    out(static_cast<std::string>(v) + "\n");
  else if (v.isValid())
    out(kt::toJson(v) + "\n");
}

ALValue textArray(const std::vector<std::string>& texts) {
  ALValue a = ALValue::array();
  for (const std::string& t : texts) a.arrayPush(ALValue(t));
  return a;
}

ALValue callText(kt::remote::Connection& robot, const std::string& module,
                 const std::string& method, const std::vector<std::string>& args) {
  return robot.request(ALValue::array("calltext", module, method, textArray(args)));
}

void printInfo(const ALValue& info, bool json) {
  const ALValue& methods = info[2];
  if (json) {
    std::string s = "{\"name\":" + kt::toJson(info[0]) + ",\"description\":" + kt::toJson(info[1]) +
                    ",\"methods\":[";
    for (unsigned int i = 0; i < methods.getSize(); ++i) {
      const ALValue& m = methods[i];
      if (i) s += ",";
      s += "{\"name\":" + kt::toJson(m[0]) + ",\"description\":" + kt::toJson(m[1]) +
           ",\"params\":[";
      for (unsigned int j = 0; j < m[2].getSize(); ++j) {
        if (j) s += ",";
        s += "{\"name\":" + kt::toJson(m[2][j][0]) + ",\"description\":" +
             kt::toJson(m[2][j][1]) + "}";
      }
      s += "]}";
    }
    out(s + "]}\n");
    return;
  }
  out(static_cast<std::string>(info[0]) + "\n  " + static_cast<std::string>(info[1]) + "\n");
  for (unsigned int i = 0; i < methods.getSize(); ++i) {
    const ALValue& m = methods[i];
    out("  " + static_cast<std::string>(m[0]) + ": " + static_cast<std::string>(m[1]) + "\n");
    for (unsigned int j = 0; j < m[2].getSize(); ++j)
      out("      " + static_cast<std::string>(m[2][j][0]) + ": " +
          static_cast<std::string>(m[2][j][1]) + "\n");
  }
}

typedef std::function<int(kt::remote::Connection&)> Action;

Action watch(const std::vector<std::string>& args) {
  std::vector<std::string> patterns;
  long count = -1;
  double timeout = -1;
  std::string timeoutText;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--count" && i + 1 < args.size()) {
      char* end = 0;
      count = strtol(args[++i].c_str(), &end, 10);
      if (*end || count < 1) throw Usage{"--count wants a number of events from 1"};
    } else if (args[i] == "--timeout" && i + 1 < args.size()) {
      timeoutText = args[++i];
      timeout = seconds(timeoutText, "--timeout");
    } else if (args[i] == "--count" || args[i] == "--timeout") {
      // Not a pattern: a watch on a key named so would never end.
      throw Usage{args[i] + " wants a value"};
    } else if (args[i].compare(0, 1, "-") == 0) {
      throw Usage{"unknown watch option " + args[i]};
    } else {
      patterns.push_back(args[i]);
    }
  }
  if (patterns.empty()) throw Usage{"watch wants at least one PATTERN"};
  return [patterns, count, timeout, timeoutText](kt::remote::Connection& robot) {
    double deadline = monotonic() + timeout;
    robot.request(ALValue::array("watch", textArray(patterns)));
    // On standard error, so that a script knows no event can be missed now.
    err("ktcli: watching\n");
    fflush(stderr);
    long seen = 0;
    for (;;) {
      int wait = -1;
      if (timeout >= 0) {
        double left = deadline - monotonic();
        wait = left > 0 ? static_cast<int>(left * 1000) + 1 : 0;
      }
      ALValue message;
      int r = robot.receive(message, wait);
      if (r < 0) {
        err("ktcli: watch timed out after " + timeoutText + " s, " + std::to_string(seen) +
            " event(s) seen\n");
        return kFailed;
      }
      if (r == 0) throw kt::remote::RobotGone("the robot closed the connection");
      if (static_cast<std::string>(message[0]) != "event" || message.getSize() < 3 ||
          !message[1].isString())
        continue;
      out(static_cast<std::string>(message[1]) + "\t" + kt::toJson(message[2]) + "\n");
      fflush(stdout);
      if (++seen == count) return 0;
    }
  };
}

// Checks the command line before any robot is reached.
Action prepare(const std::string& command, const std::vector<std::string>& args) {
  if (command == "call") {
    if (args.empty()) throw Usage{"call wants MODULE.METHOD"};
    std::string::size_type dot = args[0].find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == args[0].size())
      throw Usage{"call wants MODULE.METHOD, not " + args[0]};
    std::string module = args[0].substr(0, dot), method = args[0].substr(dot + 1);
    std::vector<std::string> callArgs(args.begin() + 1, args.end());
    return [module, method, callArgs](kt::remote::Connection& robot) {
      printResult(callText(robot, module, method, callArgs));
      return 0;
    };
  }
  if (command == "info") {
    bool json = false;
    std::vector<std::string> names;
    for (const std::string& a : args) {
      if (a == "--json")
        json = true;
      else if (a.compare(0, 1, "-") == 0)
        throw Usage{"info takes only --json and a MODULE, not " + a};
      else
        names.push_back(a);
    }
    if (names.size() > 1) throw Usage{"info wants at most one MODULE"};
    return [json, names](kt::remote::Connection& robot) {
      if (!names.empty()) {
        printInfo(robot.request(ALValue::array("info", names[0])), json);
        return 0;
      }
      ALValue modules = robot.request(ALValue::array("modules"));
      if (json) {
        out(kt::toJson(modules) + "\n");
      } else {
        for (unsigned int i = 0; i < modules.getSize(); ++i)
          out(static_cast<std::string>(modules[i]) + "\n");
      }
      return 0;
    };
  }
  if (command == "raise" || command == "insert") {
    if (args.size() != 2) throw Usage{command + " wants KEY VALUE"};
    std::string method = command == "raise" ? "raiseEvent" : "insertData";
    return [method, args](kt::remote::Connection& robot) {
      callText(robot, "ALMemory", method, args);
      return 0;
    };
  }
  if (command == "get") {
    if (args.size() != 1) throw Usage{"get wants KEY"};
    return [args](kt::remote::Connection& robot) {
      printResult(callText(robot, "ALMemory", "getData", args));
      return 0;
    };
  }
  if (command == "watch") return watch(args);
  if (command == "journal") {
    bool clear = false;
    for (const std::string& a : args) {
      if (a != "--clear") throw Usage{"journal takes only --clear"};
      clear = true;
    }
    return [clear](kt::remote::Connection& robot) {
      ALValue lines = robot.request(ALValue::array("journal", clear));
      for (unsigned int i = 0; i < lines.getSize(); ++i)
        out(static_cast<std::string>(lines[i]) + "\n");
      return 0;
    };
  }
  if (command == "fault") {
    if (args.size() != 2 || (args[1] != "throw" && args[1] != "false" && args[1] != "clear"))
      throw Usage{"fault wants SERVICE.METHOD throw|false|clear"};
    return [args](kt::remote::Connection& robot) {
      robot.request(ALValue::array("fault", args[0], args[1]));
      return 0;
    };
  }
  throw Usage{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath;
  double wait = 0;
  Action action;
  try {
    int i = 1;
    for (; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "--help" || a == "-h") {
        usage(out);
        return 0;
      } else if (a == "--socket" && i + 1 < argc) {
        socketPath = argv[++i];
      } else if (a == "--wait" && i + 1 < argc) {
        wait = seconds(argv[++i], "--wait");
      } else if (a.compare(0, 2, "--") == 0) {
        throw Usage{"unknown option or missing value: " + a};
      } else {
        break;
      }
    }
    if (i >= argc) throw Usage{"no command"};
    action = prepare(argv[i], std::vector<std::string>(argv + i + 1, argv + argc));
  } catch (const Usage& u) {
    err("ktcli: " + u.what + "\n");
    usage(err);
    return kBadCommandLine;
  }
  // How the socket was chosen, for a user who finds no robot there.
  std::string chosen = "named by --socket";
  if (socketPath.empty()) {
    const char* env = getenv("KT_ROBOT_SOCKET");
    const char* root = getenv("KT_ROBOT_ROOT");
    socketPath = env && *env ? env : kt::remote::defaultSocketPath();
    if (env && *env)
      chosen = "named by KT_ROBOT_SOCKET";
    else if (root && *root)
      chosen = std::string("the one under KT_ROBOT_ROOT=") + root;
    else
      chosen = "a robot's own (no --socket, KT_ROBOT_SOCKET or KT_ROBOT_ROOT given)";
  }

  kt::remote::Connection robot;
  std::string why;
  double deadline = monotonic() + wait;
  while (!robot.open(socketPath, &why)) {
    if (monotonic() >= deadline) {
      err("ktcli: no robot at " + socketPath + " (" + why + ")\n" +
          "ktcli: the socket is " + chosen + "\n" +
          "ktcli: name another with --socket PATH, KT_ROBOT_SOCKET=PATH, or KT_ROBOT_ROOT=DIR"
          " for DIR/var/run/ktrobot.sock\n");
      return kNoRobot;
    }
    usleep(50000);
  }

  int status;
  try {
    status = action(robot);
  } catch (const AL::ALError& e) {
    err("ktcli: " + std::string(e.what()) + "\n");
    status = kFailed;
  } catch (const kt::remote::RobotGone& e) {
    err("ktcli: " + std::string(e.what()) + "\n");
    status = kNoRobot;
  }
  fflush(stdout);
  return status;
}
