#include <alcommon/albroker.h>
#include <alcommon/albrokermanager.h>
#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>

#include <algorithm>
#include <unordered_map>

#include <ktplatform/processid.h>

namespace AL {

// Names and weak references only: a replaced table keeps no module alive.
struct ALBroker::Table {
  std::unordered_map<std::string, boost::weak_ptr<ALModuleCore> > modules;
};

ALBroker::ALBroker(const std::string& name)
  : fName(name), fOwnerPid(kt::processId()), fTable(new Table()) {}

ALBroker::~ALBroker() {
  delete fTable.load();
  for (size_t i = 0; i < fRetired.size(); ++i) delete fRetired[i];
}

ALBroker::Ptr ALBroker::createBroker(const std::string& name,
                                     boost::shared_ptr<ALBrokerManager> manager) {
  Ptr broker(new ALBroker(name));
  broker->fBrokerManager = manager;
  return broker;
}

boost::shared_ptr<ALProxy> ALBroker::getProxy(const std::string& name, int options) {
  return boost::shared_ptr<ALProxy>(new ALProxy(shared_from_this(), name, options, 0));
}

void ALBroker::publish() {
  Table* next = new Table();
  for (size_t i = 0; i < fModules.size(); ++i) next->modules[fModules[i]->getName()] = fModules[i];
  fRetired.push_back(fTable.exchange(next));
}

void ALBroker::registerModule(boost::shared_ptr<ALModuleCore> module) {
  std::lock_guard<std::mutex> lock(fMutex);
  for (size_t i = 0; i < fModules.size(); ++i)
    if (fModules[i]->getName() == module->getName())
      throw ALError(fName, "registerModule", "a module named " + module->getName() +
                                                 " is already registered");
  fModules.push_back(module);
  publish();
}

void ALBroker::unregisterModule(const std::string& name) {
  boost::shared_ptr<ALModuleCore> released;
  {
    std::lock_guard<std::mutex> lock(fMutex);
    for (size_t i = 0; i < fModules.size(); ++i) {
      if (fModules[i]->getName() == name) {
        released = fModules[i];
        fModules.erase(fModules.begin() + i);
        publish();
        break;
      }
    }
  }
  // The module's destructor runs here, outside the lock.
}

boost::shared_ptr<ALModuleCore> ALBroker::getModuleByName(const std::string& name) const {
  const Table* table = fTable.load(std::memory_order_acquire);
  auto found = table->modules.find(name);
  return found == table->modules.end() ? boost::shared_ptr<ALModuleCore>() : found->second.lock();
}

bool ALBroker::isModulePresent(const std::string& name) const {
  return static_cast<bool>(getModuleByName(name));
}

std::vector<std::string> ALBroker::getModuleNames() const {
  std::lock_guard<std::mutex> lock(fMutex);
  std::vector<std::string> names;
  for (size_t i = 0; i < fModules.size(); ++i) names.push_back(fModules[i]->getName());
  return names;
}

bool ALBroker::isForeignProcess() const {
  return kt::processId() != fOwnerPid;
}

void ALBroker::setForwarder(const Forwarder& forwarder) {
  std::lock_guard<std::mutex> lock(fMutex);
  fForwarder = forwarder;
}

ALValue ALBroker::call(const std::string& module, const std::string& method,
                       const std::vector<ALValue>& args) {
  // In a forked process, no lock of the owner is touched: another thread may
  // have held it at the fork.
  if (isForeignProcess()) {
    if (!fForwarder)
      throw ALError(module, method, "this process has no connection to the robot");
    return fForwarder(module, method, args);
  }
  boost::shared_ptr<ALModuleCore> target = getModuleByName(module);
  if (!target) throw ALError(module, method, "no module named " + module);
  return target->callMethod(method, args);
}

void ALBroker::shutdown() {
  for (;;) {
    boost::shared_ptr<ALModuleCore> last;
    {
      std::lock_guard<std::mutex> lock(fMutex);
      if (fModules.empty()) break;
      last = fModules.back();
      fModules.pop_back();
      publish();
    }
    last.reset();
  }
}

static std::mutex gInstanceMutex;
static boost::shared_ptr<ALBrokerManager> gInstance;

boost::shared_ptr<ALBrokerManager> ALBrokerManager::getInstance() {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  if (!gInstance) gInstance.reset(new ALBrokerManager());
  return gInstance;
}

void ALBrokerManager::setInstance(boost::shared_ptr<ALBrokerManager> instance) {
  std::lock_guard<std::mutex> lock(gInstanceMutex);
  gInstance = instance;
}

void ALBrokerManager::addBroker(boost::shared_ptr<ALBroker> broker) {
  std::lock_guard<std::mutex> lock(fMutex);
  if (std::find(fBrokers.begin(), fBrokers.end(), broker) == fBrokers.end())
    fBrokers.push_back(broker);
}

void ALBrokerManager::removeBroker(boost::shared_ptr<ALBroker> broker) {
  std::lock_guard<std::mutex> lock(fMutex);
  fBrokers.erase(std::remove(fBrokers.begin(), fBrokers.end(), broker), fBrokers.end());
}

std::vector<boost::shared_ptr<ALBroker> > ALBrokerManager::getBrokerList() const {
  std::lock_guard<std::mutex> lock(fMutex);
  return fBrokers;
}

ALProxy::ALProxy(boost::shared_ptr<ALBroker> broker, const std::string& moduleName, int,
                 int)
  : fBroker(broker), fModuleName(moduleName) {
  if (!broker) throw ALError(moduleName, "ALProxy", "no broker");
  if (!broker->isForeignProcess() && !broker->isModulePresent(moduleName))
    throw ALError(moduleName, "ALProxy", "no module named " + moduleName);
}

ALProxy::~ALProxy() {}

ALValue ALProxy::genericCall(const std::string& method, const std::vector<ALValue>& args) {
  return fBroker->call(fModuleName, method, args);
}

}  // namespace AL
