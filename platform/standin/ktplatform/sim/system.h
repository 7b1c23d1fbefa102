// The simulated ALSystem: the robot's name.
#ifndef KTPLATFORM_SIM_SYSTEM_H
#define KTPLATFORM_SIM_SYSTEM_H

#include <string>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class System : public Service {
public:
  System(boost::shared_ptr<AL::ALBroker> broker, World& world, const std::string& robotName);
  std::string robotName();

private:
  std::string fName;
};

}  // namespace sim
}  // namespace kt

#endif
