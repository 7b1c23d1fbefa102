#include "kttelpnet.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstring>

#include <qi/os.hpp>

#include "ktsocket.h"
#include "kttelepathyserver.h"
#include "ktsys.h"
#include "vesperlog.h"

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

// The search's rules and the table see the same limits.
static_assert(KTAdmission::kMaxRows == KTTelpnet::kMaxRobots, "a table row for each robot taken");
static_assert(KTAdmission::kMaxFields == KTTelpnet::kMaxFields, "split fills callers' arrays");
static_assert(KTAdmission::kMaxDatagram == KTTelpnet::kPacketSize - 1, "the receive buffer");

namespace {

const char* const kCategory = KT_LOG_CATEGORY;
const char* const kModuleLiteral = "ktvesper";
const char* const kReplyPrefix = "100: Received your command with value = ";
const char* const kSearchEnded = "時間がきたので、ロボット情報の受信を終了します。";

// The local time of the last search's start, where `now` points.
struct tm startTime;
// When the running search stops receiving (monotonic milliseconds).
long long searchDeadline = 0;

void tellConsole(const char* text) {
  std::fputs(text, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

// Why a value cannot go as one signal line, or 0 when it can. A CR is an
// ordinary byte of the line; a line break would make a second line, and
// the line would end at a NUL.
const char* valueFault(const std::string& value) {
  if (value.find('\n') != std::string::npos) return "送付する値に改行があります： 中止";
  if (value.find('\0') != std::string::npos) return "送付する値にNUL文字があります： 中止";
  return 0;
}

// Text from the network as one log line: a control byte, as a line break
// would make a line of its own, is shown as \xNN.
std::string printable(const std::string& text) {
  std::string out;
  char escaped[5];
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

// Whether a connect that failed so may have failed for its source address:
// no answer, or no route or no permission from there. A peer that refused
// has answered.
bool noWayFrom(int err) {
  return err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH || err == EACCES ||
         err == EPERM || err == EADDRNOTAVAIL;
}

// Waits for a datagram until the search's deadline; false once it passed.
bool waitForPacket(int socket) {
  // A socket that cannot be waited on would only spin until the bound.
  return ktPollUntil(socket, POLLIN, searchDeadline) > 0;
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
  if (s < 0 || bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
    const char* reason = ktReason(errno);
    KTWARN << "ロボット情報の受信ポートを開けません。 (" << reason << ")";
  }
  return s;
}

}  // namespace

void timeout(int) {
  KTINFO << kSearchEnded;
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
    // A name cut to fit could be another robot's: it is refused instead.
    if (name.size() >= static_cast<size_t>(kOwnNameSize)) {
      KTWARN << "このロボットの名前が長すぎます： 中止 = " << name.size() << "バイト";
      name.clear();
    }
    char ownName[kOwnNameSize];
    KTRobot::copyText(ownName, sizeof ownName, name.c_str());
    myprofile->setRobotName(ownName);
    KTINFO << "このロボットの名前 [ " << ownName << " ] をセットしました。";
    if (KTAdmission::nameFault(ownName))
      KTWARN << "このロボットの名前は他のロボットに登録できません。名前は空にせず、「:」「&」や制御文字を使わず、UTF-8で書いてください。";
  } catch (...) {
    // The module fails to load; what was made so far is not left behind.
    release();
    throw;
  }
}

KTTelpnet::~KTTelpnet() {
  {
    std::lock_guard<std::mutex> lock(tableMutex);
    closeAll();
  }
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
  KTINFO << "このロボットのIPアドレス = " << text;
  return text;
}

// The own name is set once, before any other thread sees the object.
char* KTTelpnet::getRobotName() { return myprofile->getRobotName(); }

int KTTelpnet::getRobotNumber() {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTINFO << "現在の接続ロボット数を返します。 recognized_robo_number = " << recognized_robo_number;
  return recognized_robo_number;
}

void KTTelpnet::clearConnectedClientNumber() {
  std::lock_guard<std::mutex> lock(tableMutex);
  connected_robo_number = 0;
}

int KTTelpnet::getConnectedClientNumber() {
  std::lock_guard<std::mutex> lock(tableMutex);
  return connected_robo_number;
}

int KTTelpnet::knownRobots() {
  std::lock_guard<std::mutex> lock(tableMutex);
  return recognized_robo_number;
}

int KTTelpnet::indexByName(const char* robotName) {
  for (int i = 0; i < recognized_robo_number; ++i)
    if (std::strcmp(robots[i]->getRobotName(), robotName) == 0) return i;
  return -1;
}

KTRobot* KTTelpnet::findByName(const char* robotName) {
  int i = indexByName(robotName);
  return i < 0 ? 0 : robots[i];
}

int KTTelpnet::indexByAddress(const char* host) {
  for (int i = 0; i < recognized_robo_number; ++i)
    if (std::strcmp(robots[i]->getIpaddress(), host) == 0) return i;
  return -1;
}

KTRobot* KTTelpnet::findByAddress(const char* host) {
  int i = indexByAddress(host);
  return i < 0 ? 0 : robots[i];
}

bool KTTelpnet::checkRobot(const char* robotName) {
  std::lock_guard<std::mutex> lock(tableMutex);
  return findByName(robotName) != 0;
}

int KTTelpnet::getSocketFromRobotName(const char* robotName) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTRobot* row = findByName(robotName);
  return row ? row->getSocket() : -1;
}

int KTTelpnet::getSocketFromIP(const char* host) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTRobot* row = findByAddress(host);
  return row ? row->getSocket() : -1;
}

void KTTelpnet::getIPFromRobotName(const char* robotName, char* host, size_t size) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTRobot* row = findByName(robotName);
  if (row) KTRobot::copyText(host, size, row->getIpaddress());
}

bool KTTelpnet::getRobotNameFromIP(const char* host, char* robotName, size_t size) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTINFO << "IPからロボット名を取得 IP = [" << host << "]　認識ロボット数 = "
         << recognized_robo_number;
  for (int i = 0; i < recognized_robo_number; ++i) {
    KTRobot* row = robots[i];
    KTINFO << "ktrobot IP = [" << row->getIpaddress() << "] name = [" << row->getRobotName() << "]";
    if (std::strcmp(row->getIpaddress(), host) == 0) {
      KTRobot::copyText(robotName, size, row->getRobotName());
      KTINFO << "一致しました。";
      return true;
    }
  }
  KTINFO << "ロボット名 name = " << robotName;
  return false;
}

int KTTelpnet::getNameList(char list[][kLineSize]) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTINFO << "接続しているロボット名のリストを返します。";
  int n = recognized_robo_number;
  for (int i = 0; i < n; ++i) KTRobot::copyText(list[i], kLineSize, robots[i]->getRobotName());
  return n;
}

int KTTelpnet::getRobotList(char list[][kLineSize]) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTINFO << "接続しているすべてのロボットの情報を返します。";
  int n = recognized_robo_number;
  for (int i = 0; i < n; ++i)
    std::snprintf(list[i], kLineSize, "%s&%s", robots[i]->getRobotName(),
                  robots[i]->getIpaddress());
  return n;
}

// ---------------------------------------------------------------- discovery

bool KTTelpnet::prepareAnnouncement() {
  // The robot's network may have come up, or changed, since it started.
  std::string address = getIpadress();
  {
    std::lock_guard<std::mutex> lock(tableMutex);
    myprofile->setIpaddress(address.c_str());
  }
  if (address == "0.0.0.0") {
    KTWARN << "このロボットにはIPアドレスがないので、自己情報を送信しません。受信だけを行います。";
    return false;
  }
  if (KTAdmission::nameFault(myprofile->getRobotName())) {
    KTWARN << "このロボットの名前は他のロボットに登録できないので、自己情報を送信しません。受信だけを行います。";
    return false;
  }
  return true;
}

void KTTelpnet::sendRobotInfo() {
  // This runs in the sender process, the only thread there: the own
  // profile is read without the lock, which another thread of the robot
  // may have held when it was forked.
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    const char* reason = ktReason(errno);
    KTWARN << "ブロードキャストパケットを送信できません： 中止 = " << reason;
    return;
  }
  struct sockaddr_in to;
  std::memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(kDiscoveryPort);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  int yes = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &yes, sizeof yes) != 0) {
    const char* reason = ktReason(errno);
    KTWARN << "ブロードキャストを許可できません： " << reason;
  }

  char packet[kPacketSize];
  std::snprintf(packet, sizeof packet, "%s:%s:%s", KTAdmission::kProfileTag,
                myprofile->getRobotName(), myprofile->getIpaddress());
  for (int i = 0; i < kPackets; ++i) {
    if (sendto(s, packet, std::strlen(packet), 0, reinterpret_cast<struct sockaddr*>(&to),
               sizeof to) < 0) {
      const char* reason = ktReason(errno);
      KTWARN << "ブロードキャストパケットを送信できません： " << reason << " = " << packet;
    } else {
      KTINFO << "ブロードキャストパケット = " << packet;
    }
    qi::os::sleep(kPacketIntervalSeconds);
  }
  close(s);
  KTINFO << "自己情報の送信をすべて終了しました。";
  tts->callVoid("say", std::string("自己情報の送信をすべて終了しました。"));
}

void KTTelpnet::recvRobotInfo(int rnum) {
  KTINFO << "ロボット情報の受信を開始します。受け取る台数 = " << rnum;
  tts->callVoid("say", std::string("ロボット情報の受信を開始します。"));

  broadcast_socket = openDiscoverySocket();
  startSearch();
  timerec();
  int pass = 0;
  robo_info_loop = 1;

  char buf[kPacketSize];
  while (robo_info_loop) {
    ++pass;
    KTINFO << "ループスタート loop No. = " << pass;
    std::memset(buf, 0, sizeof buf);
    if (!waitForPacket(broadcast_socket)) {
      timeout(SIGALRM);
      continue;
    }
    struct sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t length = sizeof from;
    // The receive tells the datagram's whole size, so that one longer than
    // the buffer is known to be cut.
    ssize_t size = recvfrom(broadcast_socket, buf, sizeof buf - 1, MSG_DONTWAIT | MSG_TRUNC,
                            reinterpret_cast<struct sockaddr*>(&from), &length);
    if (size < 0 || from.sin_family != AF_INET) continue;
    if (!takeRobotInfo(buf, static_cast<size_t>(size), from.sin_addr)) continue;
    int known = knownRobots();
    if (known == rnum || known == kMaxRobots) break;
  }

  if (broadcast_socket >= 0) close(broadcast_socket);
  broadcast_socket = -1;
  robo_info_loop = 0;
  searchDeadline = 0;
  endSearch();
  KTINFO << "指定台数のロボット情報の受信を終了します。受け取った台数 = " << knownRobots();
  tts->callVoid("say", std::string("ロボット情報の受信を終了しました。"));
}

void KTTelpnet::startSearch() {
  std::lock_guard<std::mutex> lock(tableMutex);
  recognized_robo_number = 0;
  admission.start();
  // Every connection waits aside for its robot to be heard again.
  for (int i = 0; i < kMaxRobots; ++i) hold(robots[i]);
}

void KTTelpnet::hold(KTRobot* row) {
  if (row->getSocket() < 0) return;
  HeldConnection c;
  c.socket = row->getSocket();
  c.name = row->getRobotName();
  c.address = row->getIpaddress();
  held.push_back(c);
  row->setSocket(-1);
}

void KTTelpnet::endSearch() {
  std::lock_guard<std::mutex> lock(tableMutex);
  for (size_t i = 0; i < held.size(); ++i) {
    KTINFO << "探索で見つからなかったロボットへの接続を閉じます。 robot = " << held[i].name
           << " IP = " << held[i].address;
    closeConnection(held[i].socket);
    if (connected_robo_number > 0) --connected_robo_number;
  }
  held.clear();
}

void KTTelpnet::leave(const KTAdmission::Removal& removal, const char* sender) {
  char first[INET_ADDRSTRLEN] = "";
  struct in_addr from;
  from.s_addr = removal.source;
  inet_ntop(AF_INET, &from, first, sizeof first);
  // A signal for that name, or to that address, goes to neither sender.
  if (removal.why == KTAdmission::kNameContested)
    KTWARN << "二つの送信元が同じ名前を知らせたので、どちらのロボットも登録しません。 robot = "
           << removal.name << " 送信元 = " << first << ", " << sender;
  else if (removal.why == KTAdmission::kAddressContested)
    KTWARN << "二つの送信元が同じアドレスを知らせたので、どちらのロボットも登録しません。 IP = "
           << removal.address << " 送信元 = " << first << ", " << sender;
  else
    KTWARN << "アドレスの持ち主が自分のアドレスを知らせたので、同じアドレスを知らせたロボットを"
              "登録しません。 robot = "
           << removal.name << " IP = " << removal.address << " 送信元 = " << first << ", "
           << sender;
  KTRobot* row = robots[removal.row];
  hold(row);
  // The rows after it move up, in their order.
  for (int k = removal.row; k + 1 < recognized_robo_number; ++k) robots[k] = robots[k + 1];
  robots[--recognized_robo_number] = row;
}

bool KTTelpnet::takeRobotInfo(const char* data, size_t size, const struct in_addr& from) {
  char sender[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &from, sender, sizeof sender);
  std::lock_guard<std::mutex> lock(tableMutex);
  KTAdmission::Decision d = admission.admit(data, size, from.s_addr);
  for (size_t i = 0; i < d.removals.size(); ++i) leave(d.removals[i], sender);
  if (d.nowFull)
    KTWARN << "受け取ったロボット情報を覚えきれなくなったので、この探索ではもう新しいロボットを"
              "登録しません。";
  if (!d.taken) {
    if (d.why && d.firstWord)
      KTINFO << "受け取れないロボット情報を無視します。 送信元 = " << sender << " 理由 = " << d.why;
    return false;
  }

  KTINFO << "recv: '" << printable(d.text) << "' (" << d.text.size() << ")";
  KTRobot* row = robots[recognized_robo_number];
  row->setRobotName(d.name.c_str());
  row->setIpaddress(d.address.c_str());
  // The connection made to this very robot before the search is its own.
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i].name == d.name && held[i].address == d.address) {
      row->setSocket(held[i].socket);
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  KTINFO << "ロボット名 '" << d.name << "' (IP: " << d.address << ")";
  if (d.elsewhere)
    KTINFO << "このロボットは送信元と違うアドレスを知らせました。 robot = " << d.name
           << " 送信元 = " << sender << " IP = " << d.address;
  ++recognized_robo_number;
  return true;
}

int KTTelpnet::split(char* str, const char* delim, char** outlist) {
  return KTAdmission::split(str, delim, outlist);
}

void KTTelpnet::timerec() {
  CONNECTEDTIME = time(0);
  localtime_r(&CONNECTEDTIME, &startTime);
  now = &startTime;
  char line[kLineSize];
  formatStartTime(now, line, sizeof line);
  KTINFO << line;
  searchDeadline = ktMonotonicMs() + searchLimitMs;
}

void KTTelpnet::formatStartTime(const struct tm* t, char* line, size_t size) {
  std::snprintf(line, size, "相手ロボットの探索開始時間 => [%02d/%02d/%04d:%02d:%02d:%02d] ",
                t->tm_mday, t->tm_mon + 1, t->tm_year + 1900, t->tm_hour, t->tm_min, t->tm_sec);
}

// ---------------------------------------------------------------- the link

bool KTTelpnet::initServer() {
  KTTelepathyServer server(*this);
  return server.run(server_stop);
}

void KTTelpnet::getTelepathy(int socket, std::string ip) {
  char recv_buf[kLineSize];
  KTSocket::LineEnd end = KTSocket(kCategory).read_signal_line(socket, recv_buf);
  // A line cut by the buffer, by the time-out or by the peer closing before
  // its newline is only part of a signal; so is one with a NUL inside, where
  // its text would end.
  size_t length = std::strlen(recv_buf);
  if (end != KTSocket::kLineWhole || length == 0 || recv_buf[length - 1] != '\n' ||
      std::strncmp(recv_buf, kModuleLiteral, std::strlen(kModuleLiteral)) != 0) {
    KTWARN << "テレパシー受信に失敗： 中止 = " << recv_buf;
    return;
  }
  KTINFO << "テレパシーを受信しました。 signal = " << recv_buf;

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
    KTINFO << key << " イベントを発生させました。 受信値 = " << signal;
    return;
  }
  std::string sentence = testSignalSentence(ipaddress);
  AL::ALProxy speech(broker, "ALTextToSpeech", 0, 0);
  speech.callVoid("setLanguage", std::string("Japanese"));
  KTINFO << sentence;
  speech.callVoid("say", sentence);
}

std::string KTTelpnet::testSignalSentence(const std::string& address) {
  char name[KTRobot::kTextSize] = "";
  bool found = getRobotNameFromIP(address.c_str(), name, sizeof name);
  std::string sentence = found ? std::string(name) : "名前を知らない" + address;
  return sentence + "さんからテレパシーを受けとりました。わたしは、" + getRobotName() + "です。";
}

void KTTelpnet::serverStop() { server_stop = true; }

bool KTTelpnet::connectionLimitReached() {
  if (connected_robo_number < kMaxRobots) return false;
  tellConsole("ロボットの接続数が制限を越えました。");
  KTWARN << "ロボットの接続数が制限数[" << kMaxRobots << "]を越えました。";
  return true;
}

bool KTTelpnet::initClient(char* robotName) {
  char host[128] = "";
  char own[KTRobot::kTextSize] = "";
  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(tableMutex);
    KTRobot::copyText(own, sizeof own, myprofile->getIpaddress());
    KTRobot* row = findByName(robotName);
    // An address cut to fit would dial another host.
    if (row && std::strlen(row->getIpaddress()) >= sizeof host) {
      KTWARN << "相手ロボットのアドレスが長すぎます： 中止 = " << row->getIpaddress();
      refused = true;
    } else if (row) {
      KTRobot::copyText(host, sizeof host, row->getIpaddress());
    }
    if (!refused && connectionLimitReached()) return false;
  }
  // A robot without an address is not dialled at all. The connection
  // leaves from the address this robot announces, which its peers know it
  // by, whichever interface the route takes.
  int s = -1;
  if (!refused && host[0] != '\0') {
    bool fromOwn = std::strcmp(own, "0.0.0.0") != 0;
    KTSocket opener(kCategory);
    s = opener.socket_open(host, kTelepathyPort, fromOwn ? own : 0);
    if (s < 0 && fromOwn && noWayFrom(opener.failedWith())) {
      // That address may have no way to the peer (it is on another network
      // than the one the peer is on): the system's choice may have one.
      KTWARN << "通知したアドレス " << own << " から相手ロボットにつながらないので、ほかのアドレスから"
             << "接続します。相手はこのロボットを知らないアドレスから受けることがあります。 robot = "
             << robotName;
      s = KTSocket(kCategory).socket_open(host, kTelepathyPort);
    }
  }
  char recv_buf[kLineSize] = "";
  if (s >= 0) {
    // The connection waits, maybe for long, for the signal it is made for.
    KTSocket::keep_alive(s);
    KTSocket::LineEnd end;
    KTSocket(kCategory).read_line(s, recv_buf, &end);
    // A server that closes before it greets would never take the signal.
    if (end != KTSocket::kLineWhole) {
      KTWARN << "相手ロボットが挨拶せずに接続を閉じました： 中止 = " << recv_buf;
      close(s);
      s = -1;
    }
  }
  if (s < 0) {
    tellConsole("サーバーに接続できません： 中止");
    KTWARN << "相手ロボットに接続できません： 中止";
    return false;
  }
  KTINFO << "相手ロボットに接続しました。 robot says = " << recv_buf;

  std::lock_guard<std::mutex> lock(tableMutex);
  // The table may have changed meanwhile: the connection belongs to the
  // robot it was made to, or to nobody.
  KTRobot* row = findByName(robotName);
  if (row == 0 || std::strcmp(row->getIpaddress(), host) != 0) {
    KTWARN << "接続中に相手ロボットが表からいなくなったので、接続を閉じます。 robot = "
           << robotName;
    close(s);
    return false;
  }
  if (connectionLimitReached()) {
    close(s);
    return false;
  }
  // A connection made again replaces the row's old one, which is closed.
  if (row->getSocket() >= 0) closeConnection(row->getSocket());
  row->setSocket(s);
  ++connected_robo_number;
  return true;
}

bool KTTelpnet::sendSignal(char* robotName, std::string signal) {
  const char* fault = valueFault(signal);
  bool tooLong = signal.size() > static_cast<size_t>(kMaxSignalValue);
  int s = -1, own = -1;
  bool used = false;
  {
    // A connection carries one signal: the first send takes it, and any
    // other, at once or later, finds it spent. The send works on a copy of
    // the descriptor of its own, so that the connection stays the same one
    // whatever another thread closes meanwhile.
    std::lock_guard<std::mutex> lock(tableMutex);
    KTRobot* row = findByName(robotName);
    s = row ? row->getSocket() : -1;
    if (s >= 0 && !fault && !tooLong) {
      used = std::find(spent.begin(), spent.end(), s) != spent.end();
      if (!used && (own = fcntl(s, F_DUPFD_CLOEXEC, 0)) >= 0) spent.push_back(s);
    }
  }
  KTINFO << "信号を送付します。 robot socket = " << s;
  if (s < 0) return false;
  if (fault) {
    KTWARN << fault;
    return false;
  }
  if (tooLong) {
    KTWARN << "送付する値が長すぎます： 中止 = " << signal.size() << "バイト";
    return false;
  }
  if (used) {
    KTWARN << "コマンド送付に失敗： 中止 = この接続の信号はもう送られました";
    return false;
  }
  if (own < 0) {
    const char* reason = ktReason(errno);
    KTWARN << "コマンド送付に失敗： 中止 = " << reason;
    return false;
  }
  bool sent = sendLine(own, signal);
  close(own);
  return sent;
}

bool KTTelpnet::sendLine(int s, const std::string& signal) {
  char send_buf[kLineSize];
  std::snprintf(send_buf, sizeof send_buf, "%s:%s\r\n", kModuleLiteral, signal.c_str());
  KTINFO << "次のコマンドを送付します。 send_buf = " << send_buf;
  if (!KTSocket(kCategory).send_line(s, send_buf)) {
    const char* reason = ktReason(errno);
    KTWARN << "コマンド送付に失敗： 中止 = " << reason;
    return false;
  }
  qi::os::sleep(1);
  char recv_buf[kLineSize];
  read_response(s, recv_buf);
  if (recv_buf[0] == '1') {
    KTINFO << "相手ロボットからの返事が届きました。 recv_buf = " << recv_buf;
    return true;
  }
  KTWARN << "コマンド送付に失敗： 中止 = " << recv_buf;
  return false;
}

void KTTelpnet::closeConnection(int socket) {
  close(socket);
  spent.erase(std::remove(spent.begin(), spent.end(), socket), spent.end());
}

void KTTelpnet::closeClient(char* host) {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTINFO << "接続を閉じます。 host = " << host;
  KTRobot* row = findByAddress(host);
  if (row && row->getSocket() >= 0) {
    closeConnection(row->getSocket());
    row->setSocket(-1);
  }
}

void KTTelpnet::disconnectAllRobots() {
  std::lock_guard<std::mutex> lock(tableMutex);
  KTINFO << "接続ロボットをすべてクリアします。 connected_robo_number = " << connected_robo_number;
  closeAll();
}

void KTTelpnet::closeAll() {
  for (int i = 0; i < kMaxRobots; ++i) {
    if (robots[i]->getSocket() >= 0) {
      closeConnection(robots[i]->getSocket());
      robots[i]->setSocket(-1);
    }
  }
  for (size_t i = 0; i < held.size(); ++i) closeConnection(held[i].socket);
  held.clear();
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
