// What the services of one simulated robot share: the journal of their calls and the faults injected into them.
#ifndef KTPLATFORM_SIM_WORLD_H
#define KTPLATFORM_SIM_WORLD_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <alvalue/alvalue.h>

namespace kt {
namespace sim {

enum FaultMode { FaultNone, FaultThrow, FaultFalse };

class World {
public:
  void record(const std::string& service, const std::string& method,
              const std::vector<AL::ALValue>& args);
  // One line per call: "Service.method" and the arguments as a JSON array.
  std::vector<std::string> journal() const;
  void clearJournal();

  void setFault(const std::string& serviceMethod, FaultMode mode);
  FaultMode fault(const std::string& serviceMethod) const;
  void clearFaults();

private:
  mutable std::mutex fMutex;
  std::vector<std::string> fJournal;
  std::map<std::string, FaultMode> fFaults;
};

}  // namespace sim
}  // namespace kt

#endif
