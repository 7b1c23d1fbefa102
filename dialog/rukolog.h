// The dialog robot module's log lines, under its category.
#ifndef RUKOLOG_H
#define RUKOLOG_H

#include <qi/log.hpp>

#define KTLOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, "ktruko")
#define KTINFO KTLOG(qi::LogLevel_Info)
#define KTWARN KTLOG(qi::LogLevel_Warning)

#endif
