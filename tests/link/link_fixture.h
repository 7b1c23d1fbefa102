// A robot in this process, on a network of the test's own (loopback only),
// serving its socket so that the processes the robot link forks reach its
// services as they do on a robot.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ktplatform/remote.h>

#include "ownnet.h"
#include "kttelpnet.h"
#include "kttelepathyserver.h"
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

// Sends each datagram to the discovery port of address to, from the first
// of its fields that is an address of loopback's (127.0.0.0/8), as the robot
// it announces would; one without such a field from where the system says.
inline void sendDatagrams(const std::vector<std::string>& datagrams,
                          const std::string& to = "127.0.0.1") {
  for (const std::string& d : datagrams) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in from = {}, dest = {};
    from.sin_family = dest.sin_family = AF_INET;
    std::string field;
    for (std::istringstream fields(d); std::getline(fields, field, ':');)
      if (field.compare(0, 4, "127.") == 0 && inet_pton(AF_INET, field.c_str(), &from.sin_addr) == 1) {
        bind(s, reinterpret_cast<struct sockaddr*>(&from), sizeof from);
        break;
      }
    dest.sin_port = htons(KTTelpnet::kDiscoveryPort);
    inet_pton(AF_INET, to.c_str(), &dest.sin_addr);
    sendto(s, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr*>(&dest), sizeof dest);
    close(s);
  }
}

// Sets a time-out seam while it lives, then puts it back.
class Seam {
public:
  Seam(int& seam, int value) : fSeam(seam), fWas(seam) { seam = value; }
  ~Seam() { fSeam = fWas; }

private:
  int& fSeam;
  int fWas;
};

class LinkTest : public RobotTest {
protected:
  void SetUp() override {
    KT_NEED_OWN_NETWORK();
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
    bool listening = eventually([] { return portInUse("udp", KTTelpnet::kDiscoveryPort); }, kt::test::patience());
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
