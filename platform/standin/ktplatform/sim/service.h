// Base of the simulated services: every call is journaled, then faulted or run.
#ifndef KTPLATFORM_SIM_SERVICE_H
#define KTPLATFORM_SIM_SERVICE_H

#include <mutex>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/almodule.h>
#include <ktplatform/sim/world.h>

namespace kt {
namespace sim {

class Service : public AL::ALModule {
public:
  Service(boost::shared_ptr<AL::ALBroker> broker, const std::string& name, World& world);
  virtual AL::ALValue callMethod(const std::string& method,
                                 const std::vector<AL::ALValue>& args);

protected:
  World& fWorld;
  mutable std::mutex fStateMutex;
};

}  // namespace sim
}  // namespace kt

#endif
