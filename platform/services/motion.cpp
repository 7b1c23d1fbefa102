#include <ktplatform/sim/motion.h>

#include <cmath>

#include "simlog.h"

namespace kt {
namespace sim {

Motion::Motion(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALMotion", world), fX(0), fY(0), fTheta(0), fFraction(1), fAwake(false) {
  // "Arms" stands for both arms: it is read and set through LArm and RArm.
  fProtection["Move"] = true;
  fProtection["LArm"] = true;
  fProtection["RArm"] = true;
  setModuleDescription("Motion: stiffness, walking and odometry.");
  functionName("wakeUp", getName(), "Stiffens the robot", 0);
  BIND_METHOD(Motion::wakeUp);
  functionName("rest", getName(), "Relaxes the robot", 0);
  BIND_METHOD(Motion::rest);
  functionName("robotIsWakeUp", getName(), "Whether the robot is awake", 0);
  BIND_METHOD(Motion::robotIsWakeUp);
  functionName("moveTo", getName(), "Walks x, y metres and turns theta radians", 0);
  addParam("x", "metres forward");
  addParam("y", "metres to the left");
  addParam("theta", "radians counter-clockwise");
  BIND_METHOD(Motion::moveTo);
  functionName("getRobotPosition", getName(), "x, y and theta in the world frame", 0);
  addParam("useSensorValues", "use the sensors");
  BIND_METHOD(Motion::getRobotPosition);
  functionName("waitUntilMoveIsFinished", getName(), "Waits for the current move", 0);
  BIND_METHOD(Motion::waitUntilMoveIsFinished);
  functionName("getExternalCollisionProtectionEnabled", getName(), "Protection flag", 0);
  addParam("name", "Move, Arms, LArm or RArm");
  BIND_METHOD(Motion::getExternalCollisionProtectionEnabled);
  functionName("setExternalCollisionProtectionEnabled", getName(), "Sets the protection", 0);
  addParam("name", "Move, Arms, LArm or RArm");
  addParam("enable", "flag");
  BIND_METHOD(Motion::setExternalCollisionProtectionEnabled);
}

void Motion::wakeUp() {
  Lock lock(fStateMutex);
  fAwake = true;
}

void Motion::rest() {
  Lock lock(fStateMutex);
  fAwake = false;
}

bool Motion::robotIsWakeUp() { return isAwake(); }

bool Motion::isAwake() const {
  Lock lock(fStateMutex);
  return fAwake;
}

void Motion::advance(float x, float y, float theta) {
  Lock lock(fStateMutex);
  x *= fFraction;
  y *= fFraction;
  theta *= fFraction;
  float c = std::cos(fTheta), s = std::sin(fTheta);
  fX += x * c - y * s;
  fY += x * s + y * c;
  fTheta += theta;
}

void Motion::moveTo(float x, float y, float theta) { advance(x, y, theta); }

std::vector<float> Motion::getRobotPosition(bool) {
  Lock lock(fStateMutex);
  std::vector<float> p;
  p.push_back(fX);
  p.push_back(fY);
  p.push_back(fTheta);
  return p;
}

void Motion::waitUntilMoveIsFinished() {
  // Moves end before their call returns.
}

static bool knownProtectionPart(const std::string& part) {
  return part == "Move" || part == "Arms" || part == "LArm" || part == "RArm";
}

bool Motion::getExternalCollisionProtectionEnabled(const std::string& part) {
  if (!knownProtectionPart(part))
    throw AL::ALError("ALMotion", "getExternalCollisionProtectionEnabled",
                      "unknown part " + part);
  Lock lock(fStateMutex);
  if (part == "Arms") return fProtection["LArm"] && fProtection["RArm"];
  return fProtection[part];
}

void Motion::setExternalCollisionProtectionEnabled(const std::string& part, bool enabled) {
  if (!knownProtectionPart(part))
    throw AL::ALError("ALMotion", "setExternalCollisionProtectionEnabled",
                      "unknown part " + part);
  Lock lock(fStateMutex);
  if (part == "Arms") {
    fProtection["LArm"] = enabled;
    fProtection["RArm"] = enabled;
  } else {
    fProtection[part] = enabled;
  }
}

void Motion::setPosition(float x, float y, float theta) {
  Lock lock(fStateMutex);
  fX = x;
  fY = y;
  fTheta = theta;
}

void Motion::setMoveFraction(float fraction) {
  Lock lock(fStateMutex);
  fFraction = fraction;
}

}  // namespace sim
}  // namespace kt
