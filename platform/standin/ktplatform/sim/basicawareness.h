// The simulated ALBasicAwareness: running or not.
#ifndef KTPLATFORM_SIM_BASICAWARENESS_H
#define KTPLATFORM_SIM_BASICAWARENESS_H

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class BasicAwareness : public Service {
public:
  BasicAwareness(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void startAwareness();
  void stopAwareness();
  bool isAwarenessRunning();

private:
  bool fRunning;
};

}  // namespace sim
}  // namespace kt

#endif
