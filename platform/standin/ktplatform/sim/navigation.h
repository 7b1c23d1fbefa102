// The simulated ALNavigation: moves through ALMotion's odometry.
#ifndef KTPLATFORM_SIM_NAVIGATION_H
#define KTPLATFORM_SIM_NAVIGATION_H

#include <ktplatform/sim/motion.h>
#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class Navigation : public Service {
public:
  Navigation(boost::shared_ptr<AL::ALBroker> broker, World& world, Motion& motion);
  bool navigateTo(float x, float y);

private:
  Motion& fMotion;
};

}  // namespace sim
}  // namespace kt

#endif
