#include "server.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include <alerror/alerror.h>
#include <ktplatform/json.h>
#include <ktplatform/remote.h>
#include <qi/log.hpp>

namespace kt {
namespace host {

using AL::ALValue;

namespace {

// Events a watcher has not taken yet; past this many, or this many bytes,
// it is dropped rather than letting a stalled client hold up the robot or
// its memory.
const size_t kMaxPendingEvents = 100000;
const size_t kMaxPendingBytes = 64u << 20;

const std::string& textAt(const ALValue& request, unsigned int i) {
  if (i >= request.getSize() || !request[i].isString())
    throw AL::ALError("bad request: field " + std::to_string(i) + " must be a text");
  return request[i].asString();
}

const ALValue::ALValueArray& arrayAt(const ALValue& request, unsigned int i) {
  if (i >= request.getSize() || !request[i].isArray())
    throw AL::ALError("bad request: field " + std::to_string(i) + " must be an array");
  return request[i].asArray();
}

// MODULE.METHOD for a call, else the operation asked.
std::string callName(const ALValue& request) {
  const std::string& op = request[0].asString();
  if ((op == "call" || op == "calltext") && request.getSize() > 2 && request[1].isString() &&
      request[2].isString())
    return request[1].asString() + "." + request[2].asString();
  return op;
}

struct WatchQueue {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::string> events;  // as sent
  size_t bytes = 0;
  bool overflow = false;
};

}  // namespace

Server::Server(kt::sim::Robot& robot, const std::string& socketPath)
  : fRobot(robot), fPath(socketPath), fListen(-1), fStopping(false) {}

Server::~Server() {
  if (fAcceptor.joinable()) fAcceptor.join();
  if (fListen >= 0) ::close(fListen);
}

bool Server::listen(std::string& error) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (fPath.empty() || fPath.size() >= sizeof addr.sun_path) {
    error = "socket path is empty or longer than " + std::to_string(sizeof addr.sun_path - 1) +
            " bytes: " + fPath;
    return false;
  }
  memcpy(addr.sun_path, fPath.data(), fPath.size());

  // A socket file left by a robot that died may be replaced; a live one not.
  struct stat st;
  if (lstat(fPath.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      error = fPath + " exists and is no socket";
      return false;
    }
    kt::remote::Connection probe;
    if (probe.open(fPath, 0)) {
      error = "a robot already serves " + fPath;
      return false;
    }
    ::unlink(fPath.c_str());
  }

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return false;
  }
  if (::bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0 ||
      ::listen(fd, 128) < 0) {
    error = fPath + ": " + strerror(errno);
    ::close(fd);
    return false;
  }
  fListen = fd;
  return true;
}

void Server::start() { fAcceptor = std::thread(&Server::acceptLoop, this); }

void Server::acceptLoop() {
  for (;;) {
    int fd = ::accept4(fListen, 0, 0, SOCK_CLOEXEC);
    if (fd < 0) {
      {
        std::lock_guard<std::mutex> lock(fMutex);
        if (fStopping) return;
      }
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    if (fStopping) {
      ::close(fd);
      return;
    }
    try {
      std::thread(&Server::serve, this, fd).detach();
      fConnections[fd] = "";
    } catch (const std::exception& e) {
      qi::log::LogStream(qi::LogLevel_Warning, __FILE__, __FUNCTION__, __LINE__, "ktrobot")
          << "no thread for a new client: " << e.what();
      ::close(fd);
    }
  }
}

bool Server::stop(int waitMs) {
  beginStop();
  std::unique_lock<std::mutex> lock(fMutex);
  return fIdle.wait_for(lock, std::chrono::milliseconds(waitMs),
                        [this] { return fConnections.empty(); });
}

void Server::beginStop() {
  {
    std::lock_guard<std::mutex> lock(fMutex);
    if (fStopping) return;
    fStopping = true;
    // Wakes the acceptor; later connects are refused once the file is gone.
    if (fListen >= 0) ::shutdown(fListen, SHUT_RDWR);
  }
  if (fAcceptor.joinable()) fAcceptor.join();
  if (fListen >= 0) ::close(fListen);
  fListen = -1;
  ::unlink(fPath.c_str());

  std::lock_guard<std::mutex> lock(fMutex);
  // A connection ends when its client closes it or, from here on, once its
  // call under way has been answered.
  for (const auto& c : fConnections) ::shutdown(c.first, SHUT_RD);
}

bool Server::done() {
  std::lock_guard<std::mutex> lock(fMutex);
  return fConnections.empty();
}

void Server::onDone(const std::function<void()>& notify) {
  std::lock_guard<std::mutex> lock(fMutex);
  fOnDone = notify;
}

std::vector<std::string> Server::callsUnderWay() {
  std::lock_guard<std::mutex> lock(fMutex);
  std::vector<std::string> calls;
  for (const auto& c : fConnections)
    if (!c.second.empty()) calls.push_back(c.second);
  return calls;
}

void Server::underWay(int fd, const std::string& call) {
  std::lock_guard<std::mutex> lock(fMutex);
  fConnections[fd] = call;
}

bool Server::stopping() {
  std::lock_guard<std::mutex> lock(fMutex);
  return fStopping;
}

// Writes all of text. A client that takes nothing for a second while the
// robot stops (a watcher or a caller that no longer reads) is given up, so
// that it cannot hold the robot.
bool Server::send(int fd, const std::string& text) {
  size_t done = 0;
  int stalled = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      stalled = 0;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd p;
      p.fd = fd;
      p.events = POLLOUT;
      p.revents = 0;
      if (poll(&p, 1, 200) == 0 && stopping() && ++stalled >= 5) return false;
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

void Server::serve(int fd) {
  kt::remote::LineReader reader(fd, kt::remote::kMaxRequest);
  std::string line, reply;
  while (reader.readLine(line) == 1) {
    ALValue request;
    if (!kt::remote::decode(line, request) || !request.isArray() || request.getSize() == 0 ||
        !request[0].isString()) {
      reply = error("bad request: not a JSON array naming an operation");
    } else if (request[0].asString() == "watch") {
      try {
        watch(fd, request.getSize() > 1 ? request[1] : ALValue());
      } catch (const std::exception& e) {
        send(fd, error(e.what()));
      }
      break;
    } else {
      underWay(fd, callName(request));
      try {
        // The reply is written as it is built: no value holds it first.
        reply = "[\"ok\",";
        if (request[0].asString() == "journal")
          journal(request.getSize() > 1 && request[1].isBool() && static_cast<bool>(request[1]),
                  reply);
        else
          kt::remote::encodeInto(handle(request), reply);
        reply += "]\n";
      } catch (const std::exception& e) {
        reply = error(e.what());
      }
    }
    bool sent = send(fd, reply);
    underWay(fd, "");
    if (!sent) break;
  }
  if (reader.tooLong())
    send(fd, error("bad request: longer than " + std::to_string(kt::remote::kMaxRequest) +
                   " bytes"));
  {
    std::lock_guard<std::mutex> lock(fMutex);
    fConnections.erase(fd);
    ::close(fd);
    if (fConnections.empty()) {
      fIdle.notify_all();
      if (fStopping && fOnDone) fOnDone();
    }
  }
}

ALValue Server::handle(const ALValue& request) {
  const std::string& op = request[0].asString();
  const boost::shared_ptr<AL::ALBroker>& broker = fRobot.broker();
  if (op == "call") return broker->call(textAt(request, 1), textAt(request, 2), arrayAt(request, 3));
  if (op == "calltext")
    return callText(textAt(request, 1), textAt(request, 2), arrayAt(request, 3));
  if (op == "modules") return ALValue(broker->getModuleNames());
  if (op == "info") return info(textAt(request, 1));
  if (op == "fault") {
    std::string target = textAt(request, 1), mode = textAt(request, 2);
    kt::sim::FaultMode m;
    if (mode == "throw")
      m = kt::sim::FaultThrow;
    else if (mode == "false")
      m = kt::sim::FaultFalse;
    else if (mode == "clear")
      m = kt::sim::FaultNone;
    else
      throw AL::ALError("fault mode must be throw, false or clear, not " + mode);
    std::string::size_type dot = target.find('.');
    if (dot == std::string::npos)
      throw AL::ALError("fault target must be Service.method, not " + target);
    // A fault on a name nothing answers to would never fire: say so now.
    std::string service = target.substr(0, dot), method = target.substr(dot + 1);
    boost::shared_ptr<kt::sim::Service> found =
        boost::dynamic_pointer_cast<kt::sim::Service>(broker->getModuleByName(service));
    if (!found) throw AL::ALError("the robot has no service named " + service);
    if (!found->isMethodBound(method))
      throw AL::ALError(service + " has no method named " + method);
    fRobot.world().setFault(target, m);
    return ALValue();
  }
  throw AL::ALError("unknown request " + op);
}

ALValue Server::callText(const std::string& module, const std::string& method,
                         const ALValue::ALValueArray& texts) {
  const boost::shared_ptr<AL::ALBroker>& broker = fRobot.broker();
  boost::shared_ptr<AL::ALModuleCore> target = broker->getModuleByName(module);
  const AL::ALMethodInfo* bound = target ? target->findMethod(method) : 0;
  std::vector<ALValue> args;
  args.reserve(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!texts[i].isString()) throw AL::ALError("bad request: arguments must be texts");
    const std::string& text = texts[i].asString();
    // A text parameter takes the argument as it was written: "007" or a
    // 32-digit session string must not turn into a number first.
    ALValue v = kt::valueFromArg(text);
    if (bound && i < bound->textParams.size() && bound->textParams[i] && !v.isString())
      v = ALValue(text);
    args.push_back(std::move(v));
  }
  return broker->call(module, method, args);
}

ALValue Server::info(const std::string& module) {
  boost::shared_ptr<AL::ALModuleCore> target = fRobot.broker()->getModuleByName(module);
  if (!target) throw AL::ALError("no module named " + module);
  ALValue methods = ALValue::array();
  for (const AL::ALMethodInfo& m : target->getMethods()) {
    ALValue params = ALValue::array();
    for (const AL::ALMethodParam& p : m.params)
      params.arrayPush(ALValue::array(p.name, p.description));
    methods.arrayPush(ALValue::array(m.name, m.description, params));
  }
  return ALValue::array(target->getName(), target->getModuleDescription(), methods);
}

// The lines as a JSON array of texts, appended to out.
void Server::journal(bool clear, std::string& out) {
  std::vector<std::string> lines = fRobot.world().takeJournal(clear);
  size_t bytes = 0;
  for (const std::string& l : lines) bytes += l.size() + 3;
  out.reserve(out.size() + bytes + 8);
  out += '[';
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += ',';
    kt::appendJsonText(out, lines[i]);
  }
  out += ']';
}

std::string Server::error(const std::string& text) {
  return kt::remote::encode(ALValue::array("error", text)) + "\n";
}

void Server::watch(int fd, const ALValue& patternList) {
  if (!patternList.isArray()) throw AL::ALError("bad request: field 1 must be an array");
  std::vector<std::string> patterns;
  for (unsigned int i = 0; i < patternList.getSize(); ++i) {
    if (!patternList[i].isString()) throw AL::ALError("bad request: patterns must be texts");
    patterns.push_back(patternList[i]);
  }
  if (patterns.empty()) throw AL::ALError("watch needs at least one pattern");

  std::shared_ptr<WatchQueue> queue = std::make_shared<WatchQueue>();
  kt::sim::Memory& memory = fRobot.memory();
  // Runs on the raiser's thread: only queue the event, never block there.
  int id = memory.addObserver([queue, patterns](const std::string& key, const ALValue& value) {
    bool wanted = false;
    for (const std::string& p : patterns) wanted = wanted || kt::remote::matches(p, key);
    if (!wanted) return;
    std::string line = kt::remote::encode(ALValue::array("event", key, value)) + "\n";
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (queue->overflow) return;
    if (queue->events.size() >= kMaxPendingEvents ||
        queue->bytes + line.size() > kMaxPendingBytes) {
      queue->overflow = true;
    } else {
      queue->bytes += line.size();
      queue->events.push_back(std::move(line));
    }
    queue->ready.notify_one();
  });

  bool alive = send(fd, kt::remote::encode(ALValue::array("ok", ALValue())) + "\n");
  while (alive) {
    std::deque<std::string> batch;
    bool overflow;
    {
      std::unique_lock<std::mutex> lock(queue->mutex);
      queue->ready.wait_for(lock, std::chrono::milliseconds(200),
                            [&] { return !queue->events.empty() || queue->overflow; });
      batch.swap(queue->events);
      queue->bytes = 0;
      overflow = queue->overflow;
    }
    for (size_t i = 0; alive && i < batch.size(); ++i) alive = send(fd, batch[i]);
    if (overflow) {
      qi::log::LogStream(qi::LogLevel_Warning, __FILE__, __FUNCTION__, __LINE__, "ktrobot")
          << "a watcher fell " << kMaxPendingEvents << " events or " << kMaxPendingBytes
          << " bytes behind; dropped";
      break;
    }
    // The client sends nothing more: readable means it closed or we stop.
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    if (alive && poll(&p, 1, 0) > 0) {
      char sink[256];
      if (::read(fd, sink, sizeof sink) <= 0) alive = false;
    }
  }
  memory.removeObserver(id);
}

}  // namespace host
}  // namespace kt
