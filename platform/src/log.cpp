#include <qi/log.hpp>

#include <ktplatform/processid.h>
#include <ktplatform/robotroot.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

namespace qi {
namespace log {

namespace {

std::atomic<int> gVerbosity(defaultVerbosity);
std::atomic<int> gContext(defaultContext);

typedef std::vector<std::pair<std::string, logFuncHandler> > HandlerList;

// Readers never lock, so that a process forked while another thread logs can
// still log. Lists replaced by a writer are kept, reachable, for good: a
// reader may still hold one.
std::atomic<const HandlerList*> gHandlers(new HandlerList());
std::vector<const HandlerList*>* gRetired = new std::vector<const HandlerList*>();

void replaceHandlers(const HandlerList* next) {
  gRetired->push_back(gHandlers.load());
  gHandlers.store(next);
}
std::mutex gWriterMutex;

const char* shortName(LogLevel level) {
  static const char* names[] = {"S", "F", "E", "W", "I", "V", "D"};
  return (level >= 0 && level <= LogLevel_Debug) ? names[level] : "?";
}

const char* longName(LogLevel level) {
  static const char* names[] = {"SILENT", "FATAL", "ERROR", "WARN", "INFO", "VERBOSE", "DEBUG"};
  return (level >= 0 && level <= LogLevel_Debug) ? names[level] : "?";
}

// localtime_r takes the C library's time zone lock, which a fork() can leave
// held. So the offset from UTC is looked up at most once an hour, never by a
// forked child that has one already, and the date is worked out here.
std::atomic<long> gOffsetHour(-1);
std::atomic<long> gOffset(0);
std::atomic<int> gOffsetPid(0);

long utcOffset(time_t now) {
  long hour = static_cast<long>(now / 3600);
  int pid = gOffsetPid.load();
  if (gOffsetHour.load() == hour || (pid != 0 && pid != kt::processId())) return gOffset.load();
  struct tm tmv;
  if (!localtime_r(&now, &tmv)) return gOffset.load();
  gOffset.store(tmv.tm_gmtoff);
  gOffsetHour.store(hour);
  gOffsetPid.store(kt::processId());
  return tmv.tm_gmtoff;
}

// Looked up once at load, before any thread of the process can fork, so that
// a forked child always finds an offset and never calls localtime_r itself.
struct OffsetAtLoad {
  OffsetAtLoad() { utcOffset(time(0)); }
} gOffsetAtLoad;

void formatDate(char* buf, size_t size) {
  time_t now = time(0);
  long long t = static_cast<long long>(now) + utcOffset(now);
  long long days = t / 86400, secs = t % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  long long d = doy - (153 * mp + 2) / 5 + 1;
  long long m = mp < 10 ? mp + 3 : mp - 9;
  long long y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  snprintf(buf, size, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld ", y, m, d, secs / 3600,
           secs / 60 % 60, secs % 60);
}

std::string format(LogLevel level, const char* category, const std::string& message,
                   const char* file, const char* function, int line) {
  int ctx = gContext.load();
  std::string out;
  char buf[96];
  if (ctx & LogContextAttr_Date) {
    formatDate(buf, sizeof buf);
    out += buf;
  }
  if (ctx & LogContextAttr_Verbosity) {
    snprintf(buf, sizeof buf, "[%s] ", longName(level));
    out += buf;
  } else if (ctx & LogContextAttr_ShortVerbosity) {
    snprintf(buf, sizeof buf, "[%s] ", shortName(level));
    out += buf;
  }
  if (ctx & LogContextAttr_Tid) {
    snprintf(buf, sizeof buf, "%ld ", static_cast<long>(syscall(SYS_gettid)));
    out += buf;
  }
  if (ctx & LogContextAttr_Category) {
    out += category;
    out += ": ";
  }
  if (ctx & LogContextAttr_File) {
    snprintf(buf, sizeof buf, "(%d) ", line);
    out += file;
    out += buf;
  }
  if (ctx & LogContextAttr_Function) {
    out += function;
    out += "() ";
  }
  out += message;
  return out;
}

void writeAll(int fd, const std::string& text) {
  // One write per line, so that lines of several threads never interleave;
  // only a write cut short by a signal or a full pipe needs another.
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0)
      done += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR)
      continue;
    else
      return;
  }
}

void writeTail(const std::string& text) {
  // Without a robot root this machine is no robot: leave the real log alone.
  if (kt::robotRoot().empty()) return;
  std::string path = kt::tailLogPath();
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    kt::makeFolders(path.substr(0, path.rfind('/')));
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  if (fd < 0) return;
  writeAll(fd, text);
  close(fd);
}

}  // namespace

void init(LogLevel verb, int ctx, bool) {
  gVerbosity.store(verb);
  gContext.store(ctx);
}

void destroy() {
  // Lines are written as they come; nothing is left to flush.
}

LogLevel verbosity() { return static_cast<LogLevel>(gVerbosity.load()); }
int context() { return gContext.load(); }

void log(LogLevel level, const char* category, const std::string& message, const char* file,
         const char* function, int line) {
  if (level > gVerbosity.load() || level == LogLevel_Silent) return;
  if (!category) category = "";
  if (!file) file = "";
  if (!function) function = "";
  std::string text = format(level, category, message, file, function, line);
  const HandlerList* handlers = gHandlers.load();
  for (size_t i = 0; i < handlers->size(); ++i) {
    // A failing handler must not keep the line from the others and the files.
    try {
      (*handlers)[i].second(level, category, message.c_str(), file, function, line,
                            text.c_str());
    } catch (...) {
    }
  }
  text += '\n';
  writeAll(2, text);
  writeTail(text);
}

unsigned int addLogHandler(const std::string& name, logFuncHandler handler) {
  std::lock_guard<std::mutex> lock(gWriterMutex);
  HandlerList* next = new HandlerList(*gHandlers.load());
  for (size_t i = 0; i < next->size(); ++i) {
    if ((*next)[i].first == name) {
      (*next)[i].second = handler;
      replaceHandlers(next);
      return static_cast<unsigned int>(i);
    }
  }
  next->push_back(std::make_pair(name, handler));
  replaceHandlers(next);
  return static_cast<unsigned int>(next->size() - 1);
}

void removeLogHandler(const std::string& name) {
  std::lock_guard<std::mutex> lock(gWriterMutex);
  HandlerList* next = new HandlerList();
  const HandlerList* cur = gHandlers.load();
  for (size_t i = 0; i < cur->size(); ++i)
    if ((*cur)[i].first != name) next->push_back((*cur)[i]);
  replaceHandlers(next);
}

LogStream::LogStream(LogLevel level, const char* file, const char* function, int line,
                     const char* category)
  : fLevel(level), fFile(file ? file : ""), fFunction(function ? function : ""), fLine(line),
    fCategory(category ? category : "") {}

LogStream::LogStream(LogLevel level, const char* file, const char* function,
                     const char* category, int line)
  : fLevel(level), fFile(file ? file : ""), fFunction(function ? function : ""), fLine(line),
    fCategory(category ? category : "") {}

LogStream::~LogStream() {
  // A destructor that throws ends the process.
  try {
    log(fLevel, fCategory.c_str(), str(), fFile.c_str(), fFunction.c_str(), fLine);
  } catch (...) {
  }
}

}  // namespace log
}  // namespace qi
