// The topic transfer module's log lines, under its category.
#ifndef LARKINLOG_H
#define LARKINLOG_H

#include <qi/log.hpp>

#define LARKIN_CATEGORY "ktlarkin"
#define KTLOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, LARKIN_CATEGORY)

#endif
