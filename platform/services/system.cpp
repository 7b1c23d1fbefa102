#include <ktplatform/sim/system.h>

namespace kt {
namespace sim {

System::System(boost::shared_ptr<AL::ALBroker> broker, World& world, const std::string& robotName)
  : Service(broker, "ALSystem", world), fName(robotName) {
  setModuleDescription("The robot's system settings.");
  functionName("robotName", getName(), "The robot's name", 0);
  BIND_METHOD(System::robotName);
}

std::string System::robotName() { return fName; }

}  // namespace sim
}  // namespace kt
