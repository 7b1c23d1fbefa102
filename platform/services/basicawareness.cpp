#include <ktplatform/sim/basicawareness.h>

#include "simlog.h"

namespace kt {
namespace sim {

BasicAwareness::BasicAwareness(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALBasicAwareness", world), fRunning(true) {
  setModuleDescription("Looks at people and sounds.");
  functionName("startAwareness", getName(), "Starts", 0);
  BIND_METHOD(BasicAwareness::startAwareness);
  functionName("stopAwareness", getName(), "Stops", 0);
  BIND_METHOD(BasicAwareness::stopAwareness);
  functionName("isAwarenessRunning", getName(), "Whether it runs", 0);
  BIND_METHOD(BasicAwareness::isAwarenessRunning);
}

void BasicAwareness::startAwareness() {
  Lock lock(fStateMutex);
  fRunning = true;
}

void BasicAwareness::stopAwareness() {
  Lock lock(fStateMutex);
  fRunning = false;
}

bool BasicAwareness::isAwarenessRunning() {
  Lock lock(fStateMutex);
  return fRunning;
}

}  // namespace sim
}  // namespace kt
