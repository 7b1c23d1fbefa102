#include <ktplatform/sim/memory.h>

#include <qi/log.hpp>

#include "simlog.h"

namespace kt {
namespace sim {

Memory::Memory(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALMemory", world), fSubscriptionChanges(0), fNextObserver(1),
    fTelling(false) {
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

typedef std::unique_lock<std::shared_mutex> Exclusive;
typedef std::shared_lock<std::shared_mutex> Shared;

// The caller holds the lock alone.
void Memory::changeSubscriptions(const std::string& key, const Subscriptions& next) {
  if (next.empty())
    fSubscriptions.erase(key);
  else
    fSubscriptions[key] = std::make_shared<const Subscriptions>(next);
  fSubscriptionChanges.fetch_add(1);
}

void Memory::subscribeToEvent(const std::string& key, const std::string& module,
                              const std::string& callback) {
  Exclusive lock(fMutex);
  auto found = fSubscriptions.find(key);
  Subscriptions next;
  if (found != fSubscriptions.end()) next = *found->second;
  for (size_t i = 0; i < next.size(); ++i) {
    if (next[i].module == module) {
      if (next[i].callback == callback) return;
      next[i].callback = callback;
      changeSubscriptions(key, next);
      return;
    }
  }
  next.push_back(Subscription{module, callback});
  changeSubscriptions(key, next);
}

void Memory::unsubscribeToEvent(const std::string& key, const std::string& module) {
  {
    Exclusive lock(fMutex);
    auto found = fSubscriptions.find(key);
    if (found != fSubscriptions.end()) {
      const Subscriptions& now = *found->second;
      for (size_t i = 0; i < now.size(); ++i) {
        if (now[i].module == module) {
          Subscriptions next(now);
          next.erase(next.begin() + i);
          changeSubscriptions(key, next);
          return;
        }
      }
    }
  }
  SIM_LOG(qi::LogLevel_Info) << "ALMemory: " << module << " is not subscribed to " << key;
}

// Whether s, seen when the event was stored, is subscribed still. While no
// subscription changed since (the usual case) that needs no lock.
bool Memory::stillSubscribed(const std::string& key, const Subscription& s,
                             unsigned long seen) const {
  if (fSubscriptionChanges.load() == seen) return true;
  Shared lock(fMutex);
  auto found = fSubscriptions.find(key);
  if (found == fSubscriptions.end()) return false;
  for (const Subscription& now : *found->second)
    if (now.module == s.module && now.callback == s.callback) return true;
  return false;
}

// Observers are told in the order the events were stored: a watcher then
// sees a completion event after the variable whose subscriber raised it, and
// the last value it sees is the one stored. One thread at a time tells them,
// with no lock held; an event raised meanwhile, by another thread or by an
// observer, waits in the queue for the thread already telling.
void Memory::tellObservers() {
  {
    Exclusive lock(fMutex);
    if (fTelling) return;
    fTelling = true;
  }
  for (;;) {
    Raised event;
    {
      Exclusive lock(fMutex);
      if (fUntold.empty()) {
        fTelling = false;
        return;
      }
      event = std::move(fUntold.front());
      fUntold.pop_front();
    }
    for (const Observer& observer : *event.observers) {
      try {
        observer(event.key, event.value);
      } catch (const std::exception& e) {
        SIM_LOG(qi::LogLevel_Warning) << "ALMemory: an observer failed on " << event.key << ": "
                                      << e.what();
      }
    }
  }
}

void Memory::raiseEvent(const std::string& key, const AL::ALValue& value) {
  std::shared_ptr<const Subscriptions> subscribed;
  unsigned long seen;
  bool untold = false;
  {
    Exclusive lock(fMutex);
    fData[key] = value;
    auto found = fSubscriptions.find(key);
    if (found != fSubscriptions.end()) subscribed = found->second;
    seen = fSubscriptionChanges.load();
    if (fObserverList) {
      fUntold.push_back(Raised{key, value, fObserverList});
      untold = true;
    }
  }
  // The queue is empty whenever no thread tells: a raise that queued
  // nothing has nothing to tell.
  if (untold) tellObservers();
  if (!subscribed) return;
  boost::shared_ptr<AL::ALBroker> broker = getParentBroker();
  // Delivered on the raiser's thread, with no lock held: a callback may
  // raise, subscribe or unsubscribe in turn. The arguments are built once;
  // only the subscriber's name changes between callbacks.
  std::vector<AL::ALValue> args;
  args.reserve(3);
  args.push_back(AL::ALValue(key));
  args.push_back(value);
  args.push_back(AL::ALValue());
  for (const Subscription& s : *subscribed) {
    if (!stillSubscribed(key, s, seen)) continue;
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
    args[2] = AL::ALValue(s.module);
    try {
      module->callMethod(s.callback, args);
    } catch (const std::exception& e) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: " << s.module << "." << s.callback
                                    << " failed on " << key << ": " << e.what();
    }
  }
}

void Memory::insertData(const std::string& key, const AL::ALValue& value) {
  Exclusive lock(fMutex);
  fData[key] = value;
}

AL::ALValue Memory::getData(const std::string& key) {
  Shared lock(fMutex);
  auto found = fData.find(key);
  if (found == fData.end()) throw AL::ALError("ALMemory", "getData", "no data under key " + key);
  return found->second;
}

bool Memory::hasData(const std::string& key) const {
  Shared lock(fMutex);
  return fData.count(key) != 0;
}

std::vector<std::pair<std::string, std::string> > Memory::subscribers(
    const std::string& key) const {
  Shared lock(fMutex);
  std::vector<std::pair<std::string, std::string> > out;
  auto found = fSubscriptions.find(key);
  if (found != fSubscriptions.end())
    for (const Subscription& s : *found->second) out.push_back(std::make_pair(s.module, s.callback));
  return out;
}

// The caller holds the lock alone.
static std::shared_ptr<const std::vector<Memory::Observer> > listOf(
    const std::map<int, Memory::Observer>& observers) {
  if (observers.empty()) return nullptr;
  auto list = std::make_shared<std::vector<Memory::Observer> >();
  for (const auto& o : observers) list->push_back(o.second);
  return list;
}

int Memory::addObserver(const Observer& observer) {
  Exclusive lock(fMutex);
  int id = fNextObserver++;
  fObservers[id] = observer;
  fObserverList = listOf(fObservers);
  return id;
}

void Memory::removeObserver(int id) {
  Exclusive lock(fMutex);
  fObservers.erase(id);
  fObserverList = listOf(fObservers);
}

}  // namespace sim
}  // namespace kt
