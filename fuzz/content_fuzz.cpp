// The content server's replies to KTLarkin. The input holds what the server
// sends on each connection, in order, cut at each byte 0x01; the server
// then closes. The result is always SUCCESS or a FAIL: code.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ktplatform/robotroot.h>

#include "fuzz_support.h"
#include "ktinet.h"
#include "ktlarkin.h"
#include "ktsocket.h"

namespace {

std::mutex gMutex;
std::vector<std::string> gReplies;
size_t gNext = 0;

void serve(int listener) {
  for (;;) {
    int c = accept(listener, 0, 0);
    if (c < 0) continue;
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(gMutex);
      if (gNext < gReplies.size()) reply = gReplies[gNext++];
    }
    size_t sent = 0;
    while (sent < reply.size()) {
      ssize_t n = send(c, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(c, SHUT_WR);
    // Take what the robot says until it closes, so that it reads all.
    char chunk[4096];
    struct pollfd p = {c, POLLIN, 0};
    while (poll(&p, 1, 200) == 1 && read(c, chunk, sizeof chunk) > 0) {
    }
    close(c);
  }
}

int startServer() {
  kt::fuzz::ownNetwork();
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(KTInet::kContentPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 16) != 0)
    abort();
  std::thread(serve, s).detach();
  setenv("KT_CONTENT_SERVER", "127.0.0.1", 1);
  KTSocket::readTimeoutMs = 50;
  if (!kt::makeFolders(kt::fuzz::root() + "/home/nao")) abort();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int server = startServer();
  static KTLarkin* larkin = new KTLarkin(kt::fuzz::robot().broker(), "KTLarkin");
  (void)server;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gReplies = kt::fuzz::pieces(data, size, '\x01');
    gNext = 0;
  }
  std::string result = larkin->getTopicFiles("nao@example.com", "0123456789abcdef0123456789abcdef");
  if (result != "SUCCESS" && result.compare(0, 5, "FAIL:") != 0) abort();
  return 0;
}
