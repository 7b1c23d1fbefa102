// The simulated ALRobotPosture: predefined postures.
#ifndef KTPLATFORM_SIM_POSTURE_H
#define KTPLATFORM_SIM_POSTURE_H

#include <string>
#include <vector>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class Posture : public Service {
public:
  Posture(boost::shared_ptr<AL::ALBroker> broker, World& world);
  bool goToPosture(const std::string& name, float speed);
  std::string getPosture();
  std::vector<std::string> getPostureList();
  void setPosture(const std::string& name);

private:
  std::string fPosture;
};

}  // namespace sim
}  // namespace kt

#endif
