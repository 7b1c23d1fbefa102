#include "kttelpnet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include <qi/log.hpp>
#include <qi/os.hpp>

#include "ktsocket.h"

int server_socket = -1;
int broadcast_socket = -1;
int robo_info_loop = 0;
time_t CONNECTEDTIME = 0;
struct tm* now = 0;

// Defined here too: streams and tests take them by reference.
const int KTTelpnet::kMaxRobots;
const int KTTelpnet::kLineSize;
const int KTTelpnet::kTelepathyPort;
const int KTTelpnet::kDiscoveryPort;
const int KTTelpnet::kMaxFields;
const int KTTelpnet::kMaxSignalValue;
int KTTelpnet::searchLimitMs = KTTelpnet::kSearchLimitSeconds * 1000;

namespace {

const char* const kCategory = "ktvesper";
const char* const kModuleLiteral = "ktvesper";
const char* const kGreeting = "100: Hello! we are connected!\r\n";
const char* const kReplyPrefix = "100: Received your command with value = ";
const char* const kSearchEnded = "時間がきたので、ロボット情報の受信を終了します。";

#define VLOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, kCategory)
#define VINFO VLOG(qi::LogLevel_Info)
#define VWARN VLOG(qi::LogLevel_Warning)

// The local time of the last search's start, where `now` points.
struct tm startTime;
// When the running search stops receiving (monotonic milliseconds).
long long searchDeadline = 0;

long long monotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void tellConsole(const char* text) {
  std::fputs(text, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

// Waits for a datagram until the search's deadline; false once it passed.
bool waitForPacket(int socket) {
  for (;;) {
    long long left = searchDeadline - monotonicMs();
    if (left <= 0) return false;
    struct pollfd p;
    p.fd = socket;
    p.events = POLLIN;
    p.revents = 0;
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    // A socket that cannot be waited on would only spin until the bound.
    return rc > 0;
  }
}

// The discovery port, bound on every address. A socket that cannot be made
// or bound receives nothing: the search then ends at its bound.
int openDiscoverySocket() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(KTTelpnet::kDiscoveryPort);
  if (s < 0 || bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0)
    VWARN << "ロボット情報の受信ポートを開けません。";
  return s;
}

}  // namespace

void timeout(int) {
  VINFO << kSearchEnded;
  // Only the running search's socket, and only once.
  if (robo_info_loop && broadcast_socket >= 0) {
    close(broadcast_socket);
    broadcast_socket = -1;
  }
  robo_info_loop = 0;
}

// ---------------------------------------------------------------- the table

KTTelpnet::KTTelpnet(boost::shared_ptr<AL::ALBroker> broker,
                     boost::shared_ptr<AL::ALMemoryProxy> memory)
  : recognized_robo_number(0),
    connected_robo_number(0),
    broker(broker),
    fMemory(memory),
    server_stop(true),
    robots(new KTRobot*[kMaxRobots]),
    myprofile(0),
    system(0),
    tts(0) {
  for (int i = 0; i < kMaxRobots; ++i) robots[i] = new KTRobot();
  try {
    myprofile = new KTRobot();
    myprofile->setIpaddress(getIpadress().c_str());
    system = new AL::ALProxy(broker, "ALSystem", 0, 0);
    tts = new AL::ALProxy(broker, "ALTextToSpeech", 0, 0);
    tts->callVoid("setLanguage", std::string("Japanese"));
    std::string name = system->call<std::string>("robotName");
    char ownName[kOwnNameSize];
    KTRobot::copyText(ownName, sizeof ownName, name.c_str());
    myprofile->setRobotName(ownName);
    VINFO << "このロボットの名前 [ " << ownName << " ] をセットしました。";
  } catch (...) {
    // The module fails to load; what was made so far is not left behind.
    release();
    throw;
  }
}

KTTelpnet::~KTTelpnet() {
  release();
  fMemory.reset();
  broker.reset();
}

void KTTelpnet::release() {
  if (robots)
    for (int i = 0; i < kMaxRobots; ++i) delete robots[i];
  delete[] robots;
  robots = 0;
  delete myprofile;
  myprofile = 0;
  delete system;
  system = 0;
  delete tts;
  tts = 0;
}

std::string KTTelpnet::getIpadress() {
  // Without wlan0 or an IPv4 address on it, the robot has no address.
  char text[INET_ADDRSTRLEN] = "0.0.0.0";
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s >= 0) {
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    ifr.ifr_addr.sa_family = AF_INET;
    std::strncpy(ifr.ifr_name, "wlan0", IFNAMSIZ - 1);
    if (ioctl(s, SIOCGIFADDR, &ifr) == 0) {
      struct sockaddr_in* in = reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr);
      inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
    close(s);
  }
  VINFO << "このロボットのIPアドレス = " << text;
  return text;
}

char* KTTelpnet::getRobotName() { return myprofile->getRobotName(); }

int KTTelpnet::getRobotNumber() {
  VINFO << "現在の接続ロボット数を返します。 recognized_robo_number = " << recognized_robo_number;
  return recognized_robo_number;
}

void KTTelpnet::clearConnectedClientNumber() { connected_robo_number = 0; }

int KTTelpnet::getConnectedClientNumber() { return connected_robo_number; }

KTRobot* KTTelpnet::findByName(const char* robotName) {
  for (int i = 0; i < recognized_robo_number; ++i)
    if (std::strcmp(robots[i]->getRobotName(), robotName) == 0) return robots[i];
  return 0;
}

KTRobot* KTTelpnet::findByAddress(const char* host) {
  for (int i = 0; i < recognized_robo_number; ++i)
    if (std::strcmp(robots[i]->getIpaddress(), host) == 0) return robots[i];
  return 0;
}

bool KTTelpnet::checkRobot(const char* robotName) { return findByName(robotName) != 0; }

int KTTelpnet::getSocketFromRobotName(const char* robotName) {
  KTRobot* row = findByName(robotName);
  return row ? row->getSocket() : -1;
}

int KTTelpnet::getSocketFromIP(const char* host) {
  KTRobot* row = findByAddress(host);
  return row ? row->getSocket() : -1;
}

void KTTelpnet::getIPFromRobotName(const char* robotName, char* host, size_t size) {
  KTRobot* row = findByName(robotName);
  if (row) KTRobot::copyText(host, size, row->getIpaddress());
}

bool KTTelpnet::getRobotNameFromIP(const char* host, char* robotName, size_t size) {
  VINFO << "IPからロボット名を取得 IP = [" << host << "]　認識ロボット数 = "
        << recognized_robo_number;
  for (int i = 0; i < recognized_robo_number; ++i) {
    KTRobot* row = robots[i];
    VINFO << "ktrobot IP = [" << row->getIpaddress() << "] name = [" << row->getRobotName() << "]";
    if (std::strcmp(row->getIpaddress(), host) == 0) {
      KTRobot::copyText(robotName, size, row->getRobotName());
      VINFO << "一致しました。";
      return true;
    }
  }
  VINFO << "ロボット名 name = " << robotName;
  return false;
}

int KTTelpnet::getNameList(char list[][kLineSize]) {
  VINFO << "接続しているロボット名のリストを返します。";
  int n = recognized_robo_number;
  for (int i = 0; i < n; ++i) KTRobot::copyText(list[i], kLineSize, robots[i]->getRobotName());
  return n;
}

int KTTelpnet::getRobotList(char list[][kLineSize]) {
  VINFO << "接続しているすべてのロボットの情報を返します。";
  int n = recognized_robo_number;
  for (int i = 0; i < n; ++i)
    std::snprintf(list[i], kLineSize, "%s&%s", robots[i]->getRobotName(),
                  robots[i]->getIpaddress());
  return n;
}

// ---------------------------------------------------------------- discovery

void KTTelpnet::sendRobotInfo() {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in to;
  std::memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(kDiscoveryPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  int yes = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes);

  char packet[kPacketSize];
  std::snprintf(packet, sizeof packet, "ktmyprofile:%s:%s", myprofile->getRobotName(),
                myprofile->getIpaddress());
  for (int i = 0; i < kPackets; ++i) {
    sendto(s, packet, std::strlen(packet), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
    VINFO << "ブロードキャストパケット = " << packet;
    qi::os::sleep(kPacketIntervalSeconds);
  }
  if (s >= 0) close(s);
  VINFO << "自己情報の送信をすべて終了しました。";
  tts->callVoid("say", std::string("自己情報の送信をすべて終了しました。"));
}

void KTTelpnet::recvRobotInfo(int rnum) {
  VINFO << "ロボット情報の受信を開始します。受け取る台数 = " << rnum;
  tts->callVoid("say", std::string("ロボット情報の受信を開始します。"));

  broadcast_socket = openDiscoverySocket();
  recognized_robo_number = 0;
  timerec();
  int pass = 0;
  robo_info_loop = 1;

  char buf[kPacketSize];
  while (robo_info_loop) {
    ++pass;
    VINFO << "ループスタート loop No. = " << pass;
    std::memset(buf, 0, sizeof buf);
    if (!waitForPacket(broadcast_socket)) {
      timeout(SIGALRM);
      continue;
    }
    ssize_t got = recv(broadcast_socket, buf, sizeof buf - 1, MSG_DONTWAIT);
    (void)got;  // the text is what came before the first NUL
    if (!takeRobotInfo(buf)) continue;
    if (recognized_robo_number == rnum || recognized_robo_number == kMaxRobots) break;
  }

  if (broadcast_socket >= 0) close(broadcast_socket);
  broadcast_socket = -1;
  robo_info_loop = 0;
  searchDeadline = 0;
  VINFO << "指定台数のロボット情報の受信を終了します。受け取った台数 = " << recognized_robo_number;
  tts->callVoid("say", std::string("ロボット情報の受信を終了しました。"));
}

bool KTTelpnet::takeRobotInfo(char* text) {
  if (recognized_robo_number >= kMaxRobots) return false;
  size_t length = std::strlen(text);
  if (length == 0) return false;
  VINFO << "recv: '" << text << "' (" << length << ")";
  char* fields[kMaxFields];
  if (split(text, ":", fields) < 3) return false;
  // A name or an address that the table cannot hold is no robot of ours.
  if (std::strlen(fields[1]) >= static_cast<size_t>(KTRobot::kTextSize) ||
      std::strlen(fields[2]) >= static_cast<size_t>(KTRobot::kTextSize))
    return false;
  if (checkRobot(fields[1])) return false;
  KTRobot* row = robots[recognized_robo_number];
  row->setRobotName(fields[1]);
  row->setIpaddress(fields[2]);
  VINFO << "ロボット名 '" << fields[1] << "' (IP: " << fields[2] << ")";
  ++recognized_robo_number;
  return true;
}

int KTTelpnet::split(char* str, const char* delim, char** outlist) {
  int n = 0;
  char* rest = 0;
  char* field = strtok_r(str, delim, &rest);
  while (field != 0) {
    outlist[n++] = field;
    if (n == kMaxFields) break;
    field = strtok_r(0, delim, &rest);
  }
  return n;
}

void KTTelpnet::timerec() {
  CONNECTEDTIME = time(0);
  localtime_r(&CONNECTEDTIME, &startTime);
  now = &startTime;
  char line[kLineSize];
  formatStartTime(now, line, sizeof line);
  VINFO << line;
  searchDeadline = monotonicMs() + searchLimitMs;
}

void KTTelpnet::formatStartTime(const struct tm* t, char* line, size_t size) {
  std::snprintf(line, size, "相手ロボットの探索開始時間 => [%02d/%02d/%04d:%02d:%02d:%02d] ",
                t->tm_mday, t->tm_mon + 1, t->tm_year + 1900, t->tm_hour, t->tm_min, t->tm_sec);
}

// ---------------------------------------------------------------- the link

bool KTTelpnet::initServer() {
  // This is the server process: SIGINT ends it; connections that end are
  // reaped by the system; a peer gone away never ends it.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_IGN);

  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    VWARN << "server: can't open stream socket.";
    return false;
  }
  server_socket = s;
  // A robot started again soon after must get its port back.
  int yes = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  struct sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(kTelepathyPort);
  if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    VWARN << "server: can't bind local address.";
    close(s);
    server_socket = -1;
    return false;
  }
  listen(s, 5);
  VINFO << "ロボットテレパシー  >> Server Start...";
  server_stop = false;

  pid_t robot = getppid();
  pid_t self = getpid();
  while (!server_stop) {
    // Wake now and then: a robot that was killed outright cannot end us.
    struct pollfd p;
    p.fd = server_socket;
    p.events = POLLIN;
    p.revents = 0;
    int ready = poll(&p, 1, 1000);
    if (getppid() != robot) break;
    if (ready <= 0) continue;

    struct sockaddr_in peer;
    socklen_t length = sizeof peer;
    int c = accept(server_socket, reinterpret_cast<struct sockaddr*>(&peer), &length);
    if (c < 0) {
      if (errno == EINTR) continue;
      VWARN << "server: accept error";
      qi::os::msleep(100);  // out of descriptors: give the connections time to end
      continue;
    }
    pid_t child = fork();
    if (child < 0) {
      VWARN << "server: fork error.";
      close(c);
      continue;
    }
    if (child == 0) {
      close(server_socket);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != self) _exit(0);
      signal(SIGCHLD, SIG_DFL);
      signal(SIGPIPE, SIG_IGN);
      char ip[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
      serveConnection(c, ip);
      _exit(0);
    }
    close(c);
  }
  close(server_socket);
  server_socket = -1;
  return true;
}

void KTTelpnet::serveConnection(int socket, const char* ip) {
  KTSocket(kCategory).send_line(socket, kGreeting);
  try {
    getTelepathy(socket, ip);
  } catch (const std::exception& e) {
    // The robot could not take the event or the sentence: the connection
    // still ends cleanly.
    VWARN << "テレパシーの処理に失敗しました： 中止 = " << e.what();
  }
  close(socket);
}

void KTTelpnet::getTelepathy(int socket, std::string ip) {
  char recv_buf[kLineSize];
  read_response(socket, recv_buf);
  size_t length = std::strlen(recv_buf);
  // A line that filled the buffer without its end is only part of a signal.
  bool cut = length == static_cast<size_t>(kLineSize - 1) && recv_buf[length - 1] != '\n';
  if (cut || std::strncmp(recv_buf, kModuleLiteral, std::strlen(kModuleLiteral)) != 0) {
    VWARN << "テレパシー受信に失敗： 中止 = " << recv_buf;
    return;
  }
  VINFO << "テレパシーを受信しました。 signal = " << recv_buf;

  // The reply echoes as much of the line as it holds; the event below still
  // carries the whole line.
  char send_buf[kLineSize];
  size_t prefix = std::strlen(kReplyPrefix);
  size_t room = sizeof send_buf - prefix - 3;
  size_t echo = length < room ? length : room;
  std::memcpy(send_buf, kReplyPrefix, prefix);
  std::memcpy(send_buf + prefix, recv_buf, echo);
  std::memcpy(send_buf + prefix + echo, "\r\n", 3);
  KTSocket(kCategory).send_line(socket, send_buf);
  raiseEvent(ip, recv_buf);
}

void KTTelpnet::raiseEvent(std::string ipaddress, std::string signal) {
  if (signal.find("testsignal") == std::string::npos) {
    std::string key = "telepathy_from_" + ipaddress;
    fMemory->raiseEvent(key, AL::ALValue(signal));
    VINFO << key << " イベントを発生させました。 受信値 = " << signal;
    return;
  }
  char name[KTRobot::kTextSize] = "";
  bool found = getRobotNameFromIP(ipaddress.c_str(), name, sizeof name);
  AL::ALProxy speech(broker, "ALTextToSpeech", 0, 0);
  speech.callVoid("setLanguage", std::string("Japanese"));
  char own[KTRobot::kTextSize];
  KTRobot::copyText(own, sizeof own, myprofile->getRobotName());
  std::string sentence = found ? std::string(name) : "名前を知らない" + ipaddress;
  sentence += std::string("さんからテレパシーを受けとりました。わたしは、") + own + "です。";
  VINFO << sentence;
  speech.callVoid("say", sentence);
}

void KTTelpnet::serverStop() { server_stop = true; }

bool KTTelpnet::initClient(char* robotName) {
  char host[128] = "";
  KTRobot* row = findByName(robotName);
  if (row) KTRobot::copyText(host, sizeof host, row->getIpaddress());
  if (connected_robo_number >= kMaxRobots) {
    tellConsole("ロボットの接続数が制限を越えました。");
    VWARN << "ロボットの接続数が制限数[" << kMaxRobots << "]を越えました。";
    return false;
  }
  // A robot without an address is not dialled at all.
  int s = host[0] != '\0' ? socket_open(host, kTelepathyPort) : -1;
  if (s < 0) {
    tellConsole("サーバーに接続できません： 中止");
    VWARN << "相手ロボットに接続できません： 中止";
    return false;
  }
  char recv_buf[kLineSize];
  read_response(s, recv_buf);
  VINFO << "相手ロボットに接続しました。 robot says = " << recv_buf;
  // A connection made again replaces the row's old one, which is closed.
  if (row->getSocket() >= 0) close(row->getSocket());
  row->setSocket(s);
  ++connected_robo_number;
  return true;
}

bool KTTelpnet::sendSignal(char* robotName, std::string signal) {
  int s = getSocketFromRobotName(robotName);
  VINFO << "信号を送付します。 robot socket = " << s;
  if (s < 0) return false;
  if (signal.size() > static_cast<size_t>(kMaxSignalValue)) {
    VWARN << "送付する値が長すぎます： 中止 = " << signal.size() << "バイト";
    return false;
  }
  // At most 500 bytes of value: the line always fits.
  char send_buf[kLineSize];
  std::string line = std::string(kModuleLiteral) + ":" + signal + "\r\n";
  KTRobot::copyText(send_buf, sizeof send_buf, line.c_str());
  VINFO << "次のコマンドを送付します。 send_buf = " << send_buf;
  KTSocket(kCategory).send_line(s, send_buf);
  qi::os::sleep(1);
  char recv_buf[kLineSize];
  read_response(s, recv_buf);
  if (recv_buf[0] == '1') {
    VINFO << "相手ロボットからの返事が届きました。 recv_buf = " << recv_buf;
    return true;
  }
  VWARN << "コマンド送付に失敗： 中止 = " << recv_buf;
  return false;
}

void KTTelpnet::closeClient(char* host) {
  VINFO << "接続を閉じます。 host = " << host;
  KTRobot* row = findByAddress(host);
  if (row && row->getSocket() >= 0) {
    close(row->getSocket());
    row->setSocket(-1);
  }
}

void KTTelpnet::disconnectAllRobots() {
  VINFO << "接続ロボットをすべてクリアします。 connected_robo_number = " << connected_robo_number;
  for (int i = 0; i < kMaxRobots; ++i) {
    if (robots[i]->getSocket() >= 0) {
      close(robots[i]->getSocket());
      robots[i]->setSocket(-1);
    }
  }
  connected_robo_number = 0;
}

// ---------------------------------------------------------------- lines

int KTTelpnet::socket_open(const char* host, int port) {
  return KTSocket(kCategory).socket_open(host, port);
}

char* KTTelpnet::read_line(int socket, char* p) { return KTSocket(kCategory).read_line(socket, p); }

void KTTelpnet::read_response(int socket, char* p) {
  KTSocket(kCategory).read_response(socket, p);
}
