// A content server for tests and the demo: greeting, login check, one
// command ("getrukoconf" or "getTopic:NAME") served from a folder, then close.
// It misbehaves on request, for every connection (--mode) or for one
// (--fault N=MODE, connections counted from 1):
//   ok        serve as a good server does
//   refuse    answer the login with a reply that does not begin with 1
//   close     close at once, before the greeting
//   silent    accept and say nothing, until the client gives up
//   stall     answer the login and take the command, then send nothing
//   nofile    take the command and close without a byte
//   oversize  answer the command with 1000000 bytes, more than any buffer
//   trickle   send every line and file in pieces of 3 bytes
// Prints the address and port it listens on, then "ready". With --log FILE, appends every line it
// receives as "N LINE", CR and LF written as \r and \n. Stops on SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>

namespace {

struct Options {
  std::string bind = "127.0.0.1";
  int port = 5591;
  std::string folder = ".";
  std::string conf;  // default: folder/ruko.conf
  std::string user;
  std::string session;
  std::string loginReply = "100: login ok";
  std::string log;
  std::string mode = "ok";
  std::map<int, std::string> faults;
};

const int kHoldMs = 120000;

// Exit statuses, the same in ktrobot and ktcli.
const int kFailed = 1;
const int kBadCommandLine = 64;

bool knownMode(const std::string& m) {
  return m == "ok" || m == "refuse" || m == "close" || m == "silent" || m == "stall" ||
         m == "nofile" || m == "oversize" || m == "trickle";
}

const char kUsage[] =
    "usage: ktcontentserver --user USER --session SESSION [--folder DIR]\n"
    "         [--conf FILE] [--bind ADDR] [--port N] [--login-reply TEXT]\n"
    "         [--log FILE] [--mode MODE] [--fault N=MODE]...\n"
    "Serves ruko.conf (--conf, else DIR/ruko.conf) and the topic files of DIR\n"
    "(default .) on ADDR (default 127.0.0.1) to a robot that logs in as USER\n"
    "with SESSION; the robot takes only a session of 32 characters. The robot\n"
    "dials port 5591 (the default of --port) of the host named by\n"
    "KT_CONTENT_SERVER in its environment: run both in a network namespace of\n"
    "their own (unshare --net) so that the fixed port meets no other user.\n"
    "MODE: ok, refuse, close, silent, stall, nofile, oversize or trickle.\n"
    "Before \"ready\" it refuses a --log it cannot write and a SESSION the robot\n"
    "would not take, and warns when there is no ruko.conf to serve.\n"
    "Prints the address and port it listens on, then \"ready\"; runs until it\n"
    "is stopped by SIGINT or SIGTERM, also when started in the background.\n"
    "Exit status, as in ktrobot and ktcli:\n"
    "  0   stopped by SIGINT or SIGTERM\n"
    "  1   failed: could not listen or accept\n"
    "  64  the command line is wrong: an unknown option, a missing value, or a\n"
    "      value that cannot be used; nothing was served\n";

int usage(const std::string& why) {
  std::cerr << "ktcontentserver: " << why << "\n" << kUsage;
  return kBadCommandLine;
}

// A whole number from low to high, nothing else: atoi took "5591x" as 5591
// and "abc" as 0 (any port).
bool wholeNumber(const std::string& text, long low, long high, int* out) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  long n = std::strtol(text.c_str(), nullptr, 10);
  if (n < low || n > high) return false;
  *out = static_cast<int>(n);
  return true;
}

// Empty when path is there as a folder (or as a file), else why not.
std::string missing(const std::string& path, bool folder) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (folder != S_ISDIR(st.st_mode)) return folder ? "not a folder" : "a folder, not a file";
  return "";
}

// Why the robot would not log in with session, or "": it drops the blanks
// around a session and takes only one of 32 characters.
std::string refusedSession(const std::string& session) {
  bool blanks = !session.empty() && (std::isspace(static_cast<unsigned char>(session.front())) ||
                                     std::isspace(static_cast<unsigned char>(session.back())));
  if (blanks) return "the robot drops the blanks around a session and logs in without them";
  if (session.size() != 32)
    return "the robot logs in only with a session of 32 characters; this one has " +
           std::to_string(session.size());
  return "";
}

// Empty when lines can be appended to path, else why not. Makes nothing:
// the command line may yet be refused.
std::string unwritable(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) {
    std::string why = missing(path, false);
    if (!why.empty()) return why;
    return access(path.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
  }
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return access(folder.c_str(), W_OK | X_OK) == 0 ? "" : std::strerror(errno);
}

// A stop asked for is the server's clean end. Set explicitly: a background
// job of a script starts with SIGINT ignored.
void onStop(int) {
  static const char kStopped[] = "ktcontentserver: stopped\n";
  ssize_t n = write(1, kStopped, sizeof kStopped - 1);
  (void)n;
  _exit(0);
}

class Connection {
public:
  Connection(int fd, int number, const Options& o, const std::string& mode)
    : fd(fd), number(number), opt(o), mode(mode) {}

  void serve() {
    if (mode == "close") return;
    if (mode == "silent") return hold();
    if (!sendAll("100: KT content server ready\r\n")) return;

    std::optional<std::string> login = readLine();
    if (!login) return;
    std::string expected = "login:" + opt.user + ":" + opt.session + "\r\n";
    if (mode == "refuse" || *login != expected) {
      sendAll("530: login incorrect\r\n");
      return;
    }
    if (!sendAll(opt.loginReply + "\r\n")) return;

    std::optional<std::string> command = readLine();
    if (!command) return;
    if (mode == "stall") return hold();
    if (mode == "nofile") return;
    if (mode == "oversize") {
      sendAll(std::string(1000000, 'x'));
      return;
    }
    std::optional<std::string> file = lookup(strip(*command));
    if (file) sendAll(*file);
  }

private:
  static std::string strip(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
  }

  std::optional<std::string> lookup(const std::string& command) {
    std::string file;
    if (command == "getrukoconf") {
      file = opt.conf.empty() ? opt.folder + "/ruko.conf" : opt.conf;
    } else if (command.compare(0, 9, "getTopic:") == 0) {
      std::string name = command.substr(9);
      if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;
      file = opt.folder + "/" + name;
    } else {
      return std::nullopt;
    }
    // Only a regular file is served: a folder's size reads as huge.
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    // Read once into the text that is sent.
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    std::streamoff size = in.tellg();
    if (size < 0) return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    in.seekg(0);
    in.read(&bytes[0], size);
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
  }

  bool waitReadable() {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
      int rc = poll(&p, 1, kHoldMs);
      if (rc < 0 && errno == EINTR) continue;
      return rc > 0;
    }
  }

  // Keeps the connection open without a word until the client closes it.
  void hold() {
    char c;
    while (waitReadable() && read(fd, &c, 1) > 0) {
    }
  }

  // A line of at most 4096 bytes; what came after it waits in pending.
  std::optional<std::string> readLine() {
    size_t newline;
    while ((newline = pending.find('\n')) == std::string::npos && pending.size() < 4096) {
      if (!waitReadable()) break;
      char chunk[4096];
      ssize_t r = read(fd, chunk, sizeof(chunk));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      pending.append(chunk, static_cast<size_t>(r));
    }
    size_t end = newline < 4096 ? newline + 1 : std::min<size_t>(pending.size(), 4096);
    std::string line = pending.substr(0, end);
    pending.erase(0, end);
    if (line.empty()) return std::nullopt;
    record(line);
    return line;
  }

  void record(const std::string& line) {
    if (opt.log.empty()) return;
    std::string shown;
    for (char c : line) {
      if (c == '\r')
        shown += "\\r";
      else if (c == '\n')
        shown += "\\n";
      else
        shown += c;
    }
    std::ofstream out(opt.log, std::ios::app);
    out << number << " " << shown << "\n";
  }

  bool sendAll(const std::string& bytes) {
    size_t piece = mode == "trickle" ? 3 : bytes.size();
    size_t done = 0;
    while (done < bytes.size()) {
      size_t n = std::min(piece, bytes.size() - done);
      ssize_t w = send(fd, bytes.data() + done, n, MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += static_cast<size_t>(w);
      if (mode == "trickle") std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  int fd;
  int number;
  const Options& opt;
  std::string mode;
  std::string pending;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
    static const char* const kValued[] = {"--bind", "--port", "--folder", "--conf", "--user",
                                          "--session", "--login-reply", "--log", "--mode", "--fault"};
    if (std::find(std::begin(kValued), std::end(kValued), a) == std::end(kValued))
      return usage("unknown option " + a);
    if (i + 1 >= argc) return usage("missing value after " + a);
    std::string v = argv[++i];
    if (a == "--bind") opt.bind = v;
    else if (a == "--port") {
      if (!wholeNumber(v, 1, 65535, &opt.port))
        return usage("--port wants a whole number from 1 to 65535, not " + v);
    } else if (a == "--folder" || a == "--conf") {
      std::string why = missing(v, a == "--folder");
      if (!why.empty()) return usage(a + " " + v + ": " + why);
      (a == "--folder" ? opt.folder : opt.conf) = v;
    } else if (a == "--user") opt.user = v;
    else if (a == "--session") {
      std::string why = refusedSession(v);
      if (!why.empty()) return usage(a + " " + v + ": " + why);
      opt.session = v;
    } else if (a == "--login-reply") opt.loginReply = v;
    else if (a == "--log") {
      std::string why = unwritable(v);
      if (!why.empty()) return usage(a + " " + v + ": " + why);
      opt.log = v;
    }
    else if (a == "--mode") opt.mode = v;
    else if (a == "--fault") {
      size_t eq = v.find('=');
      int n = 0;
      if (eq == std::string::npos || !wholeNumber(v.substr(0, eq), 1, INT_MAX, &n))
        return usage("--fault wants N=MODE with N from 1, not " + v);
      opt.faults[n] = v.substr(eq + 1);
    } else {
      return usage("unknown option " + a);
    }
  }
  if (opt.user.empty()) return usage("--user USER is required");
  if (opt.session.empty()) return usage("--session SESSION is required");
  if (!knownMode(opt.mode)) return usage("unknown mode " + opt.mode);
  for (auto& f : opt.faults)
    if (!knownMode(f.second)) return usage("unknown mode " + f.second);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(opt.port));
  if (inet_pton(AF_INET, opt.bind.c_str(), &addr.sin_addr) != 1)
    return usage("--bind wants an IPv4 address, not " + opt.bind);

  // The robot asks for ruko.conf first: without it every fetch fails.
  if (opt.conf.empty()) {
    std::string why = missing(opt.folder + "/ruko.conf", false);
    if (!why.empty())
      std::cerr << "ktcontentserver: warning: " << opt.folder << "/ruko.conf: " << why
                << "; a robot asks for it first, so every fetch will fail (--conf FILE names "
                   "another)\n";
  }

  signal(SIGPIPE, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = onStop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 ||
      listen(listener, 5) < 0) {
    std::perror(("ktcontentserver: bind " + opt.bind + " port " + std::to_string(opt.port)).c_str());
    return kFailed;
  }
  std::cout << "listening on " << opt.bind << " port " << opt.port << "\nready" << std::endl;

  for (int number = 1;; ++number) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) {
        --number;
        continue;
      }
      std::perror("ktcontentserver: accept");
      return kFailed;
    }
    int nodelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof(nodelay));
    auto fault = opt.faults.find(number);
    Connection(fd, number, opt, fault == opt.faults.end() ? opt.mode : fault->second).serve();
    shutdown(fd, SHUT_WR);
    close(fd);
  }
}
