// Starts the content server peer (ktcontentserver) on 127.0.0.1:5591 for a
// test, serving files from a temporary folder. Call it only inside a network
// namespace of the test's own (ownnet.h).
#ifndef KT_TEST_CONTENTPEER_H
#define KT_TEST_CONTENTPEER_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ktest.h"

namespace kt {
namespace test {

class ContentPeer {
public:
  static constexpr const char* kUser = "nao@example.com";
  static constexpr const char* kSession = "0123456789abcdef0123456789ABCDEF";

  ContentPeer() {
    char tmpl[] = "/tmp/ktpeer-XXXXXX";
    const char* made = mkdtemp(tmpl);
    fFolder = made ? made : "";
    setenv("KT_CONTENT_SERVER", "127.0.0.1", 1);
  }

  ~ContentPeer() {
    stop();
    if (!fFolder.empty()) removeTree(fFolder);
  }

  const std::string& folder() const { return fFolder; }

  // A file to serve: "ruko.conf" answers getrukoconf, any other name getTopic.
  void put(const std::string& name, const std::string& content) const {
    std::ofstream out(fFolder + "/" + name, std::ios::binary | std::ios::trunc);
    out << content;
  }

  // Starts the server with extra options (--mode, --fault, --login-reply...)
  // and waits until it listens. False when it did not come up in time.
  bool start(const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {KT_BIN_DIR "/ktcontentserver", "--folder", fFolder,
                                     "--user",  kUser,  "--session", kSession,
                                     "--log",   fFolder + "/requests.log"};
    args.insert(args.end(), options.begin(), options.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    pid_t parent = getpid();
    fPid = fork();
    if (fPid == 0) {
      // A test that dies without stopping its server takes the server along.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      dup2(out[1], 1);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string said;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(patience());
    while (said.find("ready\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char buf[64];
      ssize_t n = read(out[0], buf, sizeof(buf));
      if (n <= 0) break;
      said.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    return said.find("ready\n") != std::string::npos;
  }

  void stop() {
    if (fPid <= 0) return;
    kill(fPid, SIGTERM);
    waitpid(fPid, nullptr, 0);
    fPid = -1;
  }

  // Every line the server received, as "N LINE" with CR and LF shown as \r \n.
  std::vector<std::string> received() const {
    std::vector<std::string> lines;
    std::ifstream in(fFolder + "/requests.log");
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  // The command lines received, in order, without their connection number.
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    for (const std::string& l : received()) {
      std::string text = l.substr(l.find(' ') + 1);
      if (text.compare(0, 6, "login:") != 0) out.push_back(text);
    }
    return out;
  }

private:
  std::string fFolder;
  pid_t fPid = -1;
};

}  // namespace test
}  // namespace kt

#endif
