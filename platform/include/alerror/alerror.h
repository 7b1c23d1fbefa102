// The one exception of the platform.
#ifndef AL_ALERROR_H
#define AL_ALERROR_H

#include <exception>
#include <string>

namespace AL {

class ALError : public std::exception {
public:
  explicit ALError(const std::string& description)
    : fDescription(description) {}
  ALError(const std::string& moduleName, const std::string& method,
          const std::string& description)
    : fModuleName(moduleName), fMethod(method),
      fDescription(moduleName.empty() && method.empty()
                       ? description
                       : moduleName + "." + method + ": " + description) {}
  virtual ~ALError() throw() {}

  virtual const char* what() const throw() { return fDescription.c_str(); }
  const std::string& getModuleName() const { return fModuleName; }
  const std::string& getMethod() const { return fMethod; }
  const std::string& getDescription() const { return fDescription; }

private:
  std::string fModuleName;
  std::string fMethod;
  std::string fDescription;
};

}  // namespace AL

#endif
