// Reaching a running robot process over its Unix socket: the client side,
// used by ktcli and by the forwarder of forked processes.
//
// Wire form: every message is one line, a JSON array ended by a line feed
// (texts escape their line feeds, so a message never spans lines).
// Floats are written with a fraction ("1.0"), so that a float stays a float.
//
//   request                                   reply
//   ["call", module, method, [args]]          ["ok", result] or ["error", text]
//   ["calltext", module, method, [texts]]     same; each text is read as JSON
//                                             unless the parameter takes text
//   ["modules"]                               ["ok", [names]]
//   ["info", module]                          ["ok", [name, description,
//                                               [[method, description,
//                                                 [[param, description]...]]...]]]
//   ["journal", clear]                        ["ok", [lines]]
//   ["fault", "Service.method", mode]         ["ok", null]; mode throw|false|clear
//   ["watch", [patterns]]                     ["ok", null], then one
//                                             ["event", key, value] per event
#ifndef KTPLATFORM_REMOTE_H
#define KTPLATFORM_REMOTE_H

#include <stdexcept>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alvalue/alvalue.h>

namespace kt {
namespace remote {

// Longest message a client accepts (a journal can be long).
const size_t kMaxLine = 64u << 20;
// Longest request the robot accepts: a call with its arguments. A parsed
// value takes many times the bytes of its text, so a request may not be huge.
const size_t kMaxRequest = 1u << 20;

// The robot's socket when none is named: under KT_ROBOT_ROOT, so that a
// robot started with a root and a client given the same root meet.
std::string defaultSocketPath();

// One message as a line of JSON; texts made valid UTF-8 unless asUtf8 is
// false (see kt::appendJsonText).
std::string encode(const AL::ALValue& value, bool asUtf8 = true);
// The same text, appended to out.
void encodeInto(const AL::ALValue& value, std::string& out, bool asUtf8 = true);
bool decode(const std::string& line, AL::ALValue& out);

// Whether key matches pattern: equal, or pattern ends in "*" and key
// begins with the rest.
bool matches(const std::string& pattern, const std::string& key);

// The connection failed or the robot went away.
class RobotGone : public std::runtime_error {
public:
  explicit RobotGone(const std::string& what) : std::runtime_error(what) {}
};

// Reads lines of at most maxLine bytes from a descriptor.
class LineReader {
public:
  explicit LineReader(int fd, size_t maxLine = kMaxLine)
    : fFd(fd), fMaxLine(maxLine), fTooLong(false) {}
  // 1: a line; 0: end of stream, error or a line too long; -1: time-out
  // (timeoutMs >= 0).
  int readLine(std::string& line, int timeoutMs = -1);
  // Whether reading stopped at a line longer than maxLine.
  bool tooLong() const { return fTooLong; }

private:
  int fFd;
  size_t fMaxLine;
  bool fTooLong;
  std::string fBuffer;
};

// Writes all of text, without SIGPIPE; false when the peer is gone.
bool writeAll(int fd, const std::string& text);

class Connection {
public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // False, with the reason, when no robot listens there.
  bool open(const std::string& socketPath, std::string* error);
  void close();
  bool isOpen() const { return fFd >= 0; }
  int fd() const { return fFd; }

  // Sends a request and returns the value of its "ok" reply. Throws
  // AL::ALError with the robot's text for an "error" reply, RobotGone when
  // the connection fails.
  AL::ALValue request(const AL::ALValue& message);

  void send(const AL::ALValue& message);
  // 1: a message; 0: connection closed; -1: time-out.
  int receive(AL::ALValue& message, int timeoutMs = -1);

private:
  int fFd;
  LineReader* fReader;
};

// Makes every proxy call of a process forked from the robot go to the robot
// over the socket. Each forwarded call opens a connection of its own, so a
// child never shares a connection or a lock with its parent.
void installForwarder(boost::shared_ptr<AL::ALBroker> broker, const std::string& socketPath);

}  // namespace remote
}  // namespace kt

#endif
