// Typed proxy of the ALMemory service: data store and event bus.
#ifndef AL_ALMEMORYPROXY_H
#define AL_ALMEMORYPROXY_H

#include <string>

#include <boost/shared_ptr.hpp>

#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>

namespace AL {

class ALMemoryProxy : public ALProxy {
public:
  explicit ALMemoryProxy(boost::shared_ptr<ALBroker> broker);

  void subscribeToEvent(const std::string& name, const std::string& callbackModule,
                        const std::string& callbackMethod);
  void unsubscribeToEvent(const std::string& name, const std::string& callbackModule);
  void raiseEvent(const std::string& name, const ALValue& value);
  void insertData(const std::string& name, const ALValue& value);
  ALValue getData(const std::string& name);
};

namespace detail {
// A memory proxy passed by name is rebuilt on the callee's own broker.
template <> struct Arg<boost::shared_ptr<ALMemoryProxy> > {
  typedef boost::shared_ptr<ALMemoryProxy> Stored;
  static Stored convert(const ALValue&, ALModuleCore* core) {
    return Stored(new ALMemoryProxy(core->getParentBroker()));
  }
  static Stored pass(Stored& s) { return s; }
};
}  // namespace detail

}  // namespace AL

#endif
