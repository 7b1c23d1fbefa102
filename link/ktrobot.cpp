#include "ktrobot.h"

#include <cstring>

const int KTRobot::kTextSize;

KTRobot::KTRobot()
  : socket(-1), ipaddress(new char[kTextSize]), robotName(new char[kTextSize]) {
  // Never read before it is written: start both texts empty.
  ipaddress[0] = '\0';
  robotName[0] = '\0';
}

KTRobot::~KTRobot() {
  delete[] ipaddress;
  delete[] robotName;
}

void KTRobot::setSocket(int s) { socket = s; }

int KTRobot::getSocket() { return socket; }

void KTRobot::setIpaddress(const char* text) { copyText(ipaddress, kTextSize, text); }

char* KTRobot::getIpaddress() { return ipaddress; }

void KTRobot::setRobotName(const char* text) { copyText(robotName, kTextSize, text); }

char* KTRobot::getRobotName() { return robotName; }

void KTRobot::copyText(char* to, size_t size, const char* text) {
  if (size == 0) return;
  size_t n = text ? std::strlen(text) : 0;
  if (n > size - 1) {
    n = size - 1;
    // Back up over continuation bytes to the start of the cut character.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  }
  if (n > 0) std::memmove(to, text, n);
  to[n] = '\0';
}
