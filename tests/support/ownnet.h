// Puts the calling thread in a network namespace of its own, with only the
// loopback interface, up. Processes it forks afterwards share it. Fixed
// ports can then be bound without meeting another test, and nothing sent
// there leaves the machine (a name lookup finds no name server).
#ifndef KT_TEST_OWNNET_H
#define KT_TEST_OWNNET_H

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kt {
namespace test {

// What every test says that skips for want of network namespaces, worded
// once so that a run's summary gives it as one reason.
inline const char* noNamespaceReason() {
  return "needs network namespaces: root, or scripts/test where the kernel allows "
         "user namespaces";
}

// False, with the reason, when the namespace cannot be made.
inline bool enterOwnNetwork(std::string* why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = errno == EPERM ? std::string(noNamespaceReason())
                          : std::string("cannot make a network namespace: ") + std::strerror(errno);
    return false;
  }
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof(ifr));
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
            (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
  if (s >= 0) close(s);
  if (!up) *why = std::string("cannot bring loopback up: ") + std::strerror(errno);
  return up;
}

}  // namespace test
}  // namespace kt

// Skips the test, saying why, unless it runs in a network namespace of its own.
#define KT_NEED_OWN_NETWORK()                       \
  do {                                              \
    std::string ktOwnNetWhy;                        \
    if (!kt::test::enterOwnNetwork(&ktOwnNetWhy)) { \
      GTEST_SKIP() << ktOwnNetWhy;                  \
    }                                               \
  } while (0)

#endif
