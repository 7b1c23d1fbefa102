// The topic transfer module's log lines, under its category.
#ifndef LARKINLOG_H
#define LARKINLOG_H

#define KT_LOG_CATEGORY "ktlarkin"
#include "ktlog.h"

#endif
