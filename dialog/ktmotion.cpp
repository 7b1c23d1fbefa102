#include "ktmotion.h"

KTMotion::KTMotion(boost::shared_ptr<AL::ALBroker> broker)
    : motion(0), pose(0), broker(broker), amove(0), navi(0), face(0),
      world_x(0), world_y(0), world_z(0) {}

KTMotion::~KTMotion() {}

void KTMotion::initPosture() {}

void KTMotion::setMotion(std::vector<std::string> variable,
                         std::map<std::string, std::string> varmap) {
  (void)variable;
  (void)varmap;
}

std::string KTMotion::ftostr(float number) {
  (void)number;
  return std::string();
}
