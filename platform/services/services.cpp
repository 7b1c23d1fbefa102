#include <ktplatform/simrobot.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include <ktplatform/json.h>
#include <qi/log.hpp>

namespace kt {
namespace sim {

typedef std::lock_guard<std::mutex> Lock;

#define SIM_LOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, "simrobot")

void World::record(const std::string& service, const std::string& method,
                   const std::vector<AL::ALValue>& args) {
  std::string line = service + "." + method + " " + toJson(AL::ALValue(args));
  Lock lock(fMutex);
  fJournal.push_back(line);
}

std::vector<std::string> World::journal() const {
  Lock lock(fMutex);
  return fJournal;
}

void World::clearJournal() {
  Lock lock(fMutex);
  fJournal.clear();
}

void World::setFault(const std::string& serviceMethod, FaultMode mode) {
  Lock lock(fMutex);
  if (mode == FaultNone)
    fFaults.erase(serviceMethod);
  else
    fFaults[serviceMethod] = mode;
}

FaultMode World::fault(const std::string& serviceMethod) const {
  Lock lock(fMutex);
  std::map<std::string, FaultMode>::const_iterator it = fFaults.find(serviceMethod);
  return it == fFaults.end() ? FaultNone : it->second;
}

void World::clearFaults() {
  Lock lock(fMutex);
  fFaults.clear();
}

Service::Service(boost::shared_ptr<AL::ALBroker> broker, const std::string& name, World& world)
  : AL::ALModule(broker, name), fWorld(world) {}

AL::ALValue Service::callMethod(const std::string& method, const std::vector<AL::ALValue>& args) {
  fWorld.record(getName(), method, args);
  switch (fWorld.fault(getName() + "." + method)) {
    case FaultThrow: throw AL::ALError(getName(), method, "fault injected");
    case FaultFalse: return AL::ALValue(false);
    case FaultNone: break;
  }
  return invokeBound(method, args);
}

// ---------------------------------------------------------------- ALMemory

Memory::Memory(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALMemory", world), fNextObserver(1), fTelling(false) {
  setModuleDescription("Data store and event bus of the robot.");
  functionName("subscribeToEvent", getName(), "Calls a module's method on each raise of key", 0);
  addParam("name", "event key");
  addParam("callbackModule", "module to call");
  addParam("callbackMethod", "bound method of that module");
  BIND_METHOD(Memory::subscribeToEvent);
  functionName("unsubscribeToEvent", getName(), "Ends a subscription", 0);
  addParam("name", "event key");
  addParam("callbackModule", "subscribed module");
  BIND_METHOD(Memory::unsubscribeToEvent);
  functionName("raiseEvent", getName(), "Stores a value and delivers it to the subscribers", 0);
  addParam("name", "event key");
  addParam("value", "value");
  BIND_METHOD(Memory::raiseEvent);
  functionName("insertData", getName(), "Stores a value", 0);
  addParam("name", "key");
  addParam("value", "value");
  BIND_METHOD(Memory::insertData);
  functionName("getData", getName(), "Returns the value stored under a key", 0);
  addParam("name", "key");
  BIND_METHOD(Memory::getData);
}

void Memory::subscribeToEvent(const std::string& key, const std::string& module,
                              const std::string& callback) {
  Lock lock(fStateMutex);
  for (size_t i = 0; i < fSubscriptions.size(); ++i) {
    if (fSubscriptions[i].key == key && fSubscriptions[i].module == module) {
      fSubscriptions[i].callback = callback;
      return;
    }
  }
  Subscription s;
  s.key = key;
  s.module = module;
  s.callback = callback;
  fSubscriptions.push_back(s);
}

void Memory::unsubscribeToEvent(const std::string& key, const std::string& module) {
  {
    Lock lock(fStateMutex);
    for (size_t i = 0; i < fSubscriptions.size(); ++i) {
      if (fSubscriptions[i].key == key && fSubscriptions[i].module == module) {
        fSubscriptions.erase(fSubscriptions.begin() + i);
        return;
      }
    }
  }
  SIM_LOG(qi::LogLevel_Info) << "ALMemory: " << module << " is not subscribed to " << key;
}

bool Memory::stillSubscribed(const Subscription& s) const {
  Lock lock(fStateMutex);
  for (size_t i = 0; i < fSubscriptions.size(); ++i)
    if (fSubscriptions[i].key == s.key && fSubscriptions[i].module == s.module &&
        fSubscriptions[i].callback == s.callback)
      return true;
  return false;
}

// Observers are told in the order the events were stored: a watcher then
// sees a completion event after the variable whose subscriber raised it, and
// the last value it sees is the one stored. One thread at a time tells them,
// with no lock held; an event raised meanwhile, by another thread or by an
// observer, waits in the queue for the thread already telling.
void Memory::tellObservers() {
  {
    Lock lock(fStateMutex);
    if (fTelling) return;
    fTelling = true;
  }
  for (;;) {
    Raised event;
    {
      Lock lock(fStateMutex);
      if (fUntold.empty()) {
        fTelling = false;
        return;
      }
      event = fUntold.front();
      fUntold.pop_front();
    }
    for (size_t i = 0; i < event.observers.size(); ++i) {
      try {
        event.observers[i](event.key, event.value);
      } catch (const std::exception& e) {
        SIM_LOG(qi::LogLevel_Warning) << "ALMemory: an observer failed on " << event.key << ": "
                                      << e.what();
      }
    }
  }
}

void Memory::raiseEvent(const std::string& key, const AL::ALValue& value) {
  std::vector<Subscription> snapshot;
  {
    Lock lock(fStateMutex);
    fData[key] = value;
    for (size_t i = 0; i < fSubscriptions.size(); ++i)
      if (fSubscriptions[i].key == key) snapshot.push_back(fSubscriptions[i]);
    Raised raised;
    raised.key = key;
    raised.value = value;
    for (std::map<int, Observer>::iterator it = fObservers.begin(); it != fObservers.end(); ++it)
      raised.observers.push_back(it->second);
    if (!raised.observers.empty()) fUntold.push_back(raised);
  }
  tellObservers();
  boost::shared_ptr<AL::ALBroker> broker = getParentBroker();
  // Delivered on the raiser's thread, with no lock held: a callback may
  // raise, subscribe or unsubscribe in turn.
  for (size_t i = 0; i < snapshot.size(); ++i) {
    const Subscription& s = snapshot[i];
    if (!stillSubscribed(s)) continue;
    boost::shared_ptr<AL::ALModuleCore> module = broker ? broker->getModuleByName(s.module)
                                                        : boost::shared_ptr<AL::ALModuleCore>();
    if (!module) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: subscriber " << s.module << " of " << key
                                    << " is not registered";
      continue;
    }
    if (!module->isMethodBound(s.callback)) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: " << s.module << " binds no method "
                                    << s.callback << ", event " << key << " skipped";
      continue;
    }
    std::vector<AL::ALValue> args;
    args.push_back(AL::ALValue(key));
    args.push_back(value);
    args.push_back(AL::ALValue(s.module));
    try {
      module->callMethod(s.callback, args);
    } catch (const std::exception& e) {
      SIM_LOG(qi::LogLevel_Warning) << "ALMemory: " << s.module << "." << s.callback
                                    << " failed on " << key << ": " << e.what();
    }
  }
}

void Memory::insertData(const std::string& key, const AL::ALValue& value) {
  Lock lock(fStateMutex);
  fData[key] = value;
}

AL::ALValue Memory::getData(const std::string& key) {
  Lock lock(fStateMutex);
  std::map<std::string, AL::ALValue>::const_iterator it = fData.find(key);
  if (it == fData.end()) throw AL::ALError("ALMemory", "getData", "no data under key " + key);
  return it->second;
}

bool Memory::hasData(const std::string& key) const {
  Lock lock(fStateMutex);
  return fData.count(key) != 0;
}

std::vector<std::pair<std::string, std::string> > Memory::subscribers(
    const std::string& key) const {
  Lock lock(fStateMutex);
  std::vector<std::pair<std::string, std::string> > out;
  for (size_t i = 0; i < fSubscriptions.size(); ++i)
    if (fSubscriptions[i].key == key)
      out.push_back(std::make_pair(fSubscriptions[i].module, fSubscriptions[i].callback));
  return out;
}

int Memory::addObserver(const Observer& observer) {
  Lock lock(fStateMutex);
  int id = fNextObserver++;
  fObservers[id] = observer;
  return id;
}

void Memory::removeObserver(int id) {
  Lock lock(fStateMutex);
  fObservers.erase(id);
}

// ---------------------------------------------------------------- ALDialog

Dialog::Dialog(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALDialog", world), fLanguage("English"), fOutputs(0) {
  setModuleDescription("Dialog engine: topics, focus and forced input.");
  functionName("setLanguage", getName(), "Sets the dialog language", 0);
  BIND_METHOD(Dialog::setLanguage);
  functionName("getLanguage", getName(), "The dialog language", 0);
  BIND_METHOD(Dialog::getLanguage);
  functionName("subscribe", getName(), "Starts the dialog for a subscriber", 0);
  BIND_METHOD(Dialog::subscribe);
  functionName("unsubscribe", getName(), "Ends the dialog for a subscriber", 0);
  BIND_METHOD(Dialog::unsubscribe);
  functionName("loadTopic", getName(), "Loads a topic file and returns its topic name", 0);
  BIND_METHOD(Dialog::loadTopic);
  functionName("unloadTopic", getName(), "Unloads a topic", 0);
  BIND_METHOD(Dialog::unloadTopic);
  functionName("activateTopic", getName(), "Activates a loaded topic", 0);
  BIND_METHOD(Dialog::activateTopic);
  functionName("deactivateTopic", getName(), "Deactivates a topic", 0);
  BIND_METHOD(Dialog::deactivateTopic);
  functionName("setFocus", getName(), "Gives a loaded topic the focus", 0);
  BIND_METHOD(Dialog::setFocus);
  functionName("forceInput", getName(), "Takes a text as if heard", 0);
  BIND_METHOD(Dialog::forceInput);
  functionName("forceOutput", getName(), "Makes the robot propose something", 0);
  BIND_METHOD(Dialog::forceOutput);
  functionName("getLoadedTopics", getName(), "Loaded topic names", 0);
  BIND_METHOD(Dialog::getLoadedTopics);
  functionName("getActivatedTopics", getName(), "Activated topic names", 0);
  BIND_METHOD(Dialog::getActivatedTopics);
}

void Dialog::setLanguage(const std::string& language) {
  Lock lock(fStateMutex);
  fLanguage = language;
}

std::string Dialog::getLanguage() {
  Lock lock(fStateMutex);
  return fLanguage;
}

void Dialog::subscribe(const std::string& name) {
  Lock lock(fStateMutex);
  fSubscribers.insert(name);
}

void Dialog::unsubscribe(const std::string& name) {
  Lock lock(fStateMutex);
  if (!fSubscribers.erase(name))
    throw AL::ALError("ALDialog", "unsubscribe", name + " is not subscribed");
}

// Far beyond any topic file.
const off_t kMaxTopicFile = 16 << 20;

static std::string topicNameOf(const std::string& path) {
  // A caller may name a device or a pipe, which would be read without end.
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    throw AL::ALError("ALDialog", "loadTopic", "cannot read topic file " + path);
  if (st.st_size > kMaxTopicFile)
    throw AL::ALError("ALDialog", "loadTopic", "topic file " + path + " is too large");
  std::ifstream in(path.c_str());
  if (!in) throw AL::ALError("ALDialog", "loadTopic", "cannot read topic file " + path);
  std::string line;
  while (std::getline(in, line)) {
    std::string::size_type p = line.find_first_not_of(" \t\r");
    if (p == std::string::npos || line.compare(p, 6, "topic:") != 0) continue;
    p = line.find_first_not_of(" \t", p + 6);
    if (p == std::string::npos || line[p] != '~') continue;
    std::string::size_type open = line.find('(', p);
    if (open == std::string::npos) continue;
    std::string name = line.substr(p + 1, open - p - 1);
    name.erase(name.find_last_not_of(" \t") + 1);
    if (!name.empty()) return name;
  }
  throw AL::ALError("ALDialog", "loadTopic", "no topic line in " + path);
}

std::string Dialog::loadTopic(const std::string& path) {
  std::string name = topicNameOf(path);
  Lock lock(fStateMutex);
  if (fLoaded.count(name))
    throw AL::ALError("ALDialog", "loadTopic", "topic " + name + " is already loaded");
  fLoaded[name] = path;
  fLoadOrder.push_back(name);
  return name;
}

void Dialog::unloadTopic(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fLoaded.erase(topic))
    throw AL::ALError("ALDialog", "unloadTopic", "topic " + topic + " is not loaded");
  fLoadOrder.erase(std::find(fLoadOrder.begin(), fLoadOrder.end(), topic));
  fActive.erase(topic);
  if (fFocus == topic) fFocus.clear();
}

void Dialog::activateTopic(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fLoaded.count(topic))
    throw AL::ALError("ALDialog", "activateTopic", "topic " + topic + " is not loaded");
  fActive.insert(topic);
}

void Dialog::deactivateTopic(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fLoaded.count(topic))
    throw AL::ALError("ALDialog", "deactivateTopic", "topic " + topic + " is not loaded");
  fActive.erase(topic);
}

void Dialog::setFocus(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fActive.count(topic))
    throw AL::ALError("ALDialog", "setFocus", "topic " + topic + " is not activated");
  fFocus = topic;
}

void Dialog::forceInput(const std::string& text) {
  Lock lock(fStateMutex);
  fInputs.push_back(text);
}

void Dialog::forceOutput() {
  Lock lock(fStateMutex);
  ++fOutputs;
}

std::vector<std::string> Dialog::getLoadedTopics() {
  Lock lock(fStateMutex);
  return fLoadOrder;
}

std::vector<std::string> Dialog::getActivatedTopics() {
  Lock lock(fStateMutex);
  std::vector<std::string> out;
  for (size_t i = 0; i < fLoadOrder.size(); ++i)
    if (fActive.count(fLoadOrder[i])) out.push_back(fLoadOrder[i]);
  return out;
}

std::set<std::string> Dialog::subscribers() const {
  Lock lock(fStateMutex);
  return fSubscribers;
}

std::string Dialog::focus() const {
  Lock lock(fStateMutex);
  return fFocus;
}

std::vector<std::string> Dialog::inputs() const {
  Lock lock(fStateMutex);
  return fInputs;
}

int Dialog::outputsForced() const {
  Lock lock(fStateMutex);
  return fOutputs;
}

// ---------------------------------------------------------------- ALMotion

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

// ---------------------------------------------------------------- ALRobotPosture

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

// ---------------------------------------------------------------- ALNavigation

Navigation::Navigation(boost::shared_ptr<AL::ALBroker> broker, World& world, Motion& motion)
  : Service(broker, "ALNavigation", world), fMotion(motion) {
  setModuleDescription("Navigation with obstacle avoidance.");
  functionName("navigateTo", getName(), "Goes x, y metres from where the robot stands", 0);
  addParam("x", "metres forward");
  addParam("y", "metres to the left");
  BIND_METHOD(Navigation::navigateTo);
}

bool Navigation::navigateTo(float x, float y) {
  fMotion.advance(x, y, 0);
  return true;
}

// ---------------------------------------------------------------- ALAutonomousMoves

AutonomousMoves::AutonomousMoves(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALAutonomousMoves", world), fListening(true) {
  setModuleDescription("Small autonomous moves.");
  functionName("setExpressiveListeningEnabled", getName(), "Moves while listening", 0);
  addParam("enabled", "flag");
  BIND_METHOD(AutonomousMoves::setExpressiveListeningEnabled);
  functionName("getExpressiveListeningEnabled", getName(), "The flag", 0);
  BIND_METHOD(AutonomousMoves::getExpressiveListeningEnabled);
}

void AutonomousMoves::setExpressiveListeningEnabled(bool enabled) {
  Lock lock(fStateMutex);
  fListening = enabled;
}

bool AutonomousMoves::getExpressiveListeningEnabled() {
  Lock lock(fStateMutex);
  return fListening;
}

// ---------------------------------------------------------------- ALFaceDetection

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

// ---------------------------------------------------------------- ALAutonomousLife

AutonomousLife::AutonomousLife(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALAutonomousLife", world), fState("solitary") {
  setModuleDescription("Autonomous life states.");
  functionName("setState", getName(), "solitary, interactive, disabled or safeguard", 0);
  addParam("state", "state name");
  BIND_METHOD(AutonomousLife::setState);
  functionName("getState", getName(), "The current state", 0);
  BIND_METHOD(AutonomousLife::getState);
}

void AutonomousLife::setState(const std::string& state) {
  if (state != "solitary" && state != "interactive" && state != "disabled" &&
      state != "safeguard")
    throw AL::ALError("ALAutonomousLife", "setState", "unknown state " + state);
  Lock lock(fStateMutex);
  fState = state;
}

std::string AutonomousLife::getState() {
  Lock lock(fStateMutex);
  return fState;
}

// ---------------------------------------------------------------- ALBasicAwareness

BasicAwareness::BasicAwareness(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALBasicAwareness", world), fRunning(true) {
  setModuleDescription("Looks at people and sounds.");
  functionName("startAwareness", getName(), "Starts", 0);
  BIND_METHOD(BasicAwareness::startAwareness);
  functionName("stopAwareness", getName(), "Stops", 0);
  BIND_METHOD(BasicAwareness::stopAwareness);
  functionName("isAwarenessRunning", getName(), "Whether it runs", 0);
  BIND_METHOD(BasicAwareness::isAwarenessRunning);
}

void BasicAwareness::startAwareness() {
  Lock lock(fStateMutex);
  fRunning = true;
}

void BasicAwareness::stopAwareness() {
  Lock lock(fStateMutex);
  fRunning = false;
}

bool BasicAwareness::isAwarenessRunning() {
  Lock lock(fStateMutex);
  return fRunning;
}

// ---------------------------------------------------------------- ALTextToSpeech

TextToSpeech::TextToSpeech(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALTextToSpeech", world), fLanguage("Japanese") {
  setModuleDescription("Speech synthesis.");
  functionName("setLanguage", getName(), "Sets the language", 0);
  addParam("language", "language name");
  BIND_METHOD(TextToSpeech::setLanguage);
  functionName("getLanguage", getName(), "The language", 0);
  BIND_METHOD(TextToSpeech::getLanguage);
  functionName("say", getName(), "Says a sentence", 0);
  addParam("stringToSay", "sentence");
  BIND_METHOD(TextToSpeech::say);
}

void TextToSpeech::setLanguage(const std::string& language) {
  Lock lock(fStateMutex);
  fLanguage = language;
}

std::string TextToSpeech::getLanguage() {
  Lock lock(fStateMutex);
  return fLanguage;
}

void TextToSpeech::say(const std::string& text) {
  SayListener listener;
  {
    Lock lock(fStateMutex);
    fTranscript.push_back(text);
    listener = fListener;
  }
  if (listener) listener(text);
}

std::vector<std::string> TextToSpeech::transcript() const {
  Lock lock(fStateMutex);
  return fTranscript;
}

void TextToSpeech::setSayListener(const SayListener& listener) {
  Lock lock(fStateMutex);
  fListener = listener;
}

// ---------------------------------------------------------------- ALSystem

System::System(boost::shared_ptr<AL::ALBroker> broker, World& world, const std::string& robotName)
  : Service(broker, "ALSystem", world), fName(robotName) {
  setModuleDescription("The robot's system settings.");
  functionName("robotName", getName(), "The robot's name", 0);
  BIND_METHOD(System::robotName);
}

std::string System::robotName() { return fName; }

// ---------------------------------------------------------------- Robot

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
