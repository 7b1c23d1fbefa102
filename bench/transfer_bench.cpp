// Topic transfer: KTLarkin.getTopicFiles fetching a configuration and 10
// topics of 999,999 bytes from the content server peer, against raw
// loopback TCP fetching the same files and writing them. Runs in a network
// namespace of its own, where the content server's fixed port is free.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <ktplatform/robotroot.h>
#include <ktplatform/simrobot.h>
#include <qi/log.hpp>

#include "../tests/support/ownnet.h"
#include "bench.h"
#include "ktlarkin.h"

using namespace kt::bench;

namespace {

const int kTopics = 10;
const int kTopicBytes = 999999;
const int kRounds = 7;
const int kRawPort = 5592;
const char* const kUser = "nao@example.com";
const char* const kSession = "0123456789abcdef0123456789abcdef";

std::string topicName(int i) { return "bench" + std::to_string(i) + ".top"; }

void put(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The limit: per file, a connection that names it and receives it whole,
// from a server that holds every file in memory.
pid_t startRawServer(const std::string& folder, const std::vector<std::string>& names) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRawPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 16) != 0)
    fail("raw server: bind");
  pid_t pid = fork();
  if (pid == 0) {
    dieWithParent();
    std::map<std::string, std::string> files;
    for (const std::string& n : names) files[n] = readAll(folder + "/" + n);
    for (;;) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      char name[256];
      ssize_t n = read(fd, name, sizeof name - 1);
      if (n > 1) {
        const std::string& file = files[std::string(name, static_cast<size_t>(n - 1))];
        size_t done = 0;
        ssize_t w;
        while (done < file.size() && (w = write(fd, file.data() + done, file.size() - done)) > 0)
          done += static_cast<size_t>(w);
      }
      close(fd);
    }
  }
  close(listener);
  return pid;
}

void rawFetch(const std::string& name, const std::string& into, std::vector<char>& buf) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRawPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("raw: connect");
  std::string line = name + "\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) fail("raw: write");
  size_t have = 0;
  ssize_t n;
  while ((n = read(fd, buf.data() + have, buf.size() - have)) > 0) have += static_cast<size_t>(n);
  close(fd);
  int out = open(into.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || write(out, buf.data(), have) != static_cast<ssize_t>(have)) fail("raw: file");
  close(out);
}

}  // namespace

int main() {
  std::string why;
  if (!kt::test::enterOwnNetwork(&why)) fail(why);
  qi::log::init(qi::LogLevel_Warning);
  setenv("KT_CONTENT_SERVER", "127.0.0.1", 1);
  std::string folder = tempFolder(), root = tempFolder();
  setenv("KT_ROBOT_ROOT", root.c_str(), 1);
  kt::makeFolders(root + "/home/nao");
  std::string conf =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n  <uploadTopics>\n";
  for (int i = 0; i < kTopics; ++i) {
    conf += "    <topic>" + topicName(i) + "</topic>\n";
    std::string body(kTopicBytes, 't');
    for (int j = 99; j < kTopicBytes; j += 100) body[j] = '\n';
    put(folder + "/" + topicName(i), body);
  }
  put(folder + "/ruko.conf", conf + "  </uploadTopics>\n</config>\n");

  std::string out = folder + "/server.out";
  pid_t server = spawn({KT_BIN_DIR "/ktcontentserver", "--folder", folder, "--user", kUser,
                        "--session", kSession},
                       out);
  double deadline = now() + 10;
  while (readAll(out).find("ready") == std::string::npos) {
    if (now() > deadline) fail("the content server did not start");
    usleep(10000);
  }
  std::vector<std::string> names = {"ruko.conf"};
  for (int i = 0; i < kTopics; ++i) names.push_back(topicName(i));
  pid_t raw = startRawServer(folder, names);

  kt::sim::Robot robot;
  boost::shared_ptr<KTLarkin> larkin = AL::ALModule::createModule<KTLarkin>(robot.broker(), "KTLarkin");
  std::vector<char> buf(kTopicBytes + 1);
  std::string rawFolder = root + "/raw";
  mkdir(rawFolder.c_str(), 0755);
  std::vector<double> mine, limit;
  for (int r = 0; r < kRounds + 1; ++r) {
    double begin = now();
    for (const std::string& n : names) rawFetch(n, rawFolder + "/" + n, buf);
    double rawTook = now() - begin;
    begin = now();
    std::string result = larkin->getTopicFiles(kUser, kSession);
    double took = now() - begin;
    if (result != "SUCCESS") fail("getTopicFiles: " + result);
    if (r == 0) continue;  // the first round warms the caches
    limit.push_back(rawTook);
    mine.push_back(took);
  }
  if (readAll(root + "/home/nao/ruko/dialog/topics/" + topicName(kTopics - 1)) !=
      readAll(folder + "/" + topicName(kTopics - 1)))
    fail("a topic arrived changed");
  double m = median(mine) * 1000, l = median(limit) * 1000;
  row("transfer", m, l, l / m, "ms");
  note("transfer ratio: the limit's time over ours, the share of its throughput");
  robot.shutdown();
  kill(server, SIGTERM);
  kill(raw, SIGKILL);
  waitpid(server, nullptr, 0);
  waitpid(raw, nullptr, 0);
  removeTree(folder);
  removeTree(root);
  return 0;
}
