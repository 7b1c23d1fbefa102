// Entry points called by the platform when it loads libktvesper.
#include "ktentry.h"
#include "ktvesper.h"

extern "C" {

int _createModule(boost::shared_ptr<AL::ALBroker> pBroker) {
  return ktCreateModule<KTVesper>(pBroker, "KTVesper");
}

int _closeModule() { return 0; }

}
