// The telepathy server's signal line, as a connection process reads it: the
// reply is the greeting's protocol line or nothing, and always fits.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <alproxies/almemoryproxy.h>

#include "fuzz_support.h"
#include "kttelpnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static boost::shared_ptr<AL::ALBroker> broker = kt::fuzz::robot().broker();
  static KTTelpnet* net =
      new KTTelpnet(broker, broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory"));
  size = size < 65536 ? size : 65536;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size)) abort();
  shutdown(sv[1], SHUT_WR);
  net->getTelepathy(sv[0], "198.18.0.9");
  close(sv[0]);
  std::string reply;
  char chunk[1024];
  ssize_t n;
  while ((n = read(sv[1], chunk, sizeof chunk)) > 0) reply.append(chunk, static_cast<size_t>(n));
  close(sv[1]);
  const std::string prefix = "100: Received your command with value = ";
  if (!reply.empty() && (reply.compare(0, prefix.size(), prefix) != 0 || reply.size() > 511 ||
                         reply.compare(reply.size() - 2, 2, "\r\n") != 0))
    abort();
  kt::fuzz::settle();
  return 0;
}
