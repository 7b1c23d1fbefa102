#include "ktinet.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <qi/log.hpp>

#include "ktsocket.h"
#include "larkinlog.h"

namespace {

const char* const kCategory = KT_LOG_CATEGORY;
// The robot's resolver (hosts file or DNS) maps this name to the server.
const char* const kDefaultServerHost = "ktcontentserver";

void tellConsole(const char* text) {
  std::fputs(text, stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

bool hasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != 0; }

}  // namespace

// Defined here too: streams take it by reference.
const int KTInet::kContentPort;

KTInet::KTInet() {}

KTInet::~KTInet() {}

const char* KTInet::serverHost() {
  const char* host = std::getenv("KT_CONTENT_SERVER");
  return (host && *host) ? host : kDefaultServerHost;
}

int KTInet::socket_open(const char* host, int port, std::string* why) {
  KTSocket opener(kCategory);
  int s = opener.socket_open(host, port);
  if (why) *why = opener.failure();
  return s;
}

char* KTInet::read_line(int socket, char* p) { return KTSocket(kCategory).read_line(socket, p); }

void KTInet::read_response(int socket, char* p) { KTSocket(kCategory).read_response(socket, p); }

int KTInet::getRemoteFile(const char* command, const char* loginname, const char* password,
                          char* str, int size) {
  char recv_buf[KTSocket::kLineSize];
  char login_buf[KTSocket::kLineSize];
  char send_buf[KTSocket::kLineSize];
  if (str == 0 || size < 1) return 0;
  str[0] = '\0';

  // Both lines are built before connecting: a line break in a field would
  // smuggle extra protocol lines in, and a cut line would be another request.
  int n = std::snprintf(login_buf, sizeof(login_buf), "login:%s:%s\r\n", loginname, password);
  if (hasLineBreak(loginname) || hasLineBreak(password) || n < 0 ||
      n >= static_cast<int>(sizeof(login_buf))) {
    KTLOG(qi::LogLevel_Warning) << "ユーザー名またはセッションが不正です： 中止";
    return 0;
  }
  n = std::snprintf(send_buf, sizeof(send_buf), "%s\r\n", command);
  if (hasLineBreak(command) || n < 0 || n >= static_cast<int>(sizeof(send_buf))) {
    KTLOG(qi::LogLevel_Warning) << "コマンドが不正です： 中止 = " << command;
    return 0;
  }

  std::string why;
  int s = socket_open(serverHost(), kContentPort, &why);
  if (s == -1) {
    tellConsole("FTPコマンド、サーバーに接続できません： 中止");
    KTLOG(qi::LogLevel_Warning) << "FTPコマンド、サーバーに接続できません： 中止";
    // Where it went: the host is the robot's setting, not the server's.
    KTLOG(qi::LogLevel_Warning) << "コンテンツサーバーに接続できませんでした。 host = " << serverHost()
                                << " port = " << kContentPort << " 理由 = " << why
                                << " (ホストは環境変数 KT_CONTENT_SERVER で指定します)";
    return 0;
  }

  KTSocket lines(kCategory);
  read_response(s, recv_buf);  // the greeting says nothing we need
  lines.send_line(s, login_buf);
  read_response(s, recv_buf);
  if (recv_buf[0] != '1') {
    KTLOG(qi::LogLevel_Warning) << "loginに失敗： 中止 = " << recv_buf;
    close(s);
    return 0;
  }

  lines.send_line(s, send_buf);
  inetRecv(s, str, size);
  close(s);
  if (str[0] == '\0') {
    KTLOG(qi::LogLevel_Warning) << "ファイル取得に失敗： 中止 = " << str;
    return 0;
  }
  return 1;
}

int KTInet::inetRecv(int s, char* str, int size) {
  int count = 0;
  if (size < 1) return 0;
  KTSocket lines(kCategory);
  for (;;) {
    // Straight into str; once it is full, one byte more tells that the
    // file does not fit.
    char extra;
    bool full = count == size - 1;
    ssize_t r = full ? lines.read_some(s, &extra, 1)
                     : lines.read_some(s, str + count, static_cast<size_t>(size - 1 - count));
    // A file cut short by silence or a broken connection is no file.
    if (r == -2) {
      str[0] = '\0';
      return 0;
    }
    if (r < 0) {
      KTLOG(qi::LogLevel_Warning) << "ファイル受信中に接続が切れました： 中止";
      str[0] = '\0';
      return 0;
    }
    if (r == 0) break;
    if (full) {
      tellConsole("ファイルサイズがバッファサイズを越えました： 中止");
      KTLOG(qi::LogLevel_Warning) << "ファイルサイズがバッファサイズを越えました： 中止";
      str[0] = '\0';
      return 0;
    }
    count += static_cast<int>(r);
  }
  str[count] = '\0';
  return count;
}
