#include "ktsys.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

const char* ktReason(int err) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  // strerror may translate, which takes the locale's lock.
  const char* known = strerrordesc_np(err);
  if (known) return known;
#endif
  static thread_local char text[24];
  char digits[12];
  unsigned int n = err < 0 ? 0u - static_cast<unsigned int>(err) : static_cast<unsigned int>(err);
  int d = 0;
  do digits[d++] = static_cast<char>('0' + n % 10); while ((n /= 10) != 0);
  int i = 0;
  for (const char* c = "error "; *c; ++c) text[i++] = *c;
  if (err < 0) text[i++] = '-';
  while (d > 0) text[i++] = digits[--d];
  text[i] = '\0';
  return text;
}

long long ktMonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ktPollUntil(int fd, short events, long long deadlineMs, short* revents) {
  for (;;) {
    int wait = -1;
    if (deadlineMs >= 0) {
      long long left = deadlineMs - ktMonotonicMs();
      wait = left <= 0 ? 0 : (left > 86400000 ? 86400000 : static_cast<int>(left));
    }
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    int rc = poll(&p, 1, wait);
    if (rc < 0 && errno == EINTR) continue;
    // A long wait was cut to a day: go on until the deadline itself.
    if (rc == 0 && deadlineMs >= 0 && ktMonotonicMs() < deadlineMs) continue;
    if (revents) *revents = p.revents;
    return rc;
  }
}

void ktCloseInherited() {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
#endif
  // Without close_range (older kernels, the robot's among them) each
  // descriptor is closed in turn, up to the limit, but never beyond
  // kMostDescriptors: some systems allow a billion, and the robot opens
  // nowhere near as many.
  const rlim_t kMostDescriptors = 65536;
  struct rlimit limit;
  rlim_t last = kMostDescriptors;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kMostDescriptors)
    last = limit.rlim_cur;
  for (rlim_t fd = 3; fd < last; ++fd) close(static_cast<int>(fd));
}

void ktUnblockSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, 0);
}
