// The simulated ALFaceDetection: a face database.
#ifndef KTPLATFORM_SIM_FACEDETECTION_H
#define KTPLATFORM_SIM_FACEDETECTION_H

#include <string>
#include <vector>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class FaceDetection : public Service {
public:
  FaceDetection(boost::shared_ptr<AL::ALBroker> broker, World& world);
  bool learnFace(const std::string& name);
  bool forgetPerson(const std::string& name);
  bool clearDatabase();
  std::vector<std::string> getLearnedFacesList();

private:
  std::vector<std::string> fFaces;
};

}  // namespace sim
}  // namespace kt

#endif
