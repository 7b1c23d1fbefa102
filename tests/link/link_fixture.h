// A robot in this process, on a network of the test's own (loopback only),
// serving its socket so that the processes the robot link forks reach its
// services as they do on a robot. Searches are bounded to half a second.
#ifndef KT_LINK_FIXTURE_H
#define KT_LINK_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <ktplatform/remote.h>

#include "ownnet.h"
#include "kttelpnet.h"
#include "ktsocket.h"
#include "ktest.h"
#include "server.h"

namespace kt {
namespace test {

// Whether a socket of the network namespace of process pid (0: this
// thread's) uses the port: "udp" for a bound datagram socket, "tcp" for a
// listening one.
inline bool portInUse(const std::string& table, int port, pid_t pid = 0) {
  std::string path = pid ? "/proc/" + std::to_string(pid) + "/net/" : "/proc/thread-self/net/";
  std::ifstream in((path + table).c_str());
  char local[32];
  std::snprintf(local, sizeof local, ":%04X", port);
  std::string sl, address, remote, state;
  std::getline(in, sl);
  while (in >> sl >> address >> remote >> state) {
    if (address.size() > 5 && address.compare(address.size() - 5, 5, local) == 0 &&
        (table != "tcp" || state == "0A"))
      return true;
    std::getline(in, sl);
  }
  return false;
}

// Sends each datagram to the discovery port on loopback.
inline void sendDatagrams(const std::vector<std::string>& datagrams) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(KTTelpnet::kDiscoveryPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (const std::string& d : datagrams)
    sendto(s, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
  close(s);
}

class LinkTest : public RobotTest {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
    KTTelpnet::searchLimitMs = 500;
    fServer.reset(new kt::host::Server(robot, root.path() + "/robot.sock"));
    std::string error;
    ASSERT_TRUE(fServer->listen(error)) << error;
    fServer->start();
    kt::remote::installForwarder(broker, fServer->socketPath());
  }

  void TearDown() override {
    if (fServer) fServer->stop(5000);
  }

  // Runs search on a thread; once it listens, sends it the datagrams in
  // order, then waits for it to end.
  void searchWith(const std::function<void()>& search, const std::vector<std::string>& datagrams) {
    std::thread t(search);
    bool listening = eventually([] { return portInUse("udp", KTTelpnet::kDiscoveryPort); }, 10);
    if (listening) sendDatagrams(datagrams);
    t.join();
    EXPECT_TRUE(listening) << "the search never bound the discovery port";
  }

  // Lines of the platform log file: forked processes log there too.
  std::string tailLog() const { return root.read("/var/volatile/var/log/naoqi/tail-naoqi.log"); }

  std::unique_ptr<kt::host::Server> fServer;
};

}  // namespace test
}  // namespace kt

#endif
