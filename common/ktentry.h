// The steps every module library takes when the platform loads it.
#ifndef KTENTRY_H
#define KTENTRY_H

#include <string>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/albrokermanager.h>
#include <alcommon/almodule.h>

// The entry points are the only names a module library shows the platform.
#define KT_ENTRY_POINT __attribute__((visibility("default")))

// Makes the broker's manager the process-wide one, adds the broker to it and
// creates the module under its name. The module is kept alive by the broker.
template <typename T>
int ktCreateModule(boost::shared_ptr<AL::ALBroker> pBroker, const std::string& name) {
  AL::ALBrokerManager::setInstance(pBroker->fBrokerManager.lock());
  AL::ALBrokerManager::getInstance()->addBroker(pBroker);
  AL::ALModule::createModule<T>(pBroker, name);
  return 0;
}

#endif
