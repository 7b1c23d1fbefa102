// The simulated ALAutonomousMoves: the expressive listening flag.
#ifndef KTPLATFORM_SIM_AUTONOMOUSMOVES_H
#define KTPLATFORM_SIM_AUTONOMOUSMOVES_H

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class AutonomousMoves : public Service {
public:
  AutonomousMoves(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setExpressiveListeningEnabled(bool enabled);
  bool getExpressiveListeningEnabled();

private:
  bool fListening;
};

}  // namespace sim
}  // namespace kt

#endif
