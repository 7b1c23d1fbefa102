// Module core: description, method declaration and binding, call by name.
#ifndef AL_ALMODULE_H
#define AL_ALMODULE_H

#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <alcommon/albroker.h>
#include <alerror/alerror.h>
#include <alvalue/alvalue.h>

namespace qi {
// Call types of the method binder; every binding here is synchronous.
enum MetaCallType { MetaCallType_Auto = 0, MetaCallType_Direct = 1, MetaCallType_Queued = 2 };
}

namespace AL {

class ALModuleCore;

namespace detail {

template <int...> struct Seq {};
template <int N, int... S> struct MakeSeq : MakeSeq<N - 1, N - 1, S...> {};
template <int... S> struct MakeSeq<0, S...> { typedef Seq<S...> type; };

// How a value received by name becomes the declared C++ parameter.
template <typename A> struct Arg {
  typedef typename std::decay<A>::type Stored;
  static Stored convert(const ALValue& v, ALModuleCore*) {
    Stored s = v;
    return s;
  }
  static A pass(Stored& s) { return s; }
};

// Text and values taken by const reference are passed from the received
// value itself, not copied first.
template <> struct Arg<const std::string&> {
  typedef const std::string* Stored;
  static Stored convert(const ALValue& v, ALModuleCore*) { return &v.asString(); }
  static const std::string& pass(Stored s) { return *s; }
};

template <> struct Arg<const ALValue&> {
  typedef const ALValue* Stored;
  static Stored convert(const ALValue& v, ALModuleCore*) { return &v; }
  static const ALValue& pass(Stored s) { return *s; }
};

template <> struct Arg<const char*> {
  typedef std::string Stored;
  static Stored convert(const ALValue& v, ALModuleCore*) {
    std::string s = v;
    return s;
  }
  static const char* pass(Stored& s) { return s.c_str(); }
};

// Whether a parameter is declared as text: a caller that holds only text
// (the command-line client) then passes its argument unchanged.
template <typename A> struct TakesText {
  typedef typename std::decay<A>::type D;
  static const bool value =
      std::is_same<D, std::string>::value || std::is_same<D, const char*>::value;
};

template <typename R> struct Result {
  template <typename C, typename F, typename... P>
  static ALValue invoke(C* self, F fn, P&&... p) {
    return ALValue((self->*fn)(std::forward<P>(p)...));
  }
};

template <> struct Result<void> {
  template <typename C, typename F, typename... P>
  static ALValue invoke(C* self, F fn, P&&... p) {
    (self->*fn)(std::forward<P>(p)...);
    return ALValue();
  }
};

template <typename C, typename F, typename R, typename... A> class Invoker {
public:
  Invoker(C* self, F fn, ALModuleCore* core) : fSelf(self), fFn(fn), fCore(core) {}
  ALValue operator()(const std::vector<ALValue>& args) const {
    return run(args, typename MakeSeq<sizeof...(A)>::type());
  }

private:
  template <int... I>
  ALValue run(const std::vector<ALValue>& args, Seq<I...>) const {
    (void)args;
    std::tuple<typename Arg<A>::Stored...> stored(Arg<A>::convert(args[I], fCore)...);
    (void)stored;
    return Result<R>::invoke(fSelf, fFn, Arg<A>::pass(std::get<I>(stored))...);
  }
  C* fSelf;
  F fFn;
  ALModuleCore* fCore;
};

}  // namespace detail

struct ALMethodParam {
  std::string name;
  std::string description;
};

struct ALMethodInfo {
  std::string name;
  std::string moduleName;
  std::string description;
  std::vector<ALMethodParam> params;
  int arity;
  std::vector<bool> textParams;  // per parameter: declared as text
  std::function<ALValue(const std::vector<ALValue>&)> invoke;
};

class ALModuleCore : public boost::enable_shared_from_this<ALModuleCore> {
public:
  ALModuleCore(boost::shared_ptr<ALBroker> broker, const std::string& name);
  virtual ~ALModuleCore();

  const std::string& getName() const { return fName; }
  boost::shared_ptr<ALBroker> getParentBroker() const { return fBroker.lock(); }

  void setModuleDescription(const std::string& description);
  const std::string& getModuleDescription() const { return fDescription; }

  // Starts the declaration of a method; addParam and BIND_METHOD complete it.
  void functionName(const std::string& name, const std::string& moduleName,
                    const std::string& description, int flags = 0);
  void addParam(const std::string& name, const std::string& description);

  template <typename C, typename M, typename R, typename... A>
  void bindMethodPointer(C* self, R (M::*fn)(A...),
                         qi::MetaCallType = qi::MetaCallType_Auto) {
    M* target = self;
    fPending.textParams = std::vector<bool>{detail::TakesText<A>::value...};
    bindPending(sizeof...(A),
                detail::Invoker<M, R (M::*)(A...), R, A...>(target, fn, this));
  }
  template <typename C, typename M, typename R, typename... A>
  void bindMethodPointer(C* self, R (M::*fn)(A...) const,
                         qi::MetaCallType = qi::MetaCallType_Auto) {
    M* target = self;
    fPending.textParams = std::vector<bool>{detail::TakesText<A>::value...};
    bindPending(sizeof...(A),
                detail::Invoker<M, R (M::*)(A...) const, R, A...>(target, fn, this));
  }

  // Calls a bound method with arguments converted to its declared types.
  virtual ALValue callMethod(const std::string& method, const std::vector<ALValue>& args);
  bool isMethodBound(const std::string& method) const;
  // The bound method of that name, or null.
  const ALMethodInfo* findMethod(const std::string& method) const;
  const std::vector<ALMethodInfo>& getMethods() const { return fMethods; }

  virtual void init() {}
  virtual void exit() {}

protected:
  ALValue invokeBound(const std::string& method, const std::vector<ALValue>& args);

private:
  void bindPending(int arity, const std::function<ALValue(const std::vector<ALValue>&)>& f);

  boost::weak_ptr<ALBroker> fBroker;
  std::string fName;
  std::string fDescription;
  std::vector<ALMethodInfo> fMethods;
  ALMethodInfo fPending;
  bool fHasPending;
};

class ALModule : public ALModuleCore {
public:
  ALModule(boost::shared_ptr<ALBroker> broker, const std::string& name)
    : ALModuleCore(broker, name) {}
  virtual ~ALModule() {}

  // Constructs the module, registers it with the broker and calls init() once.
  template <typename T>
  static boost::shared_ptr<T> createModule(boost::shared_ptr<ALBroker> broker,
                                           const std::string& name) {
    boost::shared_ptr<T> module(new T(broker, name));
    broker->registerModule(module);
    module->init();
    return module;
  }
};

}  // namespace AL

#define BIND_METHOD(x) this->bindMethodPointer(this, &x)

#endif
