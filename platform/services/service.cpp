#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

Service::Service(boost::shared_ptr<AL::ALBroker> broker, const std::string& name, World& world)
  : AL::ALModule(broker, name), fWorld(world) {}

AL::ALValue Service::callMethod(const std::string& method, const std::vector<AL::ALValue>& args) {
  fWorld.record(getName(), method, args);
  switch (fWorld.fault(getName(), method)) {
    case FaultThrow: throw AL::ALError(getName(), method, "fault injected");
    case FaultFalse: return AL::ALValue(false);
    case FaultNone: break;
  }
  return invokeBound(method, args);
}

}  // namespace sim
}  // namespace kt
