#include <ktplatform/processid.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<pid_t> gPid(0);

void renew() { gPid.store(getpid(), std::memory_order_relaxed); }

// Registered as the library loads, before any thread of the process can
// fork. The handler only asks the kernel: it takes no lock.
struct ForkHandler {
  ForkHandler() {
    pthread_atfork(0, 0, renew);
    renew();
  }
} gForkHandler;

}  // namespace

namespace kt {

pid_t processId() {
  pid_t pid = gPid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  // Asked by another library's start-up code before this one's ran.
  renew();
  return gPid.load(std::memory_order_relaxed);
}

}  // namespace kt
