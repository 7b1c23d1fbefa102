#include <qi/os.hpp>

#include <ktplatform/sleephook.h>

#include <time.h>

#include <atomic>
#include <cerrno>

namespace {
std::atomic<kt::SleepHook*> gHook(nullptr);

void realSleep(unsigned int milliseconds) {
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}
}  // namespace

namespace kt {
void setSleepHook(const SleepHook& hook) {
  // Old hooks are leaked on purpose: a pause may still be running one.
  gHook.store(hook ? new SleepHook(hook) : nullptr);
}
}  // namespace kt

namespace qi {
namespace os {

void sleep(unsigned int seconds) {
  kt::SleepHook* hook = gHook.load();
  if (hook) {
    (*hook)(seconds);
    return;
  }
  realSleep(seconds * 1000);
}

void msleep(unsigned int milliseconds) { realSleep(milliseconds); }

}  // namespace os
}  // namespace qi
