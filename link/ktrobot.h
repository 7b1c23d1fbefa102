// KTRobot: one robot of the robot table: its name, its address and the
// client socket of the telepathy connection to it.
#ifndef KTROBOT_H
#define KTROBOT_H

#include <cstddef>

class KTRobot {
public:
  // Name and address buffers, the terminating NUL included.
  static const int kTextSize = 256;

  KTRobot();
  ~KTRobot();

  void setSocket(int socket);
  int getSocket();
  // Texts longer than kTextSize - 1 bytes are cut there (never inside a
  // UTF-8 character).
  void setIpaddress(const char* ipaddress);
  char* getIpaddress();
  void setRobotName(const char* robotName);
  char* getRobotName();

  // Copies text into a buffer of size bytes, cut to fit at a character
  // boundary and always NUL-terminated.
  static void copyText(char* to, size_t size, const char* text);

private:
  KTRobot(const KTRobot&);
  KTRobot& operator=(const KTRobot&);

  int socket;
  char* ipaddress;
  char* robotName;
};

#endif
