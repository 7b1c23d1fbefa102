// One simulated robot: a broker with every service the modules call,
// a journal of the calls made to them and fault injection.
#ifndef KTPLATFORM_SIMROBOT_H
#define KTPLATFORM_SIMROBOT_H

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/albrokermanager.h>
#include <alcommon/almodule.h>

namespace kt {
namespace sim {

enum FaultMode { FaultNone, FaultThrow, FaultFalse };

// What the services of one robot share: the journal and the faults.
class World {
public:
  void record(const std::string& service, const std::string& method,
              const std::vector<AL::ALValue>& args);
  // One line per call: "Service.method" and the arguments as a JSON array.
  std::vector<std::string> journal() const;
  void clearJournal();

  void setFault(const std::string& serviceMethod, FaultMode mode);
  FaultMode fault(const std::string& serviceMethod) const;
  void clearFaults();

private:
  mutable std::mutex fMutex;
  std::vector<std::string> fJournal;
  std::map<std::string, FaultMode> fFaults;
};

// Base of the services: every call is journaled, then faulted or run.
class Service : public AL::ALModule {
public:
  Service(boost::shared_ptr<AL::ALBroker> broker, const std::string& name, World& world);
  virtual AL::ALValue callMethod(const std::string& method,
                                 const std::vector<AL::ALValue>& args);

protected:
  World& fWorld;
  mutable std::mutex fStateMutex;
};

class Memory : public Service {
public:
  typedef std::function<void(const std::string& key, const AL::ALValue& value)> Observer;
  Memory(boost::shared_ptr<AL::ALBroker> broker, World& world);

  void subscribeToEvent(const std::string& key, const std::string& module,
                        const std::string& callback);
  void unsubscribeToEvent(const std::string& key, const std::string& module);
  void raiseEvent(const std::string& key, const AL::ALValue& value);
  void insertData(const std::string& key, const AL::ALValue& value);
  AL::ALValue getData(const std::string& key);

  bool hasData(const std::string& key) const;
  // Subscribers of key as module name and callback, in subscription order.
  std::vector<std::pair<std::string, std::string> > subscribers(const std::string& key) const;
  // Told of every raised event before its subscribers, in the order the
  // events were stored, though maybe on another raiser's thread; returns an
  // id for removal.
  int addObserver(const Observer& observer);
  void removeObserver(int id);

private:
  struct Subscription {
    std::string key, module, callback;
  };
  struct Raised {
    std::string key;
    AL::ALValue value;
    std::vector<Observer> observers;  // those there when it was stored
  };
  bool stillSubscribed(const Subscription& s) const;
  void tellObservers();
  std::map<std::string, AL::ALValue> fData;
  std::vector<Subscription> fSubscriptions;
  std::map<int, Observer> fObservers;
  int fNextObserver;
  std::deque<Raised> fUntold;  // raised, observers not yet told
  bool fTelling;               // a thread is telling the observers
};

class Dialog : public Service {
public:
  Dialog(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setLanguage(const std::string& language);
  std::string getLanguage();
  void subscribe(const std::string& name);
  void unsubscribe(const std::string& name);
  std::string loadTopic(const std::string& path);
  void unloadTopic(const std::string& topic);
  void activateTopic(const std::string& topic);
  void deactivateTopic(const std::string& topic);
  void setFocus(const std::string& topic);
  void forceInput(const std::string& text);
  void forceOutput();
  std::vector<std::string> getLoadedTopics();
  std::vector<std::string> getActivatedTopics();

  std::set<std::string> subscribers() const;
  std::string focus() const;
  std::vector<std::string> inputs() const;
  int outputsForced() const;

private:
  std::string fLanguage;
  std::set<std::string> fSubscribers;
  std::map<std::string, std::string> fLoaded;  // topic name to file
  std::vector<std::string> fLoadOrder;
  std::set<std::string> fActive;
  std::string fFocus;
  std::vector<std::string> fInputs;
  int fOutputs;
};

class Motion : public Service {
public:
  Motion(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void wakeUp();
  void rest();
  bool robotIsWakeUp();
  void moveTo(float x, float y, float theta);
  std::vector<float> getRobotPosition(bool useSensorValues);
  void waitUntilMoveIsFinished();
  bool getExternalCollisionProtectionEnabled(const std::string& part);
  void setExternalCollisionProtectionEnabled(const std::string& part, bool enabled);

  // Moves by x forward and y to the left of the current heading.
  void advance(float x, float y, float theta);
  void setPosition(float x, float y, float theta);
  // Share of each move that the robot really makes (1 = all of it).
  void setMoveFraction(float fraction);
  bool isAwake() const;

private:
  float fX, fY, fTheta, fFraction;
  bool fAwake;
  std::map<std::string, bool> fProtection;
};

class Posture : public Service {
public:
  Posture(boost::shared_ptr<AL::ALBroker> broker, World& world);
  bool goToPosture(const std::string& name, float speed);
  std::string getPosture();
  std::vector<std::string> getPostureList();
  void setPosture(const std::string& name);

private:
  std::string fPosture;
};

class Navigation : public Service {
public:
  Navigation(boost::shared_ptr<AL::ALBroker> broker, World& world, Motion& motion);
  bool navigateTo(float x, float y);

private:
  Motion& fMotion;
};

class AutonomousMoves : public Service {
public:
  AutonomousMoves(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setExpressiveListeningEnabled(bool enabled);
  bool getExpressiveListeningEnabled();

private:
  bool fListening;
};

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

class AutonomousLife : public Service {
public:
  AutonomousLife(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setState(const std::string& state);
  std::string getState();

private:
  std::string fState;
};

class BasicAwareness : public Service {
public:
  BasicAwareness(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void startAwareness();
  void stopAwareness();
  bool isAwarenessRunning();

private:
  bool fRunning;
};

class TextToSpeech : public Service {
public:
  typedef std::function<void(const std::string&)> SayListener;
  TextToSpeech(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setLanguage(const std::string& language);
  std::string getLanguage();
  void say(const std::string& text);

  std::vector<std::string> transcript() const;
  void setSayListener(const SayListener& listener);

private:
  std::string fLanguage;
  std::vector<std::string> fTranscript;
  SayListener fListener;
};

class System : public Service {
public:
  System(boost::shared_ptr<AL::ALBroker> broker, World& world, const std::string& robotName);
  std::string robotName();

private:
  std::string fName;
};

// The broker, its manager and every service, registered under the service names.
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
