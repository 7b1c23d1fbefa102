// The robot link module's log lines, under its category.
#ifndef VESPERLOG_H
#define VESPERLOG_H

#define KT_LOG_CATEGORY "ktvesper"
#include "ktlog.h"

#endif
