#include <alproxies/almemoryproxy.h>

namespace AL {

ALMemoryProxy::ALMemoryProxy(boost::shared_ptr<ALBroker> broker)
  : ALProxy(broker, "ALMemory", 0, 0) {}

void ALMemoryProxy::subscribeToEvent(const std::string& name,
                                     const std::string& callbackModule,
                                     const std::string& callbackMethod) {
  callVoid("subscribeToEvent", name, callbackModule, callbackMethod);
}

void ALMemoryProxy::unsubscribeToEvent(const std::string& name,
                                       const std::string& callbackModule) {
  callVoid("unsubscribeToEvent", name, callbackModule);
}

void ALMemoryProxy::raiseEvent(const std::string& name, const ALValue& value) {
  callVoid("raiseEvent", name, value);
}

void ALMemoryProxy::insertData(const std::string& name, const ALValue& value) {
  callVoid("insertData", name, value);
}

ALValue ALMemoryProxy::getData(const std::string& name) {
  return call<ALValue>("getData", name);
}

}  // namespace AL
