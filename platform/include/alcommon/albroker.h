// The broker: holds the modules and services of one robot process by name.
#ifndef AL_ALBROKER_H
#define AL_ALBROKER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <alvalue/alvalue.h>

namespace AL {

class ALModuleCore;
class ALProxy;
class ALBrokerManager;

class ALBroker : public boost::enable_shared_from_this<ALBroker> {
public:
  typedef boost::shared_ptr<ALBroker> Ptr;
  // Carries a call to the process that owns the services (see setForwarder).
  typedef std::function<ALValue(const std::string& module, const std::string& method,
                                const std::vector<ALValue>& args)>
      Forwarder;

  explicit ALBroker(const std::string& name);
  ~ALBroker();

  // A broker with a broker manager of its own, which it refers to weakly.
  static Ptr createBroker(const std::string& name,
                          boost::shared_ptr<ALBrokerManager> manager);

  const std::string& getName() const { return fName; }

  boost::shared_ptr<ALProxy> getProxy(const std::string& name, int options = 0);
  template <typename T>
  boost::shared_ptr<T> getSpecialisedProxy(const std::string& /*name*/) {
    return boost::shared_ptr<T>(new T(shared_from_this()));
  }

  void registerModule(boost::shared_ptr<ALModuleCore> module);
  void unregisterModule(const std::string& name);
  boost::shared_ptr<ALModuleCore> getModuleByName(const std::string& name) const;
  bool isModulePresent(const std::string& name) const;
  std::vector<std::string> getModuleNames() const;

  // Calls module.method; in a process forked from the owner the call is
  // forwarded, since the services live in the owner process.
  ALValue call(const std::string& module, const std::string& method,
               const std::vector<ALValue>& args);
  void setForwarder(const Forwarder& forwarder);
  bool isForeignProcess() const;

  // Releases every module, newest first, so that their destructors run.
  void shutdown();

  boost::weak_ptr<ALBrokerManager> fBrokerManager;

private:
  struct Table;
  void publish();

  std::string fName;
  int fOwnerPid;
  Forwarder fForwarder;
  // Registration changes under the lock; lookups read the published table
  // of names without one, so that callers never wait on each other.
  mutable std::mutex fMutex;
  std::vector<boost::shared_ptr<ALModuleCore> > fModules;
  std::atomic<const Table*> fTable;
  // Tables replaced since: a lookup may still be reading one.
  std::vector<const Table*> fRetired;
};

}  // namespace AL

#endif
