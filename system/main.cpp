// Entry points called by the platform when it loads libktorrin.
#include "ktentry.h"
#include "ktorrin.h"

extern "C" {

int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  return ktCreateModule<KTOrrin>(pBroker, "KTOrrin");
}

int _closeModule() { return 0; }

}
