#include <ktplatform/remote.h>

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <alerror/alerror.h>
#include <ktplatform/json.h>
#include <ktplatform/robotroot.h>

namespace kt {
namespace remote {

// strerror may take the locale's lock, which a forked child must not touch;
// the untranslated text takes none.
static std::string describe(int e) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  if (const char* text = strerrordesc_np(e)) return text;
#endif
  return "error " + std::to_string(e);
}

std::string defaultSocketPath() { return robotRoot() + "/var/run/ktrobot.sock"; }

void encodeInto(const AL::ALValue& v, std::string& out, bool asUtf8) {
  if (v.isArray()) {
    out += '[';
    const AL::ALValue::ALValueArray& items = v.asArray();
    for (size_t i = 0; i < items.size(); ++i) {
      if (i) out += ',';
      encodeInto(items[i], out, asUtf8);
    }
    out += ']';
    return;
  }
  size_t start = out.size();
  appendJson(out, v, asUtf8);
  // "1" would come back as an int.
  if (v.isFloat() && out.compare(start, std::string::npos, "null") != 0 &&
      out.find_first_of(".eE", start) == std::string::npos)
    out += ".0";
}

std::string encode(const AL::ALValue& value, bool asUtf8) {
  std::string out;
  encodeInto(value, out, asUtf8);
  return out;
}

bool decode(const std::string& line, AL::ALValue& out) { return parseJson(line, out); }

bool matches(const std::string& pattern, const std::string& key) {
  if (!pattern.empty() && pattern[pattern.size() - 1] == '*')
    return key.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == key;
}

static long long nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int LineReader::readLine(std::string& line, int timeoutMs) {
  long long deadline = timeoutMs >= 0 ? nowMs() + timeoutMs : 0;
  size_t scanned = 0;
  for (;;) {
    size_t nl = fBuffer.find('\n', scanned);
    if (nl != std::string::npos && nl <= fMaxLine) {
      line.assign(fBuffer, 0, nl);
      fBuffer.erase(0, nl + 1);
      return 1;
    }
    scanned = fBuffer.size();
    if (fBuffer.size() > fMaxLine) {
      fTooLong = true;
      return 0;
    }
    if (timeoutMs >= 0) {
      long long left = deadline - nowMs();
      if (left < 0) left = 0;
      struct pollfd p;
      p.fd = fFd;
      p.events = POLLIN;
      p.revents = 0;
      int r = poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return 0;
      if (r == 0) return -1;
    }
    char chunk[65536];
    ssize_t n = ::read(fFd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    fBuffer.append(chunk, static_cast<size_t>(n));
  }
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

Connection::Connection() : fFd(-1), fReader(0) {}

Connection::~Connection() { close(); }

bool Connection::open(const std::string& socketPath, std::string* error) {
  close();
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) {
    if (error) *error = "socket path is empty or too long";
    return false;
  }
  memcpy(addr.sun_path, socketPath.data(), socketPath.size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = describe(errno);
    return false;
  }
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    if (error) *error = describe(errno);
    ::close(fd);
    return false;
  }
  fFd = fd;
  fReader = new LineReader(fd);
  return true;
}

void Connection::close() {
  delete fReader;
  fReader = 0;
  if (fFd >= 0) ::close(fFd);
  fFd = -1;
}

void Connection::send(const AL::ALValue& message) {
  if (fFd < 0) throw RobotGone("not connected to the robot");
  // A call made for a module keeps its texts' bytes: a signal from another
  // robot is raised as it came. Only what the robot writes is made UTF-8.
  if (!writeAll(fFd, encode(message, false) + "\n")) throw RobotGone("the robot closed the connection");
}

int Connection::receive(AL::ALValue& message, int timeoutMs) {
  if (fFd < 0) return 0;
  std::string line;
  int r = fReader->readLine(line, timeoutMs);
  if (r <= 0) return r;
  if (!decode(line, message) || !message.isArray() || message.getSize() == 0 ||
      !message[0].isString())
    throw RobotGone("the robot sent an unreadable message");
  return 1;
}

AL::ALValue Connection::request(const AL::ALValue& message) {
  send(message);
  AL::ALValue reply;
  if (receive(reply) != 1) throw RobotGone("the robot closed the connection");
  std::string status = reply[0];
  AL::ALValue value = reply.getSize() > 1 ? reply[1] : AL::ALValue();
  if (status == "ok") return value;
  if (status == "error") throw AL::ALError(value.isString() ? std::string(value) : encode(value));
  throw RobotGone("the robot sent an unexpected reply: " + status);
}

void installForwarder(boost::shared_ptr<AL::ALBroker> broker, const std::string& socketPath) {
  broker->setForwarder([socketPath](const std::string& module, const std::string& method,
                                    const std::vector<AL::ALValue>& args) {
    Connection connection;
    std::string error;
    if (!connection.open(socketPath, &error))
      throw AL::ALError(module, method, "cannot reach the robot at " + socketPath + ": " + error);
    AL::ALValue request = AL::ALValue::array("call", module, method, AL::ALValue(args));
    try {
      return connection.request(request);
    } catch (const RobotGone& e) {
      throw AL::ALError(module, method, e.what());
    }
  });
}

}  // namespace remote
}  // namespace kt
