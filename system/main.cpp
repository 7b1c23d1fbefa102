// Entry points called by the platform when it loads libktorrin.
#include "ktentry.h"
#include "ktorrin.h"

extern "C" {

KT_ENTRY_POINT int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  return ktCreateModule<KTOrrin>(pBroker, "KTOrrin");
}

KT_ENTRY_POINT int _closeModule() { return 0; }

}
