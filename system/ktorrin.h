// KTOrrin: lets a client follow the platform log.
#ifndef KTORRIN_H
#define KTORRIN_H

#include <mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/almodule.h>

class KTOrrin : public AL::ALModule {
public:
  KTOrrin(boost::shared_ptr<AL::ALBroker> broker, const std::string& name);
  virtual ~KTOrrin();

  virtual void init();
  std::string getRobotLog();

private:
  int lineLoc;
  int transLineNo;
  // Several clients share the one read position.
  std::mutex readMutex;
};

#endif
