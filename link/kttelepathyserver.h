// KTTelepathyServer: the telepathy server process's accept loop on the
// telepathy port, and the connection process it forks for each connection,
// which hands its one signal line to the network object.
#ifndef KTTELEPATHYSERVER_H
#define KTTELEPATHYSERVER_H

#include "kttelpnet.h"

class KTTelepathyServer {
public:
  // Connection processes: a robot holds one connection to each robot, plus
  // the one it may be making; all robots of a full table fit a few times
  // over. The backlog takes a burst of them.
  static const int kMaxConnectionsPerPeer = 4;
  static const int kMaxConnections = 3 * KTTelpnet::kMaxRobots;
  static const int kListenBacklog = 256;
  // How long the server waits for its port while the server of the
  // robot's previous run goes away, in milliseconds; tests shorten it.
  static int bindPatienceMs;
  // What the server says of connections it closed (too many of one peer,
  // or all of them) is said at most once in this many milliseconds, with
  // a count; tests set it.
  static int tallyIntervalMs;

  explicit KTTelepathyServer(KTTelpnet& net);

  // Serves the port until stop is set or the robot is gone: true then;
  // false, with a warning, when the port cannot be served at all. stop is
  // cleared once the port is served.
  bool run(bool& stop);

private:
  void serveConnection(int socket, const char* ip);

  KTTelpnet& net;
};

#endif
