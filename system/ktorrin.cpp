#include "ktorrin.h"

#include <fstream>
#include <vector>

#include <qi/log.hpp>

#include "ktpath.h"

static const char* const kTailLog = "/var/volatile/var/log/naoqi/tail-naoqi.log";

KTOrrin::KTOrrin(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
  : AL::ALModule(broker, name) {
  setModuleDescription("ktorrinは、rukoのシステムコントロールのためのモジュールです。");

  functionName("getRobotLog", getName(), "ロボットのログを取得する", 0);
  BIND_METHOD(KTOrrin::getRobotLog);

  // Bound through the virtual, so a remote call runs this override.
  functionName("init", getName(), "初期化、最初に必ず実行しなければならない", 0);
  BIND_METHOD(KTOrrin::init);

  lineLoc = 0;
  transLineNo = 40;
}

KTOrrin::~KTOrrin() {}

void KTOrrin::init() {
  {
    std::lock_guard<std::mutex> lock(readMutex);
    lineLoc = 0;
    transLineNo = 40;
  }
  qi::log::LogStream(qi::LogLevel_Info, __FILE__, __FUNCTION__, __LINE__, "ktorrin")
      << "システムモジュールを初期化しました";
}

std::string KTOrrin::getRobotLog() {
  std::vector<std::string> lines;
  std::ifstream in(ktRobotPath(kTailLog).c_str());
  std::string line;
  while (in && std::getline(in, line)) lines.push_back(line);
  int count = static_cast<int>(lines.size());

  std::lock_guard<std::mutex> lock(readMutex);
  // Lines older than the newest transLineNo are skipped.
  if (lineLoc < count - transLineNo) lineLoc = count - transLineNo;
  std::string sendStr;
  while (lineLoc < count) {
    sendStr += lines[lineLoc];
    sendStr += '\n';
    ++lineLoc;
  }
  return sendStr;
}
