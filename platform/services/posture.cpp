#include <ktplatform/sim/posture.h>

#include "simlog.h"

namespace kt {
namespace sim {

static const char* const kPostures[] = {"Stand", "StandInit", "StandZero", "Crouch", "Sit",
                                        "SitRelax", "LyingBelly", "LyingBack"};

Posture::Posture(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALRobotPosture", world), fPosture("Crouch") {
  setModuleDescription("Predefined postures.");
  functionName("goToPosture", getName(), "Goes to a known posture; false for others", 0);
  addParam("postureName", "posture");
  addParam("maxSpeedFraction", "speed between 0 and 1");
  BIND_METHOD(Posture::goToPosture);
  functionName("getPosture", getName(), "The current posture", 0);
  BIND_METHOD(Posture::getPosture);
  functionName("getPostureList", getName(), "The known postures", 0);
  BIND_METHOD(Posture::getPostureList);
}

bool Posture::goToPosture(const std::string& name, float) {
  for (size_t i = 0; i < sizeof kPostures / sizeof kPostures[0]; ++i) {
    if (name == kPostures[i]) {
      Lock lock(fStateMutex);
      fPosture = name;
      return true;
    }
  }
  return false;
}

std::string Posture::getPosture() {
  Lock lock(fStateMutex);
  return fPosture;
}

std::vector<std::string> Posture::getPostureList() {
  return std::vector<std::string>(kPostures, kPostures + sizeof kPostures / sizeof kPostures[0]);
}

void Posture::setPosture(const std::string& name) {
  Lock lock(fStateMutex);
  fPosture = name;
}

}  // namespace sim
}  // namespace kt
