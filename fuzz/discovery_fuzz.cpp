// Discovery datagrams, one an input line, as the receive loop takes them,
// the i-th from 198.18.0.(i mod 8): the table never holds more than its
// rows, each name and each address once, every address a sender's or one a
// robot can have, and every row reads back from the list texts.
#include <arpa/inet.h>

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
  unsigned sender = 0;
  for (const std::string& datagram : kt::fuzz::pieces(data, size, '\n')) {
    // What a receive of at most 1999 bytes into a cleared buffer gives.
    std::memset(packet, 0, sizeof packet);
    std::memcpy(packet, datagram.data(), std::min(datagram.size(), sizeof packet - 1));
    // A few senders, so that their claims meet.
    struct in_addr from;
    from.s_addr = htonl(0xC6120000u + (++sender & 0x7));  // 198.18.0.x
    net.takeRobotInfo(packet, datagram.size(), from);
  }
  static char rows[KTTelpnet::kMaxRobots][KTTelpnet::kLineSize];
  int n = net.getNameList(rows);
  if (n < 0 || n > KTTelpnet::kMaxRobots) abort();
  std::set<std::string> names(&rows[0], &rows[0] + n);
  if (static_cast<int>(names.size()) != n) abort();
  if (net.getRobotList(rows) != n) abort();
  std::set<std::string> addresses;
  for (int i = 0; i < n; ++i) {
    const char* amp = std::strchr(rows[i], '&');
    if (amp == 0 || std::strchr(amp + 1, '&') != 0) abort();
    // A sender's own address, or another a robot can have, as the system
    // writes it.
    struct in_addr a;
    char canonical[INET_ADDRSTRLEN] = "";
    if (inet_pton(AF_INET, amp + 1, &a) != 1 || !inet_ntop(AF_INET, &a, canonical, sizeof canonical) ||
        std::strcmp(canonical, amp + 1) != 0)
      abort();
    unsigned first = ntohl(a.s_addr) >> 24;
    if (std::strncmp(amp + 1, "198.18.0.", 9) != 0 && (first == 0 || first == 127 || first >= 224))
      abort();
    addresses.insert(amp + 1);
  }
  if (static_cast<int>(addresses.size()) != n) abort();
  kt::fuzz::settle();
  return 0;
}
