// Entry points called by the platform when it loads libktlarkin.
#include "ktentry.h"
#include "ktlarkin.h"

extern "C" {

KT_ENTRY_POINT int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  return ktCreateModule<KTLarkin>(pBroker, "KTLarkin");
}

KT_ENTRY_POINT int _closeModule() { return 0; }

}
