// Entry points called by the platform when it loads libktlarkin.
#include "ktentry.h"
#include "ktlarkin.h"

extern "C" {

int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  return ktCreateModule<KTLarkin>(pBroker, "KTLarkin");
}

int _closeModule() { return 0; }

}
