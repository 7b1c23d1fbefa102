// The simulated ALMemory: data store and event bus.
#ifndef KTPLATFORM_SIM_MEMORY_H
#define KTPLATFORM_SIM_MEMORY_H

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>
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
    std::string module, callback;
  };
  // A key's subscriptions and the observers are read at every raise and
  // change seldom: a raise keeps the list it saw by reference, a change
  // puts a new list in place.
  typedef std::vector<Subscription> Subscriptions;
  typedef std::vector<Observer> Observers;
  struct Raised {
    std::string key;
    AL::ALValue value;
    std::shared_ptr<const Observers> observers;  // those there when it was stored
  };
  bool stillSubscribed(const std::string& key, const Subscription& s, unsigned long seen) const;
  void changeSubscriptions(const std::string& key, const Subscriptions& next);
  void tellObservers();

  // Readers of data share it; a raise, a store or a change holds it alone.
  mutable std::shared_mutex fMutex;
  std::unordered_map<std::string, AL::ALValue> fData;
  std::unordered_map<std::string, std::shared_ptr<const Subscriptions> > fSubscriptions;
  std::atomic<unsigned long> fSubscriptionChanges;
  std::map<int, Observer> fObservers;
  std::shared_ptr<const Observers> fObserverList;  // in id order; null when none
  int fNextObserver;
  std::deque<Raised> fUntold;  // raised, observers not yet told
  bool fTelling;               // a thread is telling the observers
};

}  // namespace sim
}  // namespace kt

#endif
