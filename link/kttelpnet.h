// KTTelpnet: the network object of the robot link: the robot table, this
// robot's own profile, the discovery of other robots by UDP broadcast and
// the telepathy link over TCP.
#ifndef KTTELPNET_H
#define KTTELPNET_H

#include <netinet/in.h>
#include <time.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>

#include "ktadmission.h"
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
  // Reads the own address again before a search: false, with a warning,
  // when this robot has no address or a name that others cannot take, so
  // that it must not announce itself.
  bool prepareAnnouncement();
  // Takes the datagram of size bytes from the address from, of which data
  // holds what the receive buffer took, as the search's rules say: true
  // when it gave the next row.
  bool takeRobotInfo(const char* data, size_t size, const struct in_addr& from);
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
  // What is spoken when a test signal comes from address.
  std::string testSignalSentence(const std::string& address);

  // The socket line reader, logging as "ktvesper".
  int socket_open(const char* host, int port);
  char* read_line(int socket, char* p);
  void read_response(int socket, char* p);

private:
  KTTelpnet(const KTTelpnet&);
  KTTelpnet& operator=(const KTTelpnet&);

  // A connection kept aside while a search rebuilds the table: it goes
  // back to its robot if the search hears it again, else it is closed.
  struct HeldConnection {
    int socket;
    std::string name;
    std::string address;
  };

  void release();
  // What follows is for the caller that holds tableMutex.
  // Lookups of the known rows; -1 or 0 when none.
  int indexByName(const char* robotName);
  int indexByAddress(const char* host);
  KTRobot* findByName(const char* robotName);
  KTRobot* findByAddress(const char* host);
  bool connectionLimitReached();
  // Closes a connection of the table; it may have carried its signal.
  void closeConnection(int socket);
  // Closes every connection, those a search keeps aside too.
  void closeAll();
  // Keeps a row's connection aside for the rest of the search.
  void hold(KTRobot* row);
  // A row leaves the table as the search's rules said; its connection is
  // kept aside.
  void leave(const KTAdmission::Removal& removal, const char* sender);

  int knownRobots();
  // Writes one signal line on s and reads the reply.
  bool sendLine(int s, const std::string& signal);
  void startSearch();
  void endSearch();

  int recognized_robo_number;
  int connected_robo_number;
  boost::shared_ptr<AL::ALBroker> broker;
  boost::shared_ptr<AL::ALMemoryProxy> fMemory;
  bool server_stop;
  KTRobot** robots;
  KTRobot* myprofile;
  AL::ALProxy* system;
  AL::ALProxy* tts;
  // Guards the rows, the counters, the own address and what a search keeps;
  // never held across a wait on the network.
  std::mutex tableMutex;
  std::vector<HeldConnection> held;
  // What the running search has heard, beside the rows it gave.
  KTAdmission admission;
  // Connections that have carried their one signal, or are carrying it.
  std::vector<int> spent;
};

#endif
