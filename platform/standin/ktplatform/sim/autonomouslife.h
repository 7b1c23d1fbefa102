// The simulated ALAutonomousLife: its state.
#ifndef KTPLATFORM_SIM_AUTONOMOUSLIFE_H
#define KTPLATFORM_SIM_AUTONOMOUSLIFE_H

#include <string>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class AutonomousLife : public Service {
public:
  AutonomousLife(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setState(const std::string& state);
  std::string getState();

private:
  std::string fState;
};

}  // namespace sim
}  // namespace kt

#endif
