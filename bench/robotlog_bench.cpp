// KTOrrin.getRobotLog on a 10 MB and a 100 MB tail file of 100-byte lines,
// against the whole process of `wc -l` on the same file; then what a robot
// process holds after one call on the 100 MB file.
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <alcommon/alproxy.h>
#include <ktplatform/robotroot.h>
#include <ktplatform/simrobot.h>
#include <qi/log.hpp>

#include "bench.h"
#include "ktorrin.h"

using namespace kt::bench;

namespace {

const int kRounds = 15;

void writeLog(const std::string& path, size_t lines) {
  std::string line(99, 'l');
  line += '\n';
  std::string block;
  for (int i = 0; i < 1000; ++i) block += line;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t i = 0; i < lines / 1000; ++i) out << block;
}

}  // namespace

int main() {
  qi::log::init(qi::LogLevel_Warning);
  std::string root = tempFolder();
  setenv("KT_ROBOT_ROOT", root.c_str(), 1);
  std::string tail = kt::tailLogPath();
  kt::makeFolders(tail.substr(0, tail.rfind('/')));

  kt::sim::Robot robot;
  AL::ALModule::createModule<KTOrrin>(robot.broker(), "KTOrrin");
  AL::ALProxy orrin(robot.broker(), "KTOrrin", 0, 0);

  for (size_t megabytes : {10, 100}) {
    writeLog(tail, megabytes * 10000);
    std::vector<std::string> wc = {"wc", "-l", tail};
    timeProcess(wc);
    orrin.call<std::string>("getRobotLog");
    std::vector<double> mine, limit;
    for (int i = 0; i < kRounds; ++i) {
      limit.push_back(timeProcess(wc));
      double begin = now();
      orrin.call<std::string>("getRobotLog");
      mine.push_back(now() - begin);
    }
    double m = median(mine) * 1000, l = median(limit) * 1000;
    row(megabytes == 10 ? "robotlog_10mb" : "robotlog_100mb", m, l, m / l, "ms");
  }
  robot.shutdown();
  removeTree(root);

  // The robot process: resident memory before and after one call.
  RobotProcess process({"libktorrin.so"});
  std::string processTail = process.root() + "/var/volatile/var/log/naoqi/tail-naoqi.log";
  writeLog(processTail, 1000000);
  kt::remote::Connection link;
  if (!link.open(process.socket(), nullptr)) fail("cannot reach the robot");
  double before = residentMiB(process.pid());
  link.request(AL::ALValue::array("call", "KTOrrin", "getRobotLog", AL::ALValue::array()));
  double after = residentMiB(process.pid());
  row("robotlog_rss", after, before, after / before, "MiB");
  return 0;
}
