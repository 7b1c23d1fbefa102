#include <alcommon/almodule.h>

#include <exception>
#include <sstream>

#include <qi/log.hpp>

namespace AL {

ALModuleCore::ALModuleCore(boost::shared_ptr<ALBroker> broker, const std::string& name)
  : fBroker(broker), fName(name), fHasPending(false) {}

ALModuleCore::~ALModuleCore() {}

void ALModuleCore::setModuleDescription(const std::string& description) {
  fDescription = description;
}

void ALModuleCore::functionName(const std::string& name, const std::string& moduleName,
                                const std::string& description, int) {
  fPending = ALMethodInfo();
  fPending.name = name;
  fPending.moduleName = moduleName;
  fPending.description = description;
  fPending.arity = 0;
  fHasPending = true;
}

void ALModuleCore::addParam(const std::string& name, const std::string& description) {
  if (!fHasPending)
    throw ALError(fName, "addParam", "no method declared before parameter " + name);
  ALMethodParam p;
  p.name = name;
  p.description = description;
  fPending.params.push_back(p);
}

void ALModuleCore::bindPending(int arity,
                               const std::function<ALValue(const std::vector<ALValue>&)>& f) {
  if (!fHasPending) throw ALError(fName, "bindMethod", "no method declared with functionName");
  fPending.arity = arity;
  fPending.invoke = f;
  fHasPending = false;
  for (size_t i = 0; i < fMethods.size(); ++i) {
    if (fMethods[i].name == fPending.name) {
      fMethods[i] = fPending;
      return;
    }
  }
  fMethods.push_back(fPending);
}

const ALMethodInfo* ALModuleCore::findMethod(const std::string& method) const {
  // Names are unique: binding a name again replaces the method.
  for (size_t i = 0; i < fMethods.size(); ++i)
    if (fMethods[i].name == method) return &fMethods[i];
  return 0;
}

bool ALModuleCore::isMethodBound(const std::string& method) const {
  return findMethod(method) != 0;
}

ALValue ALModuleCore::callMethod(const std::string& method, const std::vector<ALValue>& args) {
  return invokeBound(method, args);
}

ALValue ALModuleCore::invokeBound(const std::string& method, const std::vector<ALValue>& args) {
  const ALMethodInfo* info = findMethod(method);
  if (!info) throw ALError(fName, method, "no such method");
  if (static_cast<int>(args.size()) != info->arity) {
    std::ostringstream os;
    os << "expects " << info->arity << " argument(s), got " << args.size();
    throw ALError(fName, method, os.str());
  }
  try {
    return info->invoke(args);
  } catch (const ALError&) {
    throw;
  } catch (const std::exception& e) {
    // Callers by name only know ALError.
    throw ALError(fName, method, e.what());
  }
}

}  // namespace AL
