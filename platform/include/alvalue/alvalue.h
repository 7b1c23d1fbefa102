// The platform's variant value.
#ifndef AL_ALVALUE_H
#define AL_ALVALUE_H

#include <ostream>
#include <string>
#include <vector>

#include <alerror/alerror.h>

namespace AL {

enum eVerbosity {
  VerbosityNone = 0,
  VerbosityMini = 1,
  VerbosityMedium = 2,
  VerbosityFull = 3
};

class ALValue {
public:
  enum Type { TypeInvalid, TypeBool, TypeInt, TypeFloat, TypeString, TypeArray };
  typedef std::vector<ALValue> ALValueArray;

  ALValue();
  ALValue(bool b);
  ALValue(int i);
  ALValue(unsigned int i);
  ALValue(long i);
  ALValue(unsigned long i);
  ALValue(long long i);
  ALValue(float f);
  ALValue(double d);
  ALValue(const char* s);
  ALValue(const std::string& s);
  ALValue(const ALValueArray& a);
  // Takes the elements over instead of copying them.
  ALValue(ALValueArray&& a);
  ALValue(const std::vector<std::string>& v);
  ALValue(const std::vector<float>& v);
  ALValue(const std::vector<int>& v);

  Type getType() const { return fType; }
  bool isValid() const { return fType != TypeInvalid; }
  bool isBool() const { return fType == TypeBool; }
  bool isInt() const { return fType == TypeInt; }
  bool isFloat() const { return fType == TypeFloat; }
  bool isString() const { return fType == TypeString; }
  bool isArray() const { return fType == TypeArray; }

  // Numbers convert among themselves; a text converts only to a text.
  operator bool() const;
  operator int() const;
  operator float() const;
  operator double() const;
  operator std::string() const;
  operator ALValueArray() const;
  operator std::vector<std::string>() const;
  operator std::vector<float>() const;
  operator std::vector<int>() const;

  // Array access; an index past the end throws ALError.
  ALValue& operator[](int i);
  const ALValue& operator[](int i) const;
  unsigned int getSize() const;
  void arraySetSize(unsigned int n);
  void arrayPush(const ALValue& v);
  const ALValueArray& asArray() const;
  // The text itself; throws ALError as the conversion to text does.
  const std::string& asString() const;

  bool operator==(const ALValue& other) const;
  bool operator!=(const ALValue& other) const { return !(*this == other); }

  // Text form: ints in decimal, floats shortest "%g", texts quoted,
  // arrays as [a, b, c].
  std::string toString(eVerbosity verbosity = VerbosityMini) const;

  static ALValue array();
  static ALValue array(const ALValue& a);
  static ALValue array(const ALValue& a, const ALValue& b);
  static ALValue array(const ALValue& a, const ALValue& b, const ALValue& c);
  static ALValue array(const ALValue& a, const ALValue& b, const ALValue& c,
                       const ALValue& d);

private:
  double number(const char* target) const;
  Type fType;
  bool fBool;
  int fInt;
  float fFloat;
  std::string fString;
  ALValueArray fArray;
};

// The stream form is the short text form.
inline std::ostream& operator<<(std::ostream& out, const ALValue& value) {
  return out << value.toString(VerbosityMini);
}

}  // namespace AL

#endif
