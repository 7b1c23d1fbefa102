// KTInet: client of the content server. One call, one connection, one file.
#ifndef KTINET_H
#define KTINET_H

#include <string>

class KTInet {
public:
  static const int kContentPort = 5591;

  KTInet();
  ~KTInet();

  // Logs in as loginname with the session password, sends command and
  // receives the file into str (size bytes, NUL included). 1 on success,
  // else 0 with a warning.
  int getRemoteFile(const char* command, const char* loginname, const char* password,
                    char* str, int size);
  // Stores what the server sends until it closes; the byte count, or 0 when
  // the data did not fit or the connection failed (str then empty).
  int inetRecv(int s, char* str, int size);

  // why, when given, gets the reason of a failure.
  int socket_open(const char* host, int port, std::string* why = 0);
  char* read_line(int socket, char* p);
  void read_response(int socket, char* p);

  // The content server's host: KT_CONTENT_SERVER, else the fixed name.
  static const char* serverHost();
};

#endif
