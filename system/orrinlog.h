// The system control module's log lines, under its category.
#ifndef ORRINLOG_H
#define ORRINLOG_H

#define KT_LOG_CATEGORY "ktorrin"
#include "ktlog.h"

#endif
