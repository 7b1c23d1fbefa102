#include "ktvesper.h"

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "ktrobot.h"
#include "ktsys.h"
#include "kttelpnet.h"
#include "vesperlog.h"

namespace {

typedef char NameRows[KTTelpnet::kMaxRobots][KTTelpnet::kLineSize];

// A search uses process-wide state (the discovery port, the receive loop):
// one at a time in the whole process.
std::atomic<bool> searching(false);

struct SearchSlot {
  ~SearchSlot() { searching = false; }
};

// Waits for a process this module forked, also when the search fails.
struct Reaper {
  explicit Reaper(pid_t pid) : pid(pid) {}
  ~Reaper() {
    if (pid <= 0) return;
    while (waitpid(pid, 0, 0) < 0 && errno == EINTR) {
    }
  }
  pid_t pid;
};

std::string eventFor(const char* robotName) { return std::string("telepathy_to_") + robotName; }

std::string join(NameRows rows, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += ":";
    out += rows[i];
  }
  return out;
}

}  // namespace

KTVesper::KTVesper(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
  : AL::ALModule(broker, name), tts(0), port(0), net(0), server_id(-1), recogRobotNumber(0) {
  setModuleDescription("ktvesperは、ロボット同士がネットワークを介して意思疎通するためのモジュールです。");

  functionName("initTelepathy", getName(), "テレパシー機能の初期化", 0);
  BIND_METHOD(KTVesper::initTelepathy);
  functionName("getRobotNumber", getName(), "認識しているすべてのロボット数を返す", 0);
  BIND_METHOD(KTVesper::getRobotNumber);
  functionName("setRobotNumber", getName(), "認識すべきロボット数を与える", 0);
  BIND_METHOD(KTVesper::setRobotNumber);
  functionName("disconnectAllRobots", getName(), "すべての接続ロボットを開放する", 0);
  BIND_METHOD(KTVesper::disconnectAllRobots);
  functionName("telepathyToRobot", getName(), "イベントをロボットに送る", 0);
  BIND_METHOD(KTVesper::telepathyToRobot);
  functionName("searchRobots", getName(), "他のロボットの探索を開始します", 0);
  BIND_METHOD(KTVesper::searchRobots);
  functionName("getNameList", getName(), "認識している他のロボット名のリストを外部に送り出す", 0);
  BIND_METHOD(KTVesper::getNameList);
  functionName("getRobotList", getName(), "認識している他のロボット情報のリストを外部に送り出す", 0);
  BIND_METHOD(KTVesper::getRobotList);
  functionName("testSignalSpeech", getName(), "テレパシーのテストシグナルを受け取って処理する", 0);
  BIND_METHOD(KTVesper::testSignalSpeech);

  fMemory = broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");
  tts = new AL::ALProxy(broker, "ALTextToSpeech", 0, 0);
  recogRobotNumber = 2;
  port = KTTelpnet::kTelepathyPort;
  try {
    fMemory->subscribeToEvent("testSignalReceived", getName(), "testSignalSpeech");
    fMemory->subscribeToEvent("FrontTactilTouched", getName(), "searchRobots");
    net = new KTTelpnet(broker, fMemory);
  } catch (...) {
    // The module is not made: nothing may be left to call it.
    unsubscribe("testSignalReceived");
    unsubscribe("FrontTactilTouched");
    delete tts;
    tts = 0;
    throw;
  }

  // The server and sender processes are forked from the robot, whose other
  // threads may hold locks at that moment; such a lock stays held in the
  // child, and in every process the child forks. Before their work they
  // only reset signals, see to ending with the robot and close what they
  // inherited (system calls, nothing allocated). Their work then uses
  // sockets (system calls), the log (glibc keeps its allocator usable across
  // fork; a line is one write), ktReason (no lock) and proxies, which the
  // platform forwards to the robot over a connection of the process's own.
  // The only lock of theirs is the table's, in the server's connection
  // processes: no other thread can reach this new table before the fork.
  pid_t robot = getpid();
  server_id = fork();
  if (server_id == 0) {
    // The telepathy server process: it never returns into the module.
    // No parent-death signal: that follows the forking thread, which may
    // end long before the robot. The server looks at its parent instead.
    signal(SIGINT, SIG_DFL);
    ktUnblockSignals();
    if (getppid() != robot) _exit(0);
    ktCloseInherited();
    try {
      net->initServer();
    } catch (...) {
    }
    _exit(0);
  }
  if (server_id < 0) {
    const char* reason = ktReason(errno);
    KTWARN << "テレパシーサーバーを起動できません。他のロボットからの信号は受け取れません。 ("
           << reason << ")";
  }
}

KTVesper::~KTVesper() {
  unsubscribe("testSignalReceived");
  // Nothing may call into this module once it is gone: no touch may start a
  // search from here on either.
  unsubscribe("FrontTactilTouched");
  net->serverStop();
  stopServer();
  try {
    disconnectAllRobots();
  } catch (const std::exception& e) {
    KTWARN << "接続ロボットを開放できません： 中止 = " << e.what();
    net->disconnectAllRobots();
  }
  std::vector<std::string> left;
  {
    std::lock_guard<std::mutex> lock(eventsMutex);
    left.swap(telepathyEvents);
  }
  for (size_t i = 0; i < left.size(); ++i) unsubscribe(left[i]);
  delete net;
  net = 0;
  delete tts;
  tts = 0;
  fMemory.reset();
}

void KTVesper::stopServer() {
  std::lock_guard<std::mutex> lock(serverMutex);
  if (server_id <= 0) return;
  // Only a live child of ours is signalled: one that ended already (its
  // port was taken) is reaped here, and an id that is no child of ours any
  // more is left alone.
  int status = 0;
  if (waitpid(server_id, &status, WNOHANG) == 0) {
    kill(server_id, SIGINT);
    while (waitpid(server_id, &status, 0) < 0 && errno == EINTR) {
    }
  }
  server_id = -1;
}

void KTVesper::reapServer() {
  std::lock_guard<std::mutex> lock(serverMutex);
  if (server_id <= 0 || waitpid(server_id, 0, WNOHANG) != server_id) return;
  // It ended on its own (its port could not be had): said once.
  server_id = -1;
  KTWARN << "テレパシーサーバーが終了しました。他のロボットからの信号は受け取れません。";
}

void KTVesper::unsubscribe(const std::string& event) {
  try {
    fMemory->unsubscribeToEvent(event, getName());
  } catch (const std::exception& e) {
    KTWARN << "イベント [ " << event << " ] の登録を解除できません： 中止 = " << e.what();
  }
}

void KTVesper::testSignalSpeech(const std::string& name, const AL::ALValue& val,
                                const std::string&) {
  reapServer();
  KTINFO << "testSignalSpeech イベント発生 name = " << name
         << " value = " << val.toString(AL::VerbosityMini);
  std::string address = val;
  std::string sentence = net->testSignalSentence(address);
  tts->callVoid("setLanguage", std::string("Japanese"));
  tts->callVoid("say", sentence);
}

void KTVesper::setRobotNumber(std::string rnum) {
  reapServer();
  // atoi's reading, without its undefined result for a number beyond int.
  long n = std::strtol(rnum.c_str(), 0, 10);
  if (n > INT_MAX) n = INT_MAX;
  if (n < INT_MIN) n = INT_MIN;
  recogRobotNumber = static_cast<int>(n);
}

int KTVesper::getRobotNumber() {
  reapServer();
  return net->getRobotNumber();
}

void KTVesper::initTelepathy() {
  reapServer();
  net->clearConnectedClientNumber();
  NameRows names;
  int n = net->getNameList(names);
  for (int i = 0; i < n; ++i) {
    net->initClient(names[i]);
    std::string event = eventFor(names[i]);
    fMemory->subscribeToEvent(event, getName(), "telepathyToRobot");
    {
      std::lock_guard<std::mutex> lock(eventsMutex);
      if (std::find(telepathyEvents.begin(), telepathyEvents.end(), event) ==
          telepathyEvents.end())
        telepathyEvents.push_back(event);
    }
    KTINFO << "テレパシーイベント [ " << event
           << " ] のイベントハンドラ [ telepathyToRobot ]をセットしました。";
  }
  KTINFO << "テレパシーを初期化を終了しました。";
}

void KTVesper::disconnectAllRobots() {
  reapServer();
  // Exactly the events initTelepathy subscribed, whatever searches and
  // failed connections came since.
  std::vector<std::string> events;
  {
    std::lock_guard<std::mutex> lock(eventsMutex);
    events = telepathyEvents;
  }
  for (size_t i = 0; i < events.size(); ++i) {
    fMemory->unsubscribeToEvent(events[i], getName());
    std::lock_guard<std::mutex> lock(eventsMutex);
    telepathyEvents.erase(std::remove(telepathyEvents.begin(), telepathyEvents.end(), events[i]),
                          telepathyEvents.end());
  }
  net->disconnectAllRobots();
}

std::string KTVesper::getNameList() {
  reapServer();
  NameRows names;
  int n = net->getNameList(names);
  return join(names, n);
}

std::string KTVesper::getRobotList() {
  reapServer();
  NameRows rows;
  int n = net->getRobotList(rows);
  return join(rows, n);
}

void KTVesper::telepathyToRobot(const std::string& name, const AL::ALValue& val,
                                const std::string& myName) {
  reapServer();
  KTINFO << "name = " << name << " value = " << val << " myName = " << myName;
  // A name cut to fit its buffer could name another robot: too long is
  // refused.
  char event[KTTelpnet::kLineSize];
  const char* to = 0;
  if (name.size() >= sizeof event) {
    KTWARN << "イベント名が長すぎます： 中止 = " << name.size() << "バイト";
  } else {
    KTRobot::copyText(event, sizeof event, name.c_str());
    to = std::strstr(event, "_to_");
    if (to == 0) KTWARN << "イベント名にロボット名がありません： 中止 = " << event;
  }
  char robotName[KTRobot::kTextSize];
  if (to && std::strlen(to + 4) >= sizeof robotName) {
    KTWARN << "ロボット名が長すぎます： 中止 = " << std::strlen(to + 4) << "バイト";
    to = 0;
  }
  // A refused name is a failed send, said as such.
  bool sent = false;
  if (to) {
    KTRobot::copyText(robotName, sizeof robotName, to + 4);
    KTINFO << "sendTo robot [ " << robotName << " ] value = " << val;
    std::string value = val;
    sent = net->sendSignal(robotName, value);
  }
  if (!sent) KTWARN << "相手ロボットへのシグナル送付に失敗。";
}

void KTVesper::searchRobots(const std::string& name, const AL::ALValue& val,
                            const std::string&) {
  reapServer();
  std::string text = val.toString(AL::VerbosityMini);
  KTINFO << "searchRobots イベント発生 name = " << name << " value = " << text;
  if (text == "0") {
    KTINFO << "val = 0 は予定していないイベントなので、処理しません。";
    return;
  }
  if (searching.exchange(true)) {
    KTINFO << "ロボットを探索中なので、新しい探索は開始しません。";
    return;
  }
  SearchSlot slot;
  int rnum = recogRobotNumber;
  KTINFO << "すべての他のロボットの探索を開始します。探索すべきロボット数 = " << rnum;

  // A robot without an address (or a name others can take) only listens.
  pid_t sender = -1;
  if (net->prepareAnnouncement()) {
    pid_t robot = getpid();
    sender = fork();
    if (sender == 0) {
      // The discovery sender process (see the constructor for what it may
      // call): it ends with the robot, and never returns into the module.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != robot) _exit(0);
      signal(SIGPIPE, SIG_IGN);
      ktUnblockSignals();
      ktCloseInherited();
      try {
        net->sendRobotInfo();
      } catch (const std::exception& e) {
        KTWARN << "自己情報の送信に失敗しました： 中止 = " << e.what();
      } catch (...) {
      }
      _exit(0);
    }
    if (sender < 0) {
      const char* reason = ktReason(errno);
      KTWARN << "自己情報の送信プロセスを生成できません。受信だけを行います。 (" << reason << ")";
    }
  }
  Reaper reaper(sender);

  net->recvRobotInfo(rnum);
  int count = net->getRobotNumber();
  KTINFO << "ロボット探索を終了しました。 認識ロボット数 = " << count;
}

void KTVesper::stopTelepathy(char* robotIP) { net->closeClient(robotIP); }
