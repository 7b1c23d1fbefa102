#include <ktplatform/sim/world.h>

#include <ktplatform/json.h>

#include "simlog.h"

namespace kt {
namespace sim {

void World::record(const std::string& service, const std::string& method,
                   const std::vector<AL::ALValue>& args) {
  std::string line = service + "." + method + " " + toJson(AL::ALValue(args));
  Lock lock(fMutex);
  fJournal.push_back(line);
}

std::vector<std::string> World::journal() const {
  Lock lock(fMutex);
  return fJournal;
}

void World::clearJournal() {
  Lock lock(fMutex);
  fJournal.clear();
}

void World::setFault(const std::string& serviceMethod, FaultMode mode) {
  Lock lock(fMutex);
  if (mode == FaultNone)
    fFaults.erase(serviceMethod);
  else
    fFaults[serviceMethod] = mode;
}

FaultMode World::fault(const std::string& serviceMethod) const {
  Lock lock(fMutex);
  std::map<std::string, FaultMode>::const_iterator it = fFaults.find(serviceMethod);
  return it == fFaults.end() ? FaultNone : it->second;
}

void World::clearFaults() {
  Lock lock(fMutex);
  fFaults.clear();
}

}  // namespace sim
}  // namespace kt
