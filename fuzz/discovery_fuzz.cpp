// Discovery datagrams, one an input line, as the receive loop takes them:
// the table never holds more than its rows, each name once, and every row
// fits the list texts.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <alproxies/almemoryproxy.h>

#include "fuzz_support.h"
#include "kttelpnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  boost::shared_ptr<AL::ALBroker> broker = kt::fuzz::robot().broker();
  KTTelpnet net(broker, broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory"));
  char packet[KTTelpnet::kPacketSize];
  for (const std::string& datagram : kt::fuzz::pieces(data, size, '\n')) {
    // What a receive of at most 1999 bytes into a cleared buffer gives.
    std::memset(packet, 0, sizeof packet);
    std::memcpy(packet, datagram.data(), std::min(datagram.size(), sizeof packet - 1));
    net.takeRobotInfo(packet);
  }
  static char rows[KTTelpnet::kMaxRobots][KTTelpnet::kLineSize];
  int n = net.getNameList(rows);
  if (n < 0 || n > KTTelpnet::kMaxRobots) abort();
  std::set<std::string> names(&rows[0], &rows[0] + n);
  if (static_cast<int>(names.size()) != n) abort();
  if (net.getRobotList(rows) != n) abort();
  for (int i = 0; i < n; ++i)
    if (std::strchr(rows[i], '&') == 0) abort();
  kt::fuzz::settle();
  return 0;
}
