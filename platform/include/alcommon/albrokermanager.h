// The process-wide broker manager.
#ifndef AL_ALBROKERMANAGER_H
#define AL_ALBROKERMANAGER_H

#include <mutex>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>

namespace AL {

class ALBrokerManager {
public:
  ALBrokerManager() {}
  static boost::shared_ptr<ALBrokerManager> getInstance();
  static void setInstance(boost::shared_ptr<ALBrokerManager> instance);

  void addBroker(boost::shared_ptr<ALBroker> broker);
  void removeBroker(boost::shared_ptr<ALBroker> broker);
  std::vector<boost::shared_ptr<ALBroker> > getBrokerList() const;

private:
  mutable std::mutex fMutex;
  std::vector<boost::shared_ptr<ALBroker> > fBrokers;
};

}  // namespace AL

#endif
