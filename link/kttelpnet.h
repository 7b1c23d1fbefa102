// KTTelpnet: the network object of the robot link: the robot table, this
// robot's own profile, the discovery of other robots by UDP broadcast and
// the telepathy link over TCP.
#ifndef KTTELPNET_H
#define KTTELPNET_H

#include <time.h>

#include <cstddef>
#include <string>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>

#include "ktrobot.h"

// Process-wide state of the telepathy server and of the running search.
extern int server_socket;
extern int broadcast_socket;
extern int robo_info_loop;
extern time_t CONNECTEDTIME;
extern struct tm* now;

// Ends the receiving of a search whose time is up.
void timeout(int signal);

class KTTelpnet {
public:
  static const int kMaxRobots = 50;
  static const int kLineSize = 512;
  static const int kOwnNameSize = 128;
  static const int kTelepathyPort = 9595;
  static const int kDiscoveryPort = 9599;
  static const int kPacketSize = 2000;
  static const int kPackets = 6;
  static const int kPacketIntervalSeconds = 5;
  static const int kMaxFields = 50;
  // The longest value sendSignal fits in its line with "ktvesper:" and CR LF.
  static const int kMaxSignalValue = 500;
  static const int kSearchLimitSeconds = 60;
  // The bound of a search in force, in milliseconds; tests shorten it.
  static int searchLimitMs;

  KTTelpnet(boost::shared_ptr<AL::ALBroker> broker,
            boost::shared_ptr<AL::ALMemoryProxy> memory);
  ~KTTelpnet();

  // The own profile and the robot table.
  std::string getIpadress();
  char* getRobotName();
  int getRobotNumber();
  void clearConnectedClientNumber();
  int getConnectedClientNumber();
  bool checkRobot(const char* robotName);
  int getSocketFromRobotName(const char* robotName);
  int getSocketFromIP(const char* host);
  // The outputs hold size bytes; a longer text is cut to fit.
  void getIPFromRobotName(const char* robotName, char* host,
                          size_t size = KTRobot::kTextSize);
  bool getRobotNameFromIP(const char* host, char* robotName,
                          size_t size = KTRobot::kTextSize);
  int getNameList(char list[][kLineSize]);
  int getRobotList(char list[][kLineSize]);

  // Discovery.
  void sendRobotInfo();
  void recvRobotInfo(int rnum);
  // Records the robot of one received profile text (cut in place) as the
  // next row; false when it is passed over.
  bool takeRobotInfo(char* text);
  int split(char* str, const char* delim, char** outlist);
  void timerec();
  // The start-time line that timerec logs, for the local time t.
  static void formatStartTime(const struct tm* t, char* line, size_t size);

  // The telepathy link.
  bool initServer();
  void getTelepathy(int socket, std::string ip);
  void raiseEvent(std::string ipaddress, std::string signal);
  void serverStop();
  bool initClient(char* robotName);
  bool sendSignal(char* robotName, std::string signal);
  void closeClient(char* host);
  void disconnectAllRobots();

  // The socket line reader, logging as "ktvesper".
  int socket_open(const char* host, int port);
  char* read_line(int socket, char* p);
  void read_response(int socket, char* p);

private:
  KTTelpnet(const KTTelpnet&);
  KTTelpnet& operator=(const KTTelpnet&);

  void release();
  KTRobot* findByName(const char* robotName);
  KTRobot* findByAddress(const char* host);
  void serveConnection(int socket, const char* ip);

  int recognized_robo_number;
  int connected_robo_number;
  boost::shared_ptr<AL::ALBroker> broker;
  boost::shared_ptr<AL::ALMemoryProxy> fMemory;
  bool server_stop;
  KTRobot** robots;
  KTRobot* myprofile;
  AL::ALProxy* system;
  AL::ALProxy* tts;
};

#endif
