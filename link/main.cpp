// Entry points called by the platform when it loads libktvesper.
#include "ktentry.h"
#include "ktvesper.h"

extern "C" {

KT_ENTRY_POINT int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  return ktCreateModule<KTVesper>(pBroker, "KTVesper");
}

KT_ENTRY_POINT int _closeModule() { return 0; }

}
