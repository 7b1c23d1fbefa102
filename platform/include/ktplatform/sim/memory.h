// The simulated ALMemory: data store and event bus.
#ifndef KTPLATFORM_SIM_MEMORY_H
#define KTPLATFORM_SIM_MEMORY_H

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class Memory : public Service {
public:
  typedef std::function<void(const std::string& key, const AL::ALValue& value)> Observer;
  Memory(boost::shared_ptr<AL::ALBroker> broker, World& world);

  void subscribeToEvent(const std::string& key, const std::string& module,
                        const std::string& callback);
  void unsubscribeToEvent(const std::string& key, const std::string& module);
  void raiseEvent(const std::string& key, const AL::ALValue& value);
  void insertData(const std::string& key, const AL::ALValue& value);
  AL::ALValue getData(const std::string& key);

  bool hasData(const std::string& key) const;
  // Subscribers of key as module name and callback, in subscription order.
  std::vector<std::pair<std::string, std::string> > subscribers(const std::string& key) const;
  // Told of every raised event before its subscribers, in the order the
  // events were stored, though maybe on another raiser's thread; returns an
  // id for removal.
  int addObserver(const Observer& observer);
  void removeObserver(int id);

private:
  struct Subscription {
    std::string key, module, callback;
  };
  struct Raised {
    std::string key;
    AL::ALValue value;
    std::vector<Observer> observers;  // those there when it was stored
  };
  bool stillSubscribed(const Subscription& s) const;
  void tellObservers();
  std::map<std::string, AL::ALValue> fData;
  std::vector<Subscription> fSubscriptions;
  std::map<int, Observer> fObservers;
  int fNextObserver;
  std::deque<Raised> fUntold;  // raised, observers not yet told
  bool fTelling;               // a thread is telling the observers
};

}  // namespace sim
}  // namespace kt

#endif
