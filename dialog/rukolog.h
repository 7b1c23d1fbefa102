// The dialog robot module's log lines, under its category.
#ifndef RUKOLOG_H
#define RUKOLOG_H

#define KT_LOG_CATEGORY "ktruko"
#include "ktlog.h"

#endif
