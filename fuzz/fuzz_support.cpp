#include "fuzz_support.h"

#include <ftw.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <ktplatform/sleephook.h>
#include <qi/log.hpp>

namespace kt {
namespace fuzz {

namespace {

std::string gRoot;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void removeRoot() {
  if (!gRoot.empty()) nftw(gRoot.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& root() {
  if (gRoot.empty()) {
    char tmpl[] = "/tmp/ktfuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    gRoot = tmpl;
    setenv("KT_ROBOT_ROOT", gRoot.c_str(), 1);
    atexit(removeRoot);
  }
  return gRoot;
}

kt::sim::Robot& robot() {
  static kt::sim::Robot* made = 0;
  if (!made) {
    root();
    qi::log::init(qi::LogLevel_Silent, 0, true);
    kt::setSleepHook([](unsigned int) {});
    made = new kt::sim::Robot("fuzz");
  }
  return *made;
}

void settle() { robot().world().clearJournal(); }

void ownNetwork() {
  static bool entered = false;
  if (entered) return;
  int s = -1;
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (unshare(CLONE_NEWNET) != 0 || (s = socket(AF_INET, SOCK_DGRAM, 0)) < 0 ||
      ioctl(s, SIOCGIFFLAGS, &ifr) != 0 || (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr)) != 0) {
    // 77: skipped, for the replay test of a user who is not root.
    std::perror("skipped: this target needs a network namespace of its own (run it as root)");
    _exit(77);
  }
  close(s);
  entered = true;
}

std::vector<std::string> pieces(const uint8_t* data, size_t size, char separator) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < size; ++i) {
    if (static_cast<char>(data[i]) == separator)
      out.push_back(std::string());
    else
      out.back() += static_cast<char>(data[i]);
  }
  return out;
}

}  // namespace fuzz
}  // namespace kt
