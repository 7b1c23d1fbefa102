// Remote calls over the robot's socket (ALMemory.getData, a 40-byte
// request) against a raw Unix-socket echo of the same request: one client,
// then 8 clients at once; then the robot's memory after 2 million calls and
// the cost of asking for its journal.
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"

using namespace kt::bench;

namespace {

const std::string kRequest = "[\"call\",\"ALMemory\",\"getData\",[\"bench1\"]]\n";
const int kRounds = 9;
const int kCallsPerRound = 20000;
const int kClients = 8;
const int kCallsPerClient = 10000;
const long kMemoryCalls = 2000000;

int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("cannot connect to " + path);
  return fd;
}

// Sends a line and reads one line back; the bytes of the reply.
size_t exchange(int fd, const std::string& line, std::string& buffer) {
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) fail("write");
  buffer.clear();
  char chunk[65536];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) fail("the server closed the connection");
    buffer.append(chunk, static_cast<size_t>(n));
    if (chunk[n - 1] == '\n') return buffer.size();
  }
}

// The limit: a server that only sends each line back, a thread per client.
pid_t startEcho(const std::string& path) {
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 128) != 0)
    fail("echo: bind");
  pid_t pid = fork();
  if (pid == 0) {
    dieWithParent();
    prctl(PR_SET_NAME, "echo");
    for (;;) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::thread([fd] {
        char buf[65536];
        size_t have = 0;
        for (;;) {
          ssize_t n = read(fd, buf + have, sizeof buf - have);
          if (n <= 0) break;
          have += static_cast<size_t>(n);
          char* end = static_cast<char*>(memrchr(buf, '\n', have));
          if (!end) continue;
          size_t line = static_cast<size_t>(end - buf) + 1;
          if (write(fd, buf, line) != static_cast<ssize_t>(line)) break;
          memmove(buf, buf + line, have - line);
          have -= line;
        }
        close(fd);
      }).detach();
    }
  }
  close(listener);
  return pid;
}

// Seconds per call of one client.
double oneClient(const std::string& path) {
  int fd = connectTo(path);
  std::string reply;
  for (int i = 0; i < 1000; ++i) exchange(fd, kRequest, reply);
  double begin = now();
  for (int i = 0; i < kCallsPerRound; ++i) exchange(fd, kRequest, reply);
  double took = now() - begin;
  close(fd);
  return took / kCallsPerRound;
}

// Calls per second of clients calling at once, calls each.
double manyClients(const std::string& path, int clients, long calls) {
  std::vector<int> fds;
  for (int c = 0; c < clients; ++c) fds.push_back(connectTo(path));
  std::atomic<int> ready(0);
  std::atomic<bool> go(false);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      std::string reply;
      ++ready;
      while (!go.load()) {
      }
      for (long i = 0; i < calls; ++i) exchange(fds[c], kRequest, reply);
    });
  }
  while (ready.load() < clients) {
  }
  double begin = now();
  go = true;
  for (std::thread& t : threads) t.join();
  double took = now() - begin;
  for (int fd : fds) close(fd);
  return clients * calls / took;
}

void prepare(const std::string& socket) {
  int fd = connectTo(socket);
  std::string reply;
  exchange(fd, "[\"call\",\"ALMemory\",\"insertData\",[\"bench1\",\"value1\"]]\n", reply);
  if (reply.compare(0, 5, "[\"ok\"") != 0) fail("insertData: " + reply);
  exchange(fd, kRequest, reply);
  if (reply != "[\"ok\",\"value1\"]\n") fail("getData: " + reply);
  close(fd);
}

// One client, then 8, on the robot and on the echo, round by round.
void compare(const std::string& folder, const char* one, const char* many) {
  std::string echoPath = folder + "/echo.sock";
  unlink(echoPath.c_str());
  pid_t echo = startEcho(echoPath);
  RobotProcess robot({"libktorrin.so"});
  prepare(robot.socket());
  std::vector<double> mine, limit, mineMany, limitMany;
  for (int r = 0; r < kRounds; ++r) {
    limit.push_back(oneClient(echoPath));
    mine.push_back(oneClient(robot.socket()));
    limitMany.push_back(manyClients(echoPath, kClients, kCallsPerClient));
    mineMany.push_back(manyClients(robot.socket(), kClients, kCallsPerClient));
  }
  double m = median(mine) * 1e6, l = median(limit) * 1e6;
  row(one, m, l, m / l, "us");
  note(std::string(one) + ": the robot adds " + std::to_string(m - l) + " us per call");
  m = median(mineMany);
  l = median(limitMany);
  row(many, m, l, m / l, "calls/s");
  kill(echo, SIGKILL);
  waitpid(echo, nullptr, 0);
}

}  // namespace

int main() {
  std::string folder = tempFolder();
  note("request: " + std::to_string(kRequest.size() - 1) + " bytes and a line feed");
  compare(folder, "remote_1", "remote_8");
  // Again with every process on one processor: what is left is the work
  // of each side, without the cost of waking a thread on another one
  // (high on a virtual machine whose idle processors sleep).
  cpu_set_t all, one;
  sched_getaffinity(0, sizeof all, &all);
  CPU_ZERO(&one);
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &all)) {
      CPU_SET(c, &one);
      break;
    }
  }
  sched_setaffinity(0, sizeof one, &one);
  compare(folder, "remote_1_onecpu", "remote_8_onecpu");
  sched_setaffinity(0, sizeof all, &all);

  // A fresh robot: memory after 2 million calls, then one journal request.
  RobotProcess robot({"libktorrin.so"});
  prepare(robot.socket());
  double start = residentMiB(robot.pid());
  manyClients(robot.socket(), kClients, kMemoryCalls / kClients);
  double after = residentMiB(robot.pid());
  row("memory_2m", after, start, after / start, "MiB");
  int fd = connectTo(robot.socket());
  std::string reply;
  double begin = now();
  size_t bytes = exchange(fd, "[\"journal\",false]\n", reply);
  double took = now() - begin;
  close(fd);
  size_t lines = 0;
  for (size_t p = reply.find("\",\""); p != std::string::npos; p = reply.find("\",\"", p + 3)) ++lines;
  row("journal", took * 1000, lines + 1, took * 1e9 / bytes, "ms");
  note("journal reply: " + std::to_string(bytes) + " bytes, about " + std::to_string(lines + 1) +
       " lines; ratio is ns per byte");
  removeTree(folder);
  return 0;
}
