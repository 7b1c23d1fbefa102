#include <ktplatform/sim/facedetection.h>

#include <algorithm>

#include "simlog.h"

namespace kt {
namespace sim {

FaceDetection::FaceDetection(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALFaceDetection", world) {
  setModuleDescription("Face detection and the face database.");
  functionName("learnFace", getName(), "Learns the face in view under a name", 0);
  addParam("name", "person");
  BIND_METHOD(FaceDetection::learnFace);
  functionName("forgetPerson", getName(), "Removes a person", 0);
  addParam("name", "person");
  BIND_METHOD(FaceDetection::forgetPerson);
  functionName("clearDatabase", getName(), "Removes every person", 0);
  BIND_METHOD(FaceDetection::clearDatabase);
  functionName("getLearnedFacesList", getName(), "Known persons", 0);
  BIND_METHOD(FaceDetection::getLearnedFacesList);
}

bool FaceDetection::learnFace(const std::string& name) {
  if (name.empty()) return false;
  Lock lock(fStateMutex);
  if (std::find(fFaces.begin(), fFaces.end(), name) == fFaces.end()) fFaces.push_back(name);
  return true;
}

bool FaceDetection::forgetPerson(const std::string& name) {
  Lock lock(fStateMutex);
  std::vector<std::string>::iterator it = std::find(fFaces.begin(), fFaces.end(), name);
  if (it == fFaces.end()) return false;
  fFaces.erase(it);
  return true;
}

bool FaceDetection::clearDatabase() {
  Lock lock(fStateMutex);
  fFaces.clear();
  return true;
}

std::vector<std::string> FaceDetection::getLearnedFacesList() {
  Lock lock(fStateMutex);
  return fFaces;
}

}  // namespace sim
}  // namespace kt
