// Entry points called by the platform when it loads libktruko.
#include <cstdlib>

#include <qi/log.hpp>

#include "ktentry.h"
#include "ktruko.h"

extern "C" {

KT_ENTRY_POINT int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  ktCreateModule<KTRuko>(pBroker, "KTRuko");
  // Only this library sets the log up: short level, thread id, category.
  qi::log::init(qi::LogLevel_Info, qi::log::LogContextAttr_ShortVerbosity |
                                       qi::log::LogContextAttr_Tid |
                                       qi::log::LogContextAttr_Category,
                true);
  atexit(qi::log::destroy);
  return 0;
}

KT_ENTRY_POINT int _closeModule() { return 0; }

}
