#include <ktplatform/sim/autonomousmoves.h>

#include "simlog.h"

namespace kt {
namespace sim {

AutonomousMoves::AutonomousMoves(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALAutonomousMoves", world), fListening(true) {
  setModuleDescription("Small autonomous moves.");
  functionName("setExpressiveListeningEnabled", getName(), "Moves while listening", 0);
  addParam("enabled", "flag");
  BIND_METHOD(AutonomousMoves::setExpressiveListeningEnabled);
  functionName("getExpressiveListeningEnabled", getName(), "The flag", 0);
  BIND_METHOD(AutonomousMoves::getExpressiveListeningEnabled);
}

void AutonomousMoves::setExpressiveListeningEnabled(bool enabled) {
  Lock lock(fStateMutex);
  fListening = enabled;
}

bool AutonomousMoves::getExpressiveListeningEnabled() {
  Lock lock(fStateMutex);
  return fListening;
}

}  // namespace sim
}  // namespace kt
