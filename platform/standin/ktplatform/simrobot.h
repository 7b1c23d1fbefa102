// One simulated robot: a broker with every service the modules call,
// a journal of the calls made to them and fault injection.
#ifndef KTPLATFORM_SIMROBOT_H
#define KTPLATFORM_SIMROBOT_H

#include <string>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/albrokermanager.h>
#include <ktplatform/sim/autonomouslife.h>
#include <ktplatform/sim/autonomousmoves.h>
#include <ktplatform/sim/basicawareness.h>
#include <ktplatform/sim/dialog.h>
#include <ktplatform/sim/facedetection.h>
#include <ktplatform/sim/memory.h>
#include <ktplatform/sim/motion.h>
#include <ktplatform/sim/navigation.h>
#include <ktplatform/sim/posture.h>
#include <ktplatform/sim/service.h>
#include <ktplatform/sim/system.h>
#include <ktplatform/sim/texttospeech.h>
#include <ktplatform/sim/world.h>

namespace kt {
namespace sim {

class Robot {
public:
  explicit Robot(const std::string& robotName = "ruko");
  ~Robot();

  boost::shared_ptr<AL::ALBroker> broker() const { return fBroker; }
  boost::shared_ptr<AL::ALBrokerManager> brokerManager() const { return fManager; }
  World& world() { return fWorld; }

  Memory& memory() { return *fMemory; }
  Dialog& dialog() { return *fDialog; }
  Motion& motion() { return *fMotion; }
  Posture& posture() { return *fPosture; }
  Navigation& navigation() { return *fNavigation; }
  AutonomousMoves& autonomousMoves() { return *fAutonomousMoves; }
  FaceDetection& faceDetection() { return *fFaceDetection; }
  AutonomousLife& autonomousLife() { return *fAutonomousLife; }
  BasicAwareness& basicAwareness() { return *fBasicAwareness; }
  TextToSpeech& textToSpeech() { return *fTextToSpeech; }
  System& system() { return *fSystem; }

  // Releases the modules, newest first, then the services.
  void shutdown();

private:
  template <typename T> boost::shared_ptr<T> add(T* service);

  World fWorld;
  boost::shared_ptr<AL::ALBrokerManager> fManager;
  boost::shared_ptr<AL::ALBroker> fBroker;
  boost::shared_ptr<Memory> fMemory;
  boost::shared_ptr<Dialog> fDialog;
  boost::shared_ptr<Motion> fMotion;
  boost::shared_ptr<Posture> fPosture;
  boost::shared_ptr<Navigation> fNavigation;
  boost::shared_ptr<AutonomousMoves> fAutonomousMoves;
  boost::shared_ptr<FaceDetection> fFaceDetection;
  boost::shared_ptr<AutonomousLife> fAutonomousLife;
  boost::shared_ptr<BasicAwareness> fBasicAwareness;
  boost::shared_ptr<TextToSpeech> fTextToSpeech;
  boost::shared_ptr<System> fSystem;
};

}  // namespace sim
}  // namespace kt

#endif
