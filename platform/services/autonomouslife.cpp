#include <ktplatform/sim/autonomouslife.h>

#include "simlog.h"

namespace kt {
namespace sim {

AutonomousLife::AutonomousLife(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALAutonomousLife", world), fState("solitary") {
  setModuleDescription("Autonomous life states.");
  functionName("setState", getName(), "solitary, interactive, disabled or safeguard", 0);
  addParam("state", "state name");
  BIND_METHOD(AutonomousLife::setState);
  functionName("getState", getName(), "The current state", 0);
  BIND_METHOD(AutonomousLife::getState);
}

void AutonomousLife::setState(const std::string& state) {
  if (state != "solitary" && state != "interactive" && state != "disabled" &&
      state != "safeguard")
    throw AL::ALError("ALAutonomousLife", "setState", "unknown state " + state);
  Lock lock(fStateMutex);
  fState = state;
}

std::string AutonomousLife::getState() {
  Lock lock(fStateMutex);
  return fState;
}

}  // namespace sim
}  // namespace kt
