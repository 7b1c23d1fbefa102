// The process id the platform keeps instead of asking the kernel each time.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <ktplatform/processid.h>

namespace {

// Forks depth generations below the caller; each checks its own id. The
// exit status is the number of generations that found a wrong one.
int forkAndCheck(int depth) {
  pid_t child = fork();
  if (child == 0) {
    int wrong = kt::processId() == getpid() ? 0 : 1;
    _exit(wrong + (depth > 1 ? forkAndCheck(depth - 1) : 0));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(ProcessIdTest, RightInChildrenAndGrandchildrenForkedFromAnyThread) {
  EXPECT_EQ(getpid(), kt::processId());
  EXPECT_EQ(0, forkAndCheck(3));
  int fromThread = -1;
  std::thread([&] { fromThread = forkAndCheck(2); }).join();
  EXPECT_EQ(0, fromThread);
  EXPECT_EQ(getpid(), kt::processId());
}

}  // namespace
