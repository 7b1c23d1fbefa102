#include <qi/os.hpp>

#include <ktplatform/sleephook.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {
std::atomic<kt::SleepHook*> gHook(nullptr);
// Replaced hooks are kept, reachable, for good: a pause may still run one.
std::mutex gHookMutex;
std::vector<kt::SleepHook*>* gRetiredHooks = new std::vector<kt::SleepHook*>();

// KT_SLEEP_SCALE, a factor in (0, 1] read once at load, shortens every pause
// of a simulated robot for tests that would otherwise wait real seconds.
double readScale() {
  const char* text = std::getenv("KT_SLEEP_SCALE");
  double scale = text ? std::strtod(text, 0) : 1.0;
  return scale > 0 && scale <= 1.0 ? scale : 1.0;
}
const double gScale = readScale();

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
  std::lock_guard<std::mutex> lock(gHookMutex);
  kt::SleepHook* old = gHook.exchange(hook ? new SleepHook(hook) : nullptr);
  if (old) gRetiredHooks->push_back(old);
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
  realSleep(static_cast<unsigned int>(seconds * 1000 * gScale));
}

void msleep(unsigned int milliseconds) { realSleep(milliseconds); }

}  // namespace os
}  // namespace qi
