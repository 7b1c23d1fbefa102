#include <ktplatform/sim/world.h>

#include <algorithm>

#include <ktplatform/json.h>

#include "simlog.h"

namespace kt {
namespace sim {

namespace {

const size_t kBlockBytes = 64u << 10;

class JournalLock {
public:
  explicit JournalLock(pthread_mutex_t& m) : fMutex(m) { pthread_mutex_lock(&fMutex); }
  ~JournalLock() { pthread_mutex_unlock(&fMutex); }

private:
  pthread_mutex_t& fMutex;
};

}  // namespace

World::World() : fBytes(0), fDropped(0), fFaultCount(0) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  pthread_mutex_init(&fJournalMutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

World::~World() { pthread_mutex_destroy(&fJournalMutex); }

void World::record(const std::string& service, const std::string& method,
                   const std::vector<AL::ALValue>& args) {
  // Built outside the lock, in a buffer each thread keeps.
  static thread_local std::string line;
  line.assign(service);
  line += '.';
  line += method;
  // One entry a line: a name that holds a line break (any caller may name
  // a method) is written with it escaped.
  for (size_t i = 0; i < line.size(); ++i)
    if (line[i] == '\n') line.replace(i, 1, "\\n");
  line += " [";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i) line += ',';
    appendJson(line, args[i]);
  }
  line += "]\n";

  JournalLock lock(fJournalMutex);
  if (fBlocks.empty() || fBlocks.back().text.size() + line.size() > fBlocks.back().text.capacity()) {
    // The block dropped last is filled again: a full journal allocates
    // nothing and touches no new page.
    fBlocks.push_back(Block());
    fBlocks.back().text.swap(fSpare);
    fBlocks.back().text.reserve(std::max(kBlockBytes, line.size()));
    fBlocks.back().lines = 0;
  }
  fBlocks.back().text += line;
  ++fBlocks.back().lines;
  fBytes += line.size();
  while (fBytes > kJournalBytes && fBlocks.size() > 1) {
    fBytes -= fBlocks.front().text.size();
    fDropped += fBlocks.front().lines;
    fSpare.swap(fBlocks.front().text);
    fSpare.clear();
    fBlocks.pop_front();
  }
}

// The journal's text as it is now; the caller holds the lock.
World::Copy World::copy() const {
  Copy c;
  c.text.reserve(fBytes);
  c.lines = 0;
  for (size_t i = 0; i < fBlocks.size(); ++i) {
    c.text += fBlocks[i].text;
    c.lines += fBlocks[i].lines;
  }
  c.dropped = fDropped;
  return c;
}

// Split outside the lock: a long journal holds up no service call.
std::vector<std::string> World::Copy::split() const {
  std::vector<std::string> out;
  out.reserve(lines + 1);
  if (dropped) out.push_back("(" + std::to_string(dropped) + " older calls dropped)");
  for (size_t begin = 0; begin < text.size();) {
    size_t end = text.find('\n', begin);
    out.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return out;
}

std::vector<std::string> World::journal() const {
  Copy c;
  {
    JournalLock lock(fJournalMutex);
    c = copy();
  }
  return c.split();
}

std::vector<std::string> World::takeJournal(bool clear) {
  Copy c;
  {
    JournalLock lock(fJournalMutex);
    c = copy();
    if (clear) {
      std::deque<Block>().swap(fBlocks);
      std::string().swap(fSpare);
      fBytes = 0;
      fDropped = 0;
    }
  }
  return c.split();
}

void World::clearJournal() { takeJournal(true); }

void World::setFault(const std::string& serviceMethod, FaultMode mode) {
  Lock lock(fFaultMutex);
  if (mode == FaultNone)
    fFaults.erase(serviceMethod);
  else
    fFaults[serviceMethod] = mode;
  fFaultCount.store(fFaults.size());
}

FaultMode World::fault(const std::string& serviceMethod) const {
  if (fFaultCount.load() == 0) return FaultNone;
  Lock lock(fFaultMutex);
  std::map<std::string, FaultMode>::const_iterator it = fFaults.find(serviceMethod);
  return it == fFaults.end() ? FaultNone : it->second;
}

FaultMode World::fault(const std::string& service, const std::string& method) const {
  // Most robots have no fault at all: then no name is built and no lock taken.
  if (fFaultCount.load() == 0) return FaultNone;
  return fault(service + "." + method);
}

void World::clearFaults() {
  Lock lock(fFaultMutex);
  fFaults.clear();
  fFaultCount.store(0);
}

}  // namespace sim
}  // namespace kt
