#include "kttelepathyserver.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <exception>

#include <qi/os.hpp>

#include "ktsocket.h"
#include "ktsys.h"
#include "vesperlog.h"

// Defined here too: streams and tests take them by reference.
const int KTTelepathyServer::kMaxConnectionsPerPeer;
const int KTTelepathyServer::kMaxConnections;
int KTTelepathyServer::bindPatienceMs = 15000;
int KTTelepathyServer::tallyIntervalMs = 10000;

namespace {

const char* const kCategory = KT_LOG_CATEGORY;
const char* const kGreeting = "100: Hello! we are connected!\r\n";
// Counts what happened and says it at most once in the interval.
class Tally {
public:
  Tally() : count(0), lastMs(-1) {}
  void add() { ++count; }
  // The count to say now, and 0 when nothing is to be said yet.
  int due(long long nowMs) {
    if (count == 0 || (lastMs >= 0 && nowMs - lastMs < KTTelepathyServer::tallyIntervalMs))
      return 0;
    lastMs = nowMs;
    int n = count;
    count = 0;
    return n;
  }

private:
  int count;
  long long lastMs;
};

// The connection processes of the telepathy server and their peers, so
// that no peer holds more than its share and all of them stay bounded.
class Connections {
public:
  Connections() : used(0), serial(0) {}

  // Forgets the processes that have ended, and reaps them.
  void reap() {
    pid_t pid;
    while ((pid = waitpid(-1, 0, WNOHANG)) > 0) forget(pid);
  }

  int from(in_addr_t peer) const {
    int n = 0;
    for (int i = 0; i < used; ++i) n += entries[i].peer == peer;
    return n;
  }

  // A peer that connects again has given its oldest connection up.
  void endOldest(in_addr_t peer) {
    int oldest = -1;
    for (int i = 0; i < used; ++i)
      if (entries[i].peer == peer && (oldest < 0 || entries[i].serial < entries[oldest].serial))
        oldest = i;
    if (oldest >= 0) end(oldest);
  }

  // Makes room for one more: the peer that holds the most gives its oldest
  // up, so that a robot waiting with its one connection never goes while a
  // peer holds more. Among peers that hold as many, the oldest goes: a
  // robot's connection, made at initTelepathy to wait for its signal, is
  // usually that one, so once 149 other addresses hold one each beside it,
  // the next connection ends it. The server cannot tell a robot from any
  // other peer: it has no copy of the robot table.
  in_addr_t endOldestOfBusiest() {
    int chosen = 0, most = 0;
    for (int i = 0; i < used; ++i) {
      int n = from(entries[i].peer);
      if (n > most || (n == most && entries[i].serial < entries[chosen].serial)) {
        most = n;
        chosen = i;
      }
    }
    in_addr_t peer = entries[chosen].peer;
    end(chosen);
    return peer;
  }

  bool full() const { return used >= KTTelepathyServer::kMaxConnections; }

  void add(pid_t pid, in_addr_t peer) {
    entries[used].pid = pid;
    entries[used].peer = peer;
    entries[used].serial = ++serial;
    ++used;
  }

private:
  void end(int i) {
    pid_t pid = entries[i].pid;
    kill(pid, SIGKILL);
    while (waitpid(pid, 0, 0) < 0 && errno == EINTR) {
    }
    forget(pid);
  }

  void forget(pid_t pid) {
    for (int i = 0; i < used; ++i)
      if (entries[i].pid == pid) {
        entries[i] = entries[--used];
        return;
      }
  }

  struct Entry {
    pid_t pid;
    in_addr_t peer;
    unsigned long serial;
  };
  Entry entries[KTTelepathyServer::kMaxConnections];
  int used;
  unsigned long serial;
};

// Binds the telepathy port. A robot started again at once finds it still
// held by the server of its previous run, which goes within a second or so
// of its robot: that is waited for, within bindPatienceMs.
bool bindTelepathyPort(int s, pid_t robot) {
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(KTTelpnet::kTelepathyPort);
  long long deadline = ktMonotonicMs() + KTTelepathyServer::bindPatienceMs;
  for (;;) {
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0) return true;
    int err = errno;
    if (err != EADDRINUSE || ktMonotonicMs() >= deadline || getppid() != robot) {
      errno = err;
      return false;
    }
    qi::os::msleep(200);
  }
}

}  // namespace

KTTelepathyServer::KTTelepathyServer(KTTelpnet& net) : net(net) {}

bool KTTelepathyServer::run(bool& stop) {
  // This is the server process: SIGINT ends it; a peer gone away never
  // ends it. Its connection processes are reaped here, so that it knows
  // which are still open.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  ktUnblockSignals();

  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    const char* reason = ktReason(errno);
    KTWARN << "server: can't open stream socket. (" << reason << ")";
    return false;
  }
  server_socket = s;
  // The connections this server closes first leave TIME_WAIT behind on the
  // port, which must not keep a robot started again from serving it.
  int yes = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  pid_t robot = getppid();
  bool bound = bindTelepathyPort(s, robot);
  const char* failed = bound ? 0 : "";
  // A socket that does not listen would wake the loop for ever with errors.
  if (bound && listen(s, kListenBacklog) != 0) failed = "listen: ";
  if (failed) {
    // A server whose robot is gone has nobody to tell.
    const char* reason = ktReason(errno);
    if (getppid() == robot)
      KTWARN << "server: can't bind local address. (" << failed << reason << ")";
    close(s);
    server_socket = -1;
    return false;
  }
  KTINFO << "ロボットテレパシー  >> Server Start...";
  stop = false;

  pid_t self = getpid();
  Connections connections;
  Tally crowded, full;
  char lastCrowded[INET_ADDRSTRLEN] = "", lastBusiest[INET_ADDRSTRLEN] = "";
  while (!stop) {
    // Wake now and then: a robot that was killed outright cannot end us.
    short revents = 0;
    int ready = ktPollUntil(server_socket, POLLIN, ktMonotonicMs() + 1000, &revents);
    if (getppid() != robot) break;
    connections.reap();
    long long nowMs = ktMonotonicMs();
    if (int n = crowded.due(nowMs))
      KTWARN << "同じ相手からのテレパシー接続が多すぎるので、古い接続を閉じました。 相手 = "
             << lastCrowded << " 件数 = " << n;
    if (int n = full.due(nowMs))
      KTWARN << "テレパシー接続数が上限[" << kMaxConnections
             << "]に達しているので、接続の多い相手の古い接続を閉じました。 相手 = " << lastBusiest
             << " 件数 = " << n;
    if (ready <= 0) continue;

    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    int c = accept(server_socket, reinterpret_cast<struct sockaddr*>(&peer), &length);
    if (c < 0) {
      if (errno == EINTR) continue;
      const char* reason = ktReason(errno);
      KTWARN << "server: accept error (" << reason << ")";
      qi::os::msleep(100);  // out of descriptors: give the connections time to end
      continue;
    }
    in_addr_t from = peer.sin_addr.s_addr;
    if (connections.from(from) >= kMaxConnectionsPerPeer) {
      connections.endOldest(from);
      inet_ntop(AF_INET, &peer.sin_addr, lastCrowded, sizeof lastCrowded);
      crowded.add();
    } else if (connections.full()) {
      struct in_addr busiest;
      busiest.s_addr = connections.endOldestOfBusiest();
      inet_ntop(AF_INET, &busiest, lastBusiest, sizeof lastBusiest);
      full.add();
    }
    pid_t child = fork();
    if (child < 0) {
      const char* reason = ktReason(errno);
      KTWARN << "server: fork error. (" << reason << ")";
      close(c);
      continue;
    }
    if (child == 0) {
      // A connection process, forked from this single-threaded server. Every
      // lock stands here as it stood when the robot forked the server: the
      // only one taken here is the table's (a test signal's name), which no
      // other thread of the robot could reach yet at that fork; the log and
      // the proxies take none in a forked process.
      close(server_socket);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != self) _exit(0);
      char ip[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
      serveConnection(c, ip);
      _exit(0);
    }
    connections.add(child, from);
    close(c);
  }
  close(server_socket);
  server_socket = -1;
  return true;
}

void KTTelepathyServer::serveConnection(int socket, const char* ip) {
  // A peer that vanished without closing is found by keepalive: the
  // connection may rightly stay silent for minutes before its signal.
  KTSocket::keep_alive(socket);
  KTSocket(kCategory).send_line(socket, kGreeting);
  try {
    net.getTelepathy(socket, ip);
  } catch (const std::exception& e) {
    // The robot could not take the event or the sentence: the connection
    // still ends cleanly.
    KTWARN << "テレパシーの処理に失敗しました： 中止 = " << e.what();
  }
  close(socket);
}
