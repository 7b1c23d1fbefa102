// The robot link module's log lines, under its category.
#ifndef VESPERLOG_H
#define VESPERLOG_H

#include <qi/log.hpp>

#define VESPER_CATEGORY "ktvesper"
#define VLOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, VESPER_CATEGORY)
#define VINFO VLOG(qi::LogLevel_Info)
#define VWARN VLOG(qi::LogLevel_Warning)

#endif
