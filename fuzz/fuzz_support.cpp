#include "fuzz_support.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <ktplatform/sleephook.h>
#include <qi/log.hpp>

#include "../tests/support/ownnet.h"

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
  std::string why;
  if (!kt::test::enterOwnNetwork(&why)) {
    // 77: skipped, for the replay test of a user who is not root.
    std::fprintf(stderr, "skipped: %s\n", why.c_str());
    _exit(77);
  }
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
