#include <qi/log.hpp>

#include <ktplatform/robotroot.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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
// still log. Lists replaced by a writer are leaked: a reader may hold one.
std::atomic<const HandlerList*> gHandlers(new HandlerList());
std::mutex gWriterMutex;

const char* shortName(LogLevel level) {
  static const char* names[] = {"S", "F", "E", "W", "I", "V", "D"};
  return (level >= 0 && level <= LogLevel_Debug) ? names[level] : "?";
}

const char* longName(LogLevel level) {
  static const char* names[] = {"SILENT", "FATAL", "ERROR", "WARN", "INFO", "VERBOSE", "DEBUG"};
  return (level >= 0 && level <= LogLevel_Debug) ? names[level] : "?";
}

std::string format(LogLevel level, const char* category, const std::string& message,
                   const char* file, const char* function, int line) {
  int ctx = gContext.load();
  std::string out;
  char buf[96];
  if (ctx & LogContextAttr_Date) {
    time_t now = time(0);
    struct tm tmv;
    localtime_r(&now, &tmv);
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &tmv);
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
  // One write per line, so that lines of several threads never interleave.
  ssize_t n = ::write(fd, text.data(), text.size());
  (void)n;
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
  std::string text = format(level, category, message, file, function, line);
  const HandlerList* handlers = gHandlers.load();
  for (size_t i = 0; i < handlers->size(); ++i)
    (*handlers)[i].second(level, category, message.c_str(), file, function, line, text.c_str());
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
      gHandlers.store(next);
      return static_cast<unsigned int>(i);
    }
  }
  next->push_back(std::make_pair(name, handler));
  gHandlers.store(next);
  return static_cast<unsigned int>(next->size() - 1);
}

void removeLogHandler(const std::string& name) {
  std::lock_guard<std::mutex> lock(gWriterMutex);
  HandlerList* next = new HandlerList();
  const HandlerList* cur = gHandlers.load();
  for (size_t i = 0; i < cur->size(); ++i)
    if ((*cur)[i].first != name) next->push_back((*cur)[i]);
  gHandlers.store(next);
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
  log(fLevel, fCategory.c_str(), str(), fFile.c_str(), fFunction.c_str(), fLine);
}

}  // namespace log
}  // namespace qi
