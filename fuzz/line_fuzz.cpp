// Lines read from a socket: never past the buffer, and,
// for text without NUL bytes, the lines read back are the bytes sent.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "ktsocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // No more than a socket holds unread.
  size = size < 65536 ? size : 65536;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = write(sv[1], data + sent, size - sent);
    if (n <= 0) abort();
    sent += static_cast<size_t>(n);
  }
  close(sv[1]);
  KTSocket lines("fuzz");
  char buf[KTSocket::kLineSize + 16];
  std::memset(buf, 0x5a, sizeof buf);
  std::string back;
  for (;;) {
    lines.read_line(sv[0], buf);
    if (std::memchr(buf, '\0', KTSocket::kLineSize) == 0 || buf[KTSocket::kLineSize] != 0x5a) abort();
    if (buf[0] == '\0') break;
    back += buf;
  }
  close(sv[0]);
  const char* text = reinterpret_cast<const char*>(data);
  if (std::memchr(text, '\0', size) == 0 && back != std::string(text, size)) abort();
  return 0;
}
