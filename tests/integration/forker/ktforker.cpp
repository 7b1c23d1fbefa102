// KTForker: a test module that forks processes which use the proxies they
// inherited, as the robot link module does with its server processes.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <alcommon/albroker.h>
#include <alcommon/albrokermanager.h>
#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>
#include <qi/log.hpp>

namespace {

#define FORKER_LOG qi::log::LogStream(qi::LogLevel_Info, __FILE__, __FUNCTION__, __LINE__, "ktforker")

class KTForker : public AL::ALModule {
public:
  KTForker(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
    : AL::ALModule(broker, name), fServer(-1) {
    setModuleDescription("Forks processes that call the robot through inherited proxies.");
    functionName("forkAndSpeak", getName(), "A child raises key with its pid and says sentence", 0);
    addParam("key", "event the child raises");
    addParam("sentence", "what the child has the robot say");
    BIND_METHOD(KTForker::forkAndSpeak);
    functionName("forkCallers", getName(), "Children store and read back keys", 0);
    addParam("children", "how many");
    addParam("calls", "store-and-read rounds each");
    BIND_METHOD(KTForker::forkCallers);
    functionName("childSignals", getName(),
                 "A child's signals not in their default state: 1 SIGPIPE, 2 SIGINT, 4 SIGTERM", 0);
    BIND_METHOD(KTForker::childSignals);
    functionName("listen", getName(), "Subscribes onEvent to key", 0);
    addParam("key", "event");
    BIND_METHOD(KTForker::listen);
    functionName("onEvent", getName(), "Records an event and the process it ran in", 0);
    BIND_METHOD(KTForker::onEvent);
    functionName("received", getName(), "[key, value, pid] of each event received", 0);
    BIND_METHOD(KTForker::received);
    functionName("holdUntil", getName(), "Stays under way until path exists", 0);
    addParam("path", "the file whose making ends the call");
    BIND_METHOD(KTForker::holdUntil);

    fMemory = broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");
    fSpeech.reset(new AL::ALProxy(broker, "ALTextToSpeech", 0, 0));

    // A process that lives as long as the module, forked while the robot is
    // still loading: it announces itself and waits to be ended by SIGINT.
    fServer = fork();
    if (fServer == 0) {
      // Never outlive a robot that was killed outright.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      try {
        fMemory->raiseEvent("forker_server", AL::ALValue(static_cast<int>(getpid())));
      } catch (const std::exception& e) {
        fprintf(stderr, "forker server: %s\n", e.what());
        _exit(3);
      }
      for (;;) pause();
    }
  }

  virtual ~KTForker() {
    std::string ended = "not started";
    if (fServer > 0) {
      kill(fServer, SIGINT);
      int status = 0;
      waitpid(fServer, &status, 0);
      ended = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                  : "exit " + std::to_string(WEXITSTATUS(status));
    }
    FORKER_LOG << "KTForker destroyed; server process ended by " << ended;
  }

  AL::ALValue forkAndSpeak(const std::string& key, const std::string& sentence) {
    pid_t child = fork();
    if (child < 0) throw AL::ALError(getName(), "forkAndSpeak", "fork failed");
    if (child == 0) {
      try {
        fMemory->raiseEvent(key, AL::ALValue(static_cast<int>(getpid())));
        fSpeech->callVoid("say", sentence);
      } catch (const std::exception& e) {
        fprintf(stderr, "forker child: %s\n", e.what());
        _exit(1);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return AL::ALValue::array(static_cast<int>(child),
                              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }

  AL::ALValue forkCallers(int children, int calls) {
    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
      pid_t child = fork();
      if (child == 0) _exit(storeAndRead(i, calls));
      pids.push_back(child);
    }
    AL::ALValue statuses = AL::ALValue::array();
    for (pid_t p : pids) {
      int status = 0;
      if (p < 0 || waitpid(p, &status, 0) < 0) {
        statuses.arrayPush(-1);
        continue;
      }
      statuses.arrayPush(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    return statuses;
  }

  int childSignals() {
    pid_t child = fork();
    if (child < 0) throw AL::ALError(getName(), "childSignals", "fork failed");
    if (child == 0) {
      int changed = 0, bit = 1;
      for (int sig : {SIGPIPE, SIGINT, SIGTERM}) {
        struct sigaction sa;
        if (sigaction(sig, nullptr, &sa) != 0 || sa.sa_handler != SIG_DFL) changed |= bit;
        bit <<= 1;
      }
      _exit(changed);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  void listen(const std::string& key) { fMemory->subscribeToEvent(key, getName(), "onEvent"); }

  void onEvent(const std::string& key, const AL::ALValue& value, const std::string&) {
    std::lock_guard<std::mutex> lock(fMutex);
    fReceived.push_back(AL::ALValue::array(key, value, static_cast<int>(getpid())));
  }

  AL::ALValue received() {
    std::lock_guard<std::mutex> lock(fMutex);
    return AL::ALValue(fReceived);
  }

  // A call that a test keeps under way: forker_holding says it has begun.
  // Bounded, so that a test that died leaves no call behind.
  std::string holdUntil(const std::string& path) {
    fMemory->insertData("forker_holding", path);
    struct stat st;
    for (int i = 0; i < 15000; ++i) {
      if (stat(path.c_str(), &st) == 0) return "released";
      usleep(20000);
    }
    return "not released";
  }

private:
  // 0 when every value read back is the one stored, 1 otherwise, 2 on error.
  int storeAndRead(int child, int calls) {
    try {
      for (int j = 0; j < calls; ++j) {
        std::string key = "caller" + std::to_string(child) + "_" + std::to_string(j % 10);
        std::string value = std::to_string(getpid()) + ":" + std::to_string(j);
        fMemory->insertData(key, value);
        if (static_cast<std::string>(fMemory->getData(key)) != value) return 1;
      }
    } catch (const std::exception& e) {
      fprintf(stderr, "forker caller: %s\n", e.what());
      return 2;
    }
    return 0;
  }

  boost::shared_ptr<AL::ALMemoryProxy> fMemory;
  boost::shared_ptr<AL::ALProxy> fSpeech;
  pid_t fServer;
  std::mutex fMutex;
  AL::ALValue::ALValueArray fReceived;
};

}  // namespace

extern "C" {

int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  AL::ALBrokerManager::setInstance(pBroker->fBrokerManager.lock());
  AL::ALBrokerManager::getInstance()->addBroker(pBroker);
  AL::ALModule::createModule<KTForker>(pBroker, "KTForker");
  return 0;
}

int _closeModule() { return 0; }

}
