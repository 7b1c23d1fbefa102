// A handle on a module or service, reached by name through a broker.
#ifndef AL_ALPROXY_H
#define AL_ALPROXY_H

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alerror/alerror.h>
#include <alvalue/alvalue.h>

namespace AL {

namespace detail {
template <typename R> struct ProxyResult {
  static R from(const ALValue& v) {
    R r = v;
    return r;
  }
};
template <> struct ProxyResult<ALValue> {
  static ALValue from(const ALValue& v) { return v; }
};

inline void packArgs(std::vector<ALValue>&) {}
template <typename T, typename... Rest>
void packArgs(std::vector<ALValue>& out, const T& first, const Rest&... rest) {
  out.push_back(ALValue(first));
  packArgs(out, rest...);
}
template <typename... A> void pack(std::vector<ALValue>& out, const A&... args) {
  out.reserve(sizeof...(A));
  packArgs(out, args...);
}
}  // namespace detail

class ALProxy {
public:
  // Throws ALError when the broker has no module of that name.
  ALProxy(boost::shared_ptr<ALBroker> broker, const std::string& moduleName,
          int proxyOptions = 0, int timeout = 0);
  virtual ~ALProxy();

  template <typename R, typename... A> R call(const std::string& method, const A&... args) {
    std::vector<ALValue> packed;
    detail::pack(packed, args...);
    return detail::ProxyResult<R>::from(genericCall(method, packed));
  }

  template <typename... A> void callVoid(const std::string& method, const A&... args) {
    std::vector<ALValue> packed;
    detail::pack(packed, args...);
    genericCall(method, packed);
  }

  ALValue genericCall(const std::string& method, const std::vector<ALValue>& args);

  const std::string& getModuleName() const { return fModuleName; }
  boost::shared_ptr<ALBroker> getParentBroker() const { return fBroker; }

private:
  boost::shared_ptr<ALBroker> fBroker;
  std::string fModuleName;
};

}  // namespace AL

#endif
