// A module's log lines, under the category its own log header names as
// KT_LOG_CATEGORY before it includes this.
#ifndef KTLOG_H
#define KTLOG_H

#include <qi/log.hpp>

#ifndef KT_LOG_CATEGORY
#error "name the module's log category (KT_LOG_CATEGORY) before including ktlog.h"
#endif

#define KTLOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, KT_LOG_CATEGORY)
#define KTINFO KTLOG(qi::LogLevel_Info)
#define KTWARN KTLOG(qi::LogLevel_Warning)

#endif
