// KTSocket: opens TCP client connections and reads text lines from sockets.
// The content server client and the robot link both use it; each gives its
// own log category.
#ifndef KTSOCKET_H
#define KTSOCKET_H

#include <sys/types.h>

#include <cstddef>
#include <string>

class KTSocket {
public:
  // Every caller's line buffer holds this many bytes.
  static const int kLineSize = 512;
  // A slow server still connects and sends its next bytes well within these.
  static const int kConnectTimeoutSeconds = 10;
  static const int kReadTimeoutSeconds = 20;
  // The time-outs in force, in milliseconds, for every socket of the
  // process; tests shorten them.
  static int connectTimeoutMs;
  static int readTimeoutMs;
  // A peer that vanished without closing a connection held open for long
  // is found after the idle time and the unanswered probes: about 2 minutes.
  static const int kKeepAliveIdleSeconds = 60;
  static const int kKeepAliveIntervalSeconds = 10;
  static const int kKeepAliveProbes = 6;

  // How a line read ended: at its newline, at the full buffer, at the end
  // of the stream (or an error), or at the read time-out.
  enum LineEnd { kLineWhole, kLineFull, kLineClosed, kLineTimedOut };

  explicit KTSocket(const char* category);

  // A host with a letter in it is looked up by name, any other is read as a
  // dotted address. Returns a connected descriptor, or -1 with a warning.
  // With local, the connection leaves from that address of this machine
  // where it still has it.
  int socket_open(const char* host, int port, const char* local = 0);
  // Why the last socket_open of this object failed, in the system's words,
  // and the error number (0 for a name not found).
  const std::string& failure() const { return why; }
  int failedWith() const { return error; }

  // Reads up to and including a newline into p (a kLineSize buffer) and
  // ends it with NUL; no byte after the newline is taken from the socket. A line of more than
  // kLineSize - 1 bytes is cut there; its rest stays unread in the socket
  // for the next read. End of stream, an error or a time-out end the line
  // early; the read time-out bounds the whole line, so that a peer sending
  // a byte now and then cannot hold the reader either. After a time-out the
  // socket is shut for reading, so that later reads on it end at once.
  // *end, when given, tells how the line ended.
  char* read_line(int socket, char* p, LineEnd* end = 0);
  void read_response(int socket, char* p);

  // read_line for a peer that may say nothing for long: it waits for the
  // first byte as long as the connection lasts; the read time-out then
  // bounds the rest of the line.
  LineEnd read_signal_line(int socket, char* p);

  // Turns on TCP keepalive with the figures above.
  static void keep_alive(int socket);

  // Writes all of line (NUL-terminated); false when the connection failed.
  // A peer that has closed gives a failure, never SIGPIPE.
  bool send_line(int socket, const char* line);

  // Waits until socket has bytes, end of stream or an error to report;
  // false after the read time-out of silence (logged, socket shut for
  // reading).
  bool wait_readable(int socket);

  // Reads what has come, up to size bytes, waiting only when nothing has:
  // as read(), or -2 after the read time-out of silence (logged, socket
  // shut for reading).
  ssize_t read_some(int socket, char* p, size_t size);

private:
  // deadlineMs < 0: none until the first byte.
  LineEnd read_line_until(int socket, char* p, long long deadlineMs);
  bool wait_readable_until(int socket, long long deadlineMs);
  void warn(const char* text);

  const char* category;
  std::string why;
  int error;
};

#endif
