// Serves the clients of one simulated robot on its Unix socket: one thread
// per connection, so that a long call never holds up another client.
#ifndef KTROBOT_SERVER_H
#define KTROBOT_SERVER_H

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ktplatform/simrobot.h>

namespace kt {
namespace host {

class Server {
public:
  Server(kt::sim::Robot& robot, const std::string& socketPath);
  ~Server();

  // Binds and listens; connections wait in the backlog until start().
  bool listen(std::string& error);
  void start();
  // Takes no new connection, ends idle ones and waits up to waitMs for the
  // calls under way. False when some are still running.
  bool stop(int waitMs);
  // The same in steps, for a caller that waits on more than the server:
  // beginStop() ends what is idle, done() is true once every connection has
  // ended, and onDone runs (under the server's lock) when the last one ends.
  void beginStop();
  bool done();
  void onDone(const std::function<void()>& notify);
  // What each call under way was asked, such as "KTLarkin.getTopicFiles".
  std::vector<std::string> callsUnderWay();

  const std::string& socketPath() const { return fPath; }
  int listeningSocket() const { return fListen; }

private:
  void acceptLoop();
  void serve(int fd);
  bool send(int fd, const std::string& text);
  bool stopping();
  void underWay(int fd, const std::string& call);
  void watch(int fd, const AL::ALValue& patterns);
  AL::ALValue handle(const AL::ALValue& request);
  AL::ALValue callText(const std::string& module, const std::string& method,
                       const AL::ALValue::ALValueArray& texts);
  AL::ALValue info(const std::string& module);
  void journal(bool clear, std::string& out);
  static std::string error(const std::string& text);

  kt::sim::Robot& fRobot;
  std::string fPath;
  int fListen;
  std::thread fAcceptor;
  std::mutex fMutex;
  std::condition_variable fIdle;
  // Each connection, with the call it runs ("" between calls).
  std::map<int, std::string> fConnections;
  std::function<void()> fOnDone;
  bool fStopping;
};

}  // namespace host
}  // namespace kt

#endif
