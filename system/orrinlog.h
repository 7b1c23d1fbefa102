// The system control module's log lines, under its category.
#ifndef ORRINLOG_H
#define ORRINLOG_H

#include <qi/log.hpp>

#define KTLOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, "ktorrin")

#endif
