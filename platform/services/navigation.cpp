#include <ktplatform/sim/navigation.h>

namespace kt {
namespace sim {

Navigation::Navigation(boost::shared_ptr<AL::ALBroker> broker, World& world, Motion& motion)
  : Service(broker, "ALNavigation", world), fMotion(motion) {
  setModuleDescription("Navigation with obstacle avoidance.");
  functionName("navigateTo", getName(), "Goes x, y metres from where the robot stands", 0);
  addParam("x", "metres forward");
  addParam("y", "metres to the left");
  BIND_METHOD(Navigation::navigateTo);
}

bool Navigation::navigateTo(float x, float y) {
  fMotion.advance(x, y, 0);
  return true;
}

}  // namespace sim
}  // namespace kt
