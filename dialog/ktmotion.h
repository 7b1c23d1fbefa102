// KTMotion: carries out robot motions and face database operations and
// reports each success to the dialog as a completion event.
#ifndef KTMOTION_H
#define KTMOTION_H

#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/alproxy.h>

class KTMotion {
public:
  // Throws AL::ALError when one of the services is missing.
  explicit KTMotion(boost::shared_ptr<AL::ALBroker> broker);
  ~KTMotion();

  // Wakes the robot and stands it up.
  void initPosture();
  // variable: name, type, then the type's arguments; varmap: stored names.
  void setMotion(std::vector<std::string> variable,
                 std::map<std::string, std::string> varmap);
  // Two decimals.
  std::string ftostr(float number);

  // Owned here; the command mode borrows both.
  AL::ALProxy* motion;
  AL::ALProxy* pose;

private:
  KTMotion(const KTMotion&);
  KTMotion& operator=(const KTMotion&);

  bool hasFields(const std::vector<std::string>& variable, size_t count);
  void walk(float x, float y, float z);
  void navigate(float x, float y);
  void raiseDone(const std::string& name);

  boost::shared_ptr<AL::ALBroker> broker;
  AL::ALProxy* amove;
  AL::ALProxy* navi;
  AL::ALProxy* face;
  float world_x;
  float world_y;
  float world_z;
};

#endif
