// The platform's stream logger.
#ifndef QI_LOG_HPP
#define QI_LOG_HPP

#include <functional>
#include <sstream>
#include <string>

namespace qi {

enum LogLevel {
  LogLevel_Silent = 0,
  LogLevel_Fatal,
  LogLevel_Error,
  LogLevel_Warning,
  LogLevel_Info,
  LogLevel_Verbose,
  LogLevel_Debug
};

namespace log {

enum LogContextAttr {
  LogContextAttr_None = 0,
  LogContextAttr_Verbosity = 1,
  LogContextAttr_ShortVerbosity = 2,
  LogContextAttr_Date = 4,
  LogContextAttr_Tid = 8,
  LogContextAttr_Category = 16,
  LogContextAttr_File = 32,
  LogContextAttr_Function = 64,
  LogContextAttr_Return = 128
};

// The settings a process starts with, until init changes them.
const LogLevel defaultVerbosity = LogLevel_Info;
const int defaultContext = LogContextAttr_Verbosity | LogContextAttr_Date | LogContextAttr_Category;

void init(LogLevel verb = defaultVerbosity, int context = defaultContext, bool synchronous = true);
void destroy();
LogLevel verbosity();
int context();

// Emits one line when destroyed.
class LogStream : public std::stringstream {
public:
  LogStream(LogLevel level, const char* file, const char* function, int line,
            const char* category);
  LogStream(LogLevel level, const char* file, const char* function, const char* category,
            int line);
  ~LogStream();
  LogStream& self() { return *this; }

private:
  LogLevel fLevel;
  std::string fFile;
  std::string fFunction;
  int fLine;
  std::string fCategory;
};

// A handler sees every line that passes the level: its fields and its text
// as formatted with the context flags in force.
typedef std::function<void(LogLevel level, const char* category, const char* message,
                           const char* file, const char* function, int line,
                           const char* formatted)>
    logFuncHandler;

unsigned int addLogHandler(const std::string& name, logFuncHandler handler);
void removeLogHandler(const std::string& name);

void log(LogLevel level, const char* category, const std::string& message,
         const char* file = "", const char* function = "", int line = 0);

}  // namespace log
}  // namespace qi

#endif
