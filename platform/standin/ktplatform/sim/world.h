// What the services of one simulated robot share: the journal of their
// calls and the faults injected into them.
#ifndef KTPLATFORM_SIM_WORLD_H
#define KTPLATFORM_SIM_WORLD_H

#include <pthread.h>

#include <atomic>
#include <deque>
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
  // The journal keeps the newest calls within this much text.
  static constexpr size_t kJournalBytes = 8u << 20;

  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  void record(const std::string& service, const std::string& method,
              const std::vector<AL::ALValue>& args);
  // One line per call: "Service.method" and the arguments as a JSON array,
  // oldest first. When older calls were dropped, the first line says how
  // many: "(N older calls dropped)".
  std::vector<std::string> journal() const;
  // The journal as journal() gives it; with clear, those calls are then
  // forgotten and their memory freed, in one step: a call journaled
  // meanwhile stays.
  std::vector<std::string> takeJournal(bool clear);
  void clearJournal();

  void setFault(const std::string& serviceMethod, FaultMode mode);
  FaultMode fault(const std::string& serviceMethod) const;
  FaultMode fault(const std::string& service, const std::string& method) const;
  void clearFaults();

private:
  // Lines, each ended by a line feed, in blocks dropped whole from the front.
  struct Block {
    std::string text;
    size_t lines;
  };
  struct Copy {
    std::string text;
    size_t lines;
    unsigned long long dropped;
    std::vector<std::string> split() const;
  };
  Copy copy() const;

  // Taken by every service call for a few dozen nanoseconds: a waiter spins
  // a little before it sleeps.
  mutable pthread_mutex_t fJournalMutex;
  std::deque<Block> fBlocks;
  std::string fSpare;  // the text of the block dropped last
  size_t fBytes;
  unsigned long long fDropped;

  mutable std::mutex fFaultMutex;
  std::map<std::string, FaultMode> fFaults;
  std::atomic<size_t> fFaultCount;  // read without the lock at every call
};

}  // namespace sim
}  // namespace kt

#endif
