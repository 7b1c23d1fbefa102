#include <ktplatform/sim/memory.h>

#include <qi/log.hpp>

#include "simlog.h"

namespace kt {
namespace sim {

Memory::Memory(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALMemory", world), fNextObserver(1), fTelling(false) {
  setModuleDescription("Data store and event bus of the robot.");
  functionName("subscribeToEvent", getName(), "Calls a module's method on each raise of key", 0);
  addParam("name", "event key");
  addParam("callbackModule", "module to call");
  addParam("callbackMethod", "bound method of that module");
  BIND_METHOD(Memory::subscribeToEvent);
  functionName("unsubscribeToEvent", getName(), "Ends a subscription", 0);
  addParam("name", "event key");
  addParam("callbackModule", "subscribed module");
  BIND_METHOD(Memory::unsubscribeToEvent);
  functionName("raiseEvent", getName(), "Stores a value and delivers it to the subscribers", 0);
  addParam("name", "event key");
  addParam("value", "value");
  BIND_METHOD(Memory::raiseEvent);
  functionName("insertData", getName(), "Stores a value", 0);
  addParam("name", "key");
  addParam("value", "value");
  BIND_METHOD(Memory::insertData);
  functionName("getData", getName(), "Returns the value stored under a key", 0);
  addParam("name", "key");
  BIND_METHOD(Memory::getData);
}

void Memory::subscribeToEvent(const std::string& key, const std::string& module,
                              const std::string& callback) {
  Lock lock(fStateMutex);
  for (size_t i = 0; i < fSubscriptions.size(); ++i) {
    if (fSubscriptions[i].key == key && fSubscriptions[i].module == module) {
      fSubscriptions[i].callback = callback;
      return;
    }
  }
  Subscription s;
  s.key = key;
  s.module = module;
  s.callback = callback;
  fSubscriptions.push_back(s);
}

void Memory::unsubscribeToEvent(const std::string& key, const std::string& module) {
  {
    Lock lock(fStateMutex);
    for (size_t i = 0; i < fSubscriptions.size(); ++i) {
      if (fSubscriptions[i].key == key && fSubscriptions[i].module == module) {
        fSubscriptions.erase(fSubscriptions.begin() + i);
        return;
      }
    }
  }
  SIM_LOG(qi::LogLevel_Info) << "ALMemory: " << module << " is not subscribed to " << key;
}

bool Memory::stillSubscribed(const Subscription& s) const {
  Lock lock(fStateMutex);
  for (size_t i = 0; i < fSubscriptions.size(); ++i)
    if (fSubscriptions[i].key == s.key && fSubscriptions[i].module == s.module &&
        fSubscriptions[i].callback == s.callback)
      return true;
  return false;
}

// Observers are told in the order the events were stored: a watcher then
// sees a completion event after the variable whose subscriber raised it, and
// the last value it sees is the one stored. One thread at a time tells them,
// with no lock held; an event raised meanwhile, by another thread or by an
// observer, waits in the queue for the thread already telling.
void Memory::tellObservers() {
  {
    Lock lock(fStateMutex);
    if (fTelling) return;
    fTelling = true;
  }
  for (;;) {
    Raised event;
    {
      Lock lock(fStateMutex);
      if (fUntold.empty()) {
        fTelling = false;
        return;
      }
      event = fUntold.front();
      fUntold.pop_front();
    }
    for (size_t i = 0; i < event.observers.size(); ++i) {
      try {
        event.observers[i](event.key, event.value);
      } catch (const std::exception& e) {
        SIM_LOG(qi::LogLevel_Warning) << "ALMemory: an observer failed on " << event.key << ": "
                                      << e.what();
      }
    }
  }
}

void Memory::raiseEvent(const std::string& key, const AL::ALValue& value) {
  std::vector<Subscription> snapshot;
  {
    Lock lock(fStateMutex);
    fData[key] = value;
    for (size_t i = 0; i < fSubscriptions.size(); ++i)
      if (fSubscriptions[i].key == key) snapshot.push_back(fSubscriptions[i]);
    Raised raised;
    raised.key = key;
    raised.value = value;
    for (std::map<int, Observer>::iterator it = fObservers.begin(); it != fObservers.end(); ++it)
      raised.observers.push_back(it->second);
    if (!raised.observers.empty()) fUntold.push_back(raised);
  }
  tellObservers();
  boost::shared_ptr<AL::ALBroker> broker = getParentBroker();
  // Delivered on the raiser's thread, with no lock held: a callback may
  // raise, subscribe or unsubscribe in turn.
  for (size_t i = 0; i < snapshot.size(); ++i) {
    const Subscription& s = snapshot[i];
    if (!stillSubscribed(s)) continue;
    boost::shared_ptr<AL::ALModuleCore> module = broker ? broker->getModuleByName(s.module)
                                                        : boost::shared_ptr<AL::ALModuleCore>();
    if (!module) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: subscriber " << s.module << " of " << key
                                    << " is not registered";
      continue;
    }
    if (!module->isMethodBound(s.callback)) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: " << s.module << " binds no method "
                                    << s.callback << ", event " << key << " skipped";
      continue;
    }
    std::vector<AL::ALValue> args;
    args.push_back(AL::ALValue(key));
    args.push_back(value);
    args.push_back(AL::ALValue(s.module));
    try {
      module->callMethod(s.callback, args);
    } catch (const std::exception& e) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: " << s.module << "." << s.callback
                                    << " failed on " << key << ": " << e.what();
    }
  }
}

void Memory::insertData(const std::string& key, const AL::ALValue& value) {
  Lock lock(fStateMutex);
  fData[key] = value;
}

AL::ALValue Memory::getData(const std::string& key) {
  Lock lock(fStateMutex);
  std::map<std::string, AL::ALValue>::const_iterator it = fData.find(key);
  if (it == fData.end()) throw AL::ALError("ALMemory", "getData", "no data under key " + key);
  return it->second;
}

bool Memory::hasData(const std::string& key) const {
  Lock lock(fStateMutex);
  return fData.count(key) != 0;
}

std::vector<std::pair<std::string, std::string> > Memory::subscribers(
    const std::string& key) const {
  Lock lock(fStateMutex);
  std::vector<std::pair<std::string, std::string> > out;
  for (size_t i = 0; i < fSubscriptions.size(); ++i)
    if (fSubscriptions[i].key == key)
      out.push_back(std::make_pair(fSubscriptions[i].module, fSubscriptions[i].callback));
  return out;
}

int Memory::addObserver(const Observer& observer) {
  Lock lock(fStateMutex);
  int id = fNextObserver++;
  fObservers[id] = observer;
  return id;
}

void Memory::removeObserver(int id) {
  Lock lock(fStateMutex);
  fObservers.erase(id);
}

}  // namespace sim
}  // namespace kt
