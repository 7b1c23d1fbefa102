// A simulated wireless network of robots for one test: one network
// namespace per robot with wlan0 on a shared bridge, made and removed by the
// simnet script beside this file (which the demo uses too). It is removed
// when the object goes, and also when the test process dies first.
#ifndef KT_TEST_SIMNET_H
#define KT_TEST_SIMNET_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kt {
namespace test {

class SimNet {
public:
  SimNet();
  ~SimNet();
  SimNet(const SimNet&) = delete;
  SimNet& operator=(const SimNet&) = delete;

  // Lays out the robots, each "NAME" or "NAME=ADDRESS" (198.18.0.0/15);
  // false with the reason when it cannot (not root, no ip command, ...).
  bool up(const std::vector<std::string>& robots, std::string* why);
  // Ends every process left on the network and removes it.
  void down();

  // The network's name, as simnet knows it.
  const std::string& name() const { return fName; }
  std::string address(const std::string& robot) const;
  // A command line prefix that runs a program on the robot's network.
  std::vector<std::string> launcher(const std::string& robot) const;
  // Moves the calling thread, and the processes it forks from then on, onto
  // the robot's network; leave() brings it back.
  bool enter(const std::string& robot);
  void leave();
  // Processes running in the network's namespaces.
  std::vector<pid_t> pids() const;

  // Whether this process may make network namespaces; else why not.
  static bool possible(std::string* why);
  // The script that lays the network out.
  static std::string script();

private:
  std::string fName;
  std::map<std::string, std::string> fAddresses;
  int fHome;
  bool fUp;
};

}  // namespace test
}  // namespace kt

// Lays out the network; skips the test, saying why, where namespaces
// cannot be made, and fails it when they can but the layout fails.
#define KT_NEED_SIMNET(net, ...)                            \
  do {                                                      \
    std::string ktSimNetWhy;                                \
    if (!kt::test::SimNet::possible(&ktSimNetWhy)) {        \
      GTEST_SKIP() << ktSimNetWhy;                          \
    }                                                       \
    ASSERT_TRUE((net).up({__VA_ARGS__}, &ktSimNetWhy))      \
        << ktSimNetWhy;                                     \
  } while (0)

#endif
