// The simulated ALMotion: stiffness, walking and odometry.
#ifndef KTPLATFORM_SIM_MOTION_H
#define KTPLATFORM_SIM_MOTION_H

#include <map>
#include <string>
#include <vector>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class Motion : public Service {
public:
  Motion(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void wakeUp();
  void rest();
  bool robotIsWakeUp();
  void moveTo(float x, float y, float theta);
  std::vector<float> getRobotPosition(bool useSensorValues);
  void waitUntilMoveIsFinished();
  bool getExternalCollisionProtectionEnabled(const std::string& part);
  void setExternalCollisionProtectionEnabled(const std::string& part, bool enabled);

  // Moves by x forward and y to the left of the current heading.
  void advance(float x, float y, float theta);
  void setPosition(float x, float y, float theta);
  // Share of each move that the robot really makes (1 = all of it).
  void setMoveFraction(float fraction);
  bool isAwake() const;

private:
  float fX, fY, fTheta, fFraction;
  bool fAwake;
  std::map<std::string, bool> fProtection;
};

}  // namespace sim
}  // namespace kt

#endif
