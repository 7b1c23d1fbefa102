// The robot's request protocol: a line of JSON read into platform values,
// converted as bound methods convert their arguments, written back, and
// handled as a request by a robot serving its socket with every module.
#include <cstdlib>
#include <string>
#include <vector>

#include <alerror/alerror.h>
#include <ktplatform/json.h>
#include <ktplatform/remote.h>

#include "fuzz_support.h"
#include "ktlarkin.h"
#include "ktorrin.h"
#include "ktruko.h"
#include "kttelpnet.h"
#include "ktvesper.h"
#include "server.h"

namespace {

// Every conversion a bound method's parameter may ask of a value.
void convert(const AL::ALValue& v) {
  v.toString(AL::VerbosityMini);
  try { (void)static_cast<int>(v); } catch (const AL::ALError&) {}
  try { (void)static_cast<float>(v); } catch (const AL::ALError&) {}
  try { (void)static_cast<bool>(v); } catch (const AL::ALError&) {}
  try { (void)static_cast<std::string>(v); } catch (const AL::ALError&) {}
  try { (void)static_cast<std::vector<float> >(v); } catch (const AL::ALError&) {}
  try { (void)static_cast<std::vector<std::string> >(v); } catch (const AL::ALError&) {}
  if (v.isArray())
    for (unsigned int i = 0; i < v.getSize(); ++i) convert(v[i]);
}

kt::host::Server* gServer = 0;

std::string startRobot() {
  kt::fuzz::ownNetwork();
  boost::shared_ptr<AL::ALBroker> broker = kt::fuzz::robot().broker();
  KTTelpnet::searchLimitMs = 10;
  AL::ALModule::createModule<KTRuko>(broker, "KTRuko");
  AL::ALModule::createModule<KTVesper>(broker, "KTVesper");
  AL::ALModule::createModule<KTLarkin>(broker, "KTLarkin");
  AL::ALModule::createModule<KTOrrin>(broker, "KTOrrin");
  std::string path = kt::fuzz::root() + "/robot.sock";
  gServer = new kt::host::Server(kt::fuzz::robot(), path);
  std::string error;
  if (!gServer->listen(error)) abort();
  gServer->start();
  // Its clients' threads end with it, before the process looks for leaks.
  atexit([] {
    gServer->stop(5000);
    delete gServer;
  });
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string socket = startRobot();
  std::string line(reinterpret_cast<const char*>(data), size);
  AL::ALValue value;
  if (kt::remote::decode(line, value)) {
    convert(value);
    AL::ALValue again;
    if (!kt::remote::decode(kt::remote::encode(value), again)) abort();
  }
  if (line.find('\n') != std::string::npos) return 0;
  kt::fuzz::robot().world().clearFaults();
  kt::remote::Connection robot;
  if (!robot.open(socket, 0)) abort();
  try {
    kt::remote::writeAll(robot.fd(), line + "\n");
    AL::ALValue reply;
    robot.receive(reply, 100);
  } catch (const kt::remote::RobotGone&) {
    // The robot closes on a request it cannot read; it must still serve.
  }
  robot.close();
  if (!robot.open(socket, 0)) abort();
  return 0;
}
