#include "ktmotion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <alproxies/almemoryproxy.h>
#include <alvalue/alvalue.h>
#include <qi/log.hpp>
#include <qi/os.hpp>

#include "rukolog.h"


namespace {

// The completion event name is "did_" + the name in this many bytes.
const size_t kEventNameSize = 512;

float fieldToFloat(const std::string& field) { return std::strtof(field.c_str(), 0); }

}  // namespace

KTMotion::KTMotion(boost::shared_ptr<AL::ALBroker> broker)
    : motion(0), pose(0), broker(broker), amove(0), navi(0), face(0),
      world_x(0), world_y(0), world_z(0) {
  // Held locally until all five exist, so that a missing service leaks none.
  std::unique_ptr<AL::ALProxy> newPose(new AL::ALProxy(broker, "ALRobotPosture", 0, 0));
  std::unique_ptr<AL::ALProxy> newMotion(new AL::ALProxy(broker, "ALMotion", 0, 0));
  std::unique_ptr<AL::ALProxy> newNavi(new AL::ALProxy(broker, "ALNavigation", 0, 0));
  std::unique_ptr<AL::ALProxy> newAmove(new AL::ALProxy(broker, "ALAutonomousMoves", 0, 0));
  std::unique_ptr<AL::ALProxy> newFace(new AL::ALProxy(broker, "ALFaceDetection", 0, 0));

  AL::ALValue position = newMotion->call<AL::ALValue>("getRobotPosition", false);

  pose = newPose.release();
  motion = newMotion.release();
  navi = newNavi.release();
  amove = newAmove.release();
  face = newFace.release();
  world_x = position[0];
  world_y = position[1];
  world_z = position[2];

  KTLOG(qi::LogLevel_Info) << "*****　ロボットの現在位置 x = " << ftostr(world_x)
                           << ", y = " << ftostr(world_y) << ",z = " << ftostr(world_z)
                           << " ******";
}

KTMotion::~KTMotion() {
  delete pose;
  delete motion;
  delete amove;
  delete face;
  delete navi;
  broker.reset();
}

void KTMotion::initPosture() {
  motion->callVoid("wakeUp");
  bool ok = pose->call<bool>("goToPosture", std::string("StandInit"), 0.4);
  if (ok)
    KTLOG(qi::LogLevel_Info) << "*****　ロボットの姿勢を初期化しました ******";
  else
    KTLOG(qi::LogLevel_Warning) << "*****　ロボットの姿勢を初期化できません ******";
}

void KTMotion::setMotion(std::vector<std::string> variable,
                         std::map<std::string, std::string> varmap) {
  std::string posture = pose->call<std::string>("getPosture");
  KTLOG(qi::LogLevel_Info) << "現在のロボットのポーズ: " << posture;

  // A call without a type matches no motion.
  std::string type = variable.size() > 1 ? variable[1] : std::string();
  KTLOG(qi::LogLevel_Info) << "呼び出された動作: " << type;

  amove->callVoid("setExpressiveListeningEnabled", false);
  qi::os::sleep(1);

  bool result = false;
  if (type == "sitdown") {
    result = pose->call<bool>("goToPosture", std::string("Sit"), 0.8);
  } else if (type == "standup") {
    result = pose->call<bool>("goToPosture", std::string("Stand"), 0.8);
  } else if (type == "crouch") {
    result = pose->call<bool>("goToPosture", std::string("Crouch"), 0.8);
  } else if (type == "lyingback") {
    result = pose->call<bool>("goToPosture", std::string("LyingBack"), 0.8);
  } else if (type == "facelearn") {
    if (hasFields(variable, 3))
      result = face->call<bool>("learnFace", varmap[variable[2]]);
  } else if (type == "faceforget") {
    if (hasFields(variable, 3))
      result = face->call<bool>("forgetPerson", varmap[variable[2]]);
  } else if (type == "facerecog") {
    // Face recognition has a route of its own.
    result = false;
  } else if (type == "faceclear") {
    result = face->call<bool>("clearDatabase");
  } else if (type == "walk") {
    if (hasFields(variable, 5)) {
      walk(fieldToFloat(variable[2]), fieldToFloat(variable[3]), fieldToFloat(variable[4]));
      result = true;
    }
  } else if (type == "navi") {
    if (hasFields(variable, 4)) {
      navigate(fieldToFloat(variable[2]), fieldToFloat(variable[3]));
      result = true;
    }
  } else {
    KTLOG(qi::LogLevel_Info) << "対応する動作タイプがありませんでした。";
  }

  if (result) {
    KTLOG(qi::LogLevel_Info) << "動作に成功しました ";
    raiseDone(variable[0]);
  } else {
    KTLOG(qi::LogLevel_Warning) << "動作に失敗しました ";
  }

  amove->callVoid("setExpressiveListeningEnabled", true);
}

std::string KTMotion::ftostr(float number) {
  char buf[30];
  int len = std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(number));
  if (len >= 0 && static_cast<size_t>(len) < sizeof buf) return std::string(buf);
  // Magnitudes from 10^25 on need more room (FLT_MAX has 39 digits).
  char wide[64];
  std::snprintf(wide, sizeof wide, "%.2f", static_cast<double>(number));
  return std::string(wide);
}

bool KTMotion::hasFields(const std::vector<std::string>& variable, size_t count) {
  if (variable.size() >= count) return true;
  KTLOG(qi::LogLevel_Warning) << "動作に必要な値が足りません。 値の数 = " << variable.size();
  return false;
}

void KTMotion::walk(float x, float y, float z) {
  // Added component by component: the values serve the log only.
  float ex = world_x + x;
  float ey = world_y + y;
  float ez = world_z + z;
  KTLOG(qi::LogLevel_Info) << "ロボットの移動距離 [ △x = " << ftostr(x) << ", △y = " << ftostr(y)
                           << ",△z = " << ftostr(z) << " ]";
  KTLOG(qi::LogLevel_Info) << "ロボットの到達予定位置 [ x = " << ftostr(ex) << ", y = "
                           << ftostr(ey) << ",z = " << ftostr(ez) << " ]";
  motion->callVoid("moveTo", x, y, z);
  AL::ALValue position = motion->call<AL::ALValue>("getRobotPosition", false);
  world_x = position[0];
  world_y = position[1];
  world_z = position[2];
  KTLOG(qi::LogLevel_Info) << "ロボットの実現位置 [ x = " << ftostr(world_x) << ", y = "
                           << ftostr(world_y) << ",z = " << ftostr(world_z) << " ]";
}

void KTMotion::navigate(float x, float y) {
  float ex = world_x + x;
  float ey = world_y + y;
  KTLOG(qi::LogLevel_Info) << "ロボットの移動距離 [ △x = " << ftostr(x) << ", △y = " << ftostr(y)
                           << " ]";
  KTLOG(qi::LogLevel_Info) << "ロボットの到達予定位置 [ x = " << ftostr(ex) << ", y = "
                           << ftostr(ey) << " ]";
  navi->call<AL::ALValue>("navigateTo", x, y);
  // The heading is left as the last walk set it.
  AL::ALValue position = motion->call<AL::ALValue>("getRobotPosition", false);
  world_x = position[0];
  world_y = position[1];
  KTLOG(qi::LogLevel_Info) << "ロボットの実現位置 [ x = " << ftostr(world_x) << ", y = "
                           << ftostr(world_y) << " ]";
}

void KTMotion::raiseDone(const std::string& name) {
  char didevent[kEventNameSize];
  std::memset(didevent, 0, sizeof didevent);
  std::strcpy(didevent, "did_");
  // A cut name would wake the wrong listener, so a name that does not fit
  // raises nothing.
  if (name.size() >= sizeof didevent - std::strlen(didevent)) {
    KTLOG(qi::LogLevel_Warning) << "変数名が長すぎるため終了イベントを登録できません。 長さ = "
                                << name.size();
    return;
  }
  boost::shared_ptr<AL::ALMemoryProxy> memory =
      broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");
  std::memcpy(didevent + 4, name.c_str(), name.size());
  KTLOG(qi::LogLevel_Info) << "終了後の変数イベントの登録 didevent =  " << didevent;
  memory->raiseEvent(didevent, AL::ALValue(1));
  KTLOG(qi::LogLevel_Info) << "終了後の変数に入力を終えました ";
  memory.reset();
}
