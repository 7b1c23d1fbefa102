// Shortens every socket's connect and read time-outs while it lives, so that
// a test sees a time-out without waiting out the real one.
#ifndef KT_TEST_SHORTTIMEOUTS_H
#define KT_TEST_SHORTTIMEOUTS_H

#include "ktsocket.h"

namespace kt {
namespace test {

class ShortTimeOuts {
public:
  explicit ShortTimeOuts(int ms)
    : fConnect(KTSocket::connectTimeoutMs), fRead(KTSocket::readTimeoutMs), fMs(ms) {
    KTSocket::connectTimeoutMs = ms;
    KTSocket::readTimeoutMs = ms;
  }
  ~ShortTimeOuts() {
    KTSocket::connectTimeoutMs = fConnect;
    KTSocket::readTimeoutMs = fRead;
  }
  double seconds() const { return fMs / 1000.0; }

private:
  int fConnect, fRead, fMs;
};

}  // namespace test
}  // namespace kt

#endif
