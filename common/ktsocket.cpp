#include "ktsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <qi/log.hpp>

#include "ktsys.h"

namespace {

// gethostbyname keeps its result in a static area that another thread of
// the robot process may overwrite; the reentrant form does not.
// On failure *herr is the resolver's error (h_errno), not errno's.
bool lookupHost(const char* host, struct in_addr* addr, int* herr) {
  std::vector<char> work(2048);
  struct hostent entry;
  struct hostent* result = 0;
  *herr = 0;
  int rc;
  while ((rc = gethostbyname_r(host, &entry, &work[0], work.size(), &result, herr)) == ERANGE &&
         work.size() < 65536) {
    work.resize(work.size() * 2);
  }
  if (rc != 0 || result == 0 || result->h_addrtype != AF_INET || result->h_length != 4 ||
      result->h_addr_list[0] == 0) {
    if (*herr == 0) *herr = NO_ADDRESS;
    return false;
  }
  std::memcpy(addr, result->h_addr_list[0], 4);
  return true;
}

}  // namespace

int KTSocket::connectTimeoutMs = KTSocket::kConnectTimeoutSeconds * 1000;
int KTSocket::readTimeoutMs = KTSocket::kReadTimeoutSeconds * 1000;

KTSocket::KTSocket(const char* category) : category(category), error(0) {}

void KTSocket::warn(const char* text) {
  qi::log::LogStream(qi::LogLevel_Warning, __FILE__, __FUNCTION__, __LINE__, category) << text;
}

int KTSocket::socket_open(const char* host, int port, const char* local) {
  bool byName = false;
  for (const char* c = host; *c; ++c) {
    if (std::isalpha(static_cast<unsigned char>(*c))) {
      byName = true;
      break;
    }
  }

  struct sockaddr_in server;
  std::memset(&server, 0, sizeof(server));
  server.sin_family = AF_INET;
  if (byName) {
    int herr = 0;
    if (!lookupHost(host, &server.sin_addr, &herr)) {
      // errno says nothing of a name not found ("Resource temporarily
      // unavailable" read as the server program's own complaint).
      warn("ホスト情報を取得できません： 中止");
      warn(("ホスト名が見つかりません = " + std::string(host)).c_str());
      why = std::string("host name not found (") + hstrerror(herr) + ")";
      std::fprintf(stderr, "%s: %s\n", host, why.c_str());
      return -1;
    }
  } else {
    server.sin_addr.s_addr = inet_addr(host);
  }

  // htons would quietly wrap a port beyond 65535 to another one.
  if (port <= 0 || port > 65535) {
    warn("soketポートの設定に失敗しました： 中止");
    errno = EINVAL;
    error = errno;
    why = ktReason(errno);
    perror("connect");
    return -1;
  }
  server.sin_port = htons(static_cast<unsigned short>(port));

  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    // Writing the warning may touch errno; perror tells the socket's error.
    int err = errno;
    error = err;
    why = ktReason(err);
    warn("ソケット生成に失敗しました： 中止");
    errno = err;
    perror("socket");
    return -1;
  }

  struct sockaddr_in from;
  std::memset(&from, 0, sizeof(from));
  from.sin_family = AF_INET;
  if (local && inet_pton(AF_INET, local, &from.sin_addr) == 1)
    bind(s, reinterpret_cast<struct sockaddr*>(&from), sizeof(from));  // else any address

  // Connect without blocking so that an unreachable host gives up in time.
  int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(s, reinterpret_cast<struct sockaddr*>(&server), sizeof(server));
  if (rc < 0 && errno == EINPROGRESS) {
    short revents = 0;
    rc = ktPollUntil(s, POLLOUT, ktMonotonicMs() + connectTimeoutMs, &revents);
    if (rc == 0) {
      errno = ETIMEDOUT;
      rc = -1;
    } else if (rc > 0) {
      int err = 0;
      socklen_t len = sizeof(err);
      getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        errno = err;
        rc = -1;
      } else {
        rc = 0;
      }
    }
  }
  if (rc < 0) {
    int err = errno;
    error = err;
    why = ktReason(err);
    warn("soketをサーバーにつなぐのに失敗しました： 中止");
    errno = err;
    perror("connect");
    close(s);
    return -1;
  }
  fcntl(s, F_SETFL, flags);

  // Lines are short, but a peer that stops reading must not hold a write.
  struct timeval tv;
  tv.tv_sec = readTimeoutMs / 1000;
  tv.tv_usec = (readTimeoutMs % 1000) * 1000;
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  return s;
}

bool KTSocket::wait_readable(int socket) {
  return wait_readable_until(socket, ktMonotonicMs() + readTimeoutMs);
}

bool KTSocket::wait_readable_until(int socket, long long deadlineMs) {
  // poll() ignores a negative descriptor and would wait out the time-out;
  // read fails on it at once.
  if (socket < 0) return true;
  short revents = 0;
  int rc = ktPollUntil(socket, POLLIN, deadlineMs, &revents);
  if (rc != 0) return true;  // bytes, end of stream or an error: read tells
  warn("ソケットの読み込みがタイムアウトしました： 中止");
  shutdown(socket, SHUT_RD);
  return false;
}

char* KTSocket::read_line(int socket, char* p, LineEnd* end) {
  LineEnd how = read_line_until(socket, p, ktMonotonicMs() + readTimeoutMs);
  if (end) *end = how;
  return p;
}

KTSocket::LineEnd KTSocket::read_signal_line(int socket, char* p) {
  return read_line_until(socket, p, -1);
}

KTSocket::LineEnd KTSocket::read_line_until(int socket, char* p, long long deadline) {
  int n = 0;
  bool peek = true;
  LineEnd end = kLineFull;
  while (n < kLineSize - 1) {
    // Once a line has begun, the rest of it must come in time.
    if (deadline < 0 && n > 0) deadline = ktMonotonicMs() + readTimeoutMs;
    size_t room = static_cast<size_t>(kLineSize - 1 - n);
    if (peek) {
      // Looks at what has come without taking it, then takes the line's
      // part only: the bytes after its newline stay in the socket.
      ssize_t r = recv(socket, p + n, room, MSG_PEEK | MSG_DONTWAIT);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!wait_readable_until(socket, deadline)) {
          end = kLineTimedOut;
          break;
        }
        continue;
      }
      if (r < 0 && errno == ENOTSOCK) {
        peek = false;  // a pipe or a file: a byte at a time
        continue;
      }
      if (r <= 0) {
        end = kLineClosed;
        break;
      }
      const void* newline = std::memchr(p + n, '\n', static_cast<size_t>(r));
      size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - (p + n)) + 1
                            : static_cast<size_t>(r);
      ssize_t got = read(socket, p + n, take);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        end = kLineClosed;
        break;
      }
      n += static_cast<int>(got);
      if (newline && static_cast<size_t>(got) == take) {
        end = kLineWhole;
        break;
      }
      continue;
    }
    if (!wait_readable_until(socket, deadline)) {
      end = kLineTimedOut;
      break;
    }
    char c;
    ssize_t r = read(socket, &c, 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      end = kLineClosed;
      break;
    }
    p[n++] = c;
    if (c == '\n') {
      end = kLineWhole;
      break;
    }
  }
  p[n] = '\0';
  return end;
}

void KTSocket::read_response(int socket, char* p) { read_line(socket, p); }

ssize_t KTSocket::read_some(int socket, char* p, size_t size) {
  long long deadline = ktMonotonicMs() + readTimeoutMs;
  for (;;) {
    ssize_t r = recv(socket, p, size, MSG_DONTWAIT);
    if (r >= 0 || errno == EINTR) {
      if (r >= 0) return r;
      continue;
    }
    if (errno == ENOTSOCK) {
      if (!wait_readable_until(socket, deadline)) break;
      ssize_t got = read(socket, p, size);
      if (got < 0 && errno == EINTR) continue;
      return got;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (!wait_readable_until(socket, deadline)) break;
  }
  return -2;
}

void KTSocket::keep_alive(int socket) {
  int on = 1, idle = kKeepAliveIdleSeconds, interval = kKeepAliveIntervalSeconds,
      probes = kKeepAliveProbes;
  setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(socket, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

bool KTSocket::send_line(int socket, const char* line) {
  size_t left = std::strlen(line);
  while (left > 0) {
    ssize_t w = send(socket, line, left, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    line += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}
