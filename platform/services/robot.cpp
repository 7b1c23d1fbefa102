#include <ktplatform/simrobot.h>

namespace kt {
namespace sim {

template <typename T> boost::shared_ptr<T> Robot::add(T* service) {
  boost::shared_ptr<T> p(service);
  fBroker->registerModule(p);
  return p;
}

Robot::Robot(const std::string& robotName)
  : fManager(new AL::ALBrokerManager()),
    fBroker(AL::ALBroker::createBroker("ktrobot", fManager)) {
  fMemory = add(new Memory(fBroker, fWorld));
  fDialog = add(new Dialog(fBroker, fWorld));
  fMotion = add(new Motion(fBroker, fWorld));
  fPosture = add(new Posture(fBroker, fWorld));
  fNavigation = add(new Navigation(fBroker, fWorld, *fMotion));
  fAutonomousMoves = add(new AutonomousMoves(fBroker, fWorld));
  fFaceDetection = add(new FaceDetection(fBroker, fWorld));
  fAutonomousLife = add(new AutonomousLife(fBroker, fWorld));
  fBasicAwareness = add(new BasicAwareness(fBroker, fWorld));
  fTextToSpeech = add(new TextToSpeech(fBroker, fWorld));
  fSystem = add(new System(fBroker, fWorld, robotName));
}

Robot::~Robot() { shutdown(); }

void Robot::shutdown() {
  if (fBroker) fBroker->shutdown();
}

}  // namespace sim
}  // namespace kt
