// KTVesper: the robot link module. Robots on one network find each other
// by a touch on the head and send each other signals, which arrive as
// memory events; a test signal is spoken.
#ifndef KTVESPER_H
#define KTVESPER_H

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>
#include <alvalue/alvalue.h>

class KTTelpnet;

class KTVesper : public AL::ALModule {
public:
  KTVesper(boost::shared_ptr<AL::ALBroker> broker, const std::string& name);
  virtual ~KTVesper();

  void initTelepathy();
  int getRobotNumber();
  void setRobotNumber(std::string rnum);
  void disconnectAllRobots();
  void telepathyToRobot(const std::string& name, const AL::ALValue& val,
                        const std::string& myName);
  void searchRobots(const std::string& name, const AL::ALValue& val, const std::string& myName);
  std::string getNameList();
  std::string getRobotList();
  void testSignalSpeech(const std::string& name, const AL::ALValue& val,
                        const std::string& myName);

  // Closes the client connection to the robot at robotIP.
  void stopTelepathy(char* robotIP);

private:
  void stopServer();
  // Reaps a server process that ended on its own, saying so.
  void reapServer();
  void unsubscribe(const std::string& event);

  AL::ALProxy* tts;
  boost::shared_ptr<AL::ALMemoryProxy> fMemory;
  int port;
  KTTelpnet* net;
  pid_t server_id;
  std::mutex serverMutex;
  int recogRobotNumber;
  // The telepathy_to_ events subscribed and not yet unsubscribed, in the
  // order of subscription, so that none is left to call a module that is
  // gone.
  std::vector<std::string> telepathyEvents;
  std::mutex eventsMutex;
};

#endif
