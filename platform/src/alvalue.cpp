#include <alvalue/alvalue.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace AL {

ALValue::ALValue() : fType(TypeInvalid), fBool(false), fInt(0), fFloat(0) {}
ALValue::ALValue(bool b) : fType(TypeBool), fBool(b), fInt(0), fFloat(0) {}
ALValue::ALValue(int i) : fType(TypeInt), fBool(false), fInt(i), fFloat(0) {}
ALValue::ALValue(unsigned int i)
  : fType(TypeInt), fBool(false), fInt(static_cast<int>(i)), fFloat(0) {}
ALValue::ALValue(long i)
  : fType(TypeInt), fBool(false), fInt(static_cast<int>(i)), fFloat(0) {}
ALValue::ALValue(unsigned long i)
  : fType(TypeInt), fBool(false), fInt(static_cast<int>(i)), fFloat(0) {}
ALValue::ALValue(long long i)
  : fType(TypeInt), fBool(false), fInt(static_cast<int>(i)), fFloat(0) {}
ALValue::ALValue(float f) : fType(TypeFloat), fBool(false), fInt(0), fFloat(f) {}
ALValue::ALValue(double d)
  : fType(TypeFloat), fBool(false), fInt(0), fFloat(static_cast<float>(d)) {}
ALValue::ALValue(const char* s)
  : fType(TypeString), fBool(false), fInt(0), fFloat(0), fString(s ? s : "") {}
ALValue::ALValue(const std::string& s)
  : fType(TypeString), fBool(false), fInt(0), fFloat(0), fString(s) {}
ALValue::ALValue(const ALValueArray& a)
  : fType(TypeArray), fBool(false), fInt(0), fFloat(0), fArray(a) {}
ALValue::ALValue(ALValueArray&& a)
  : fType(TypeArray), fBool(false), fInt(0), fFloat(0), fArray(std::move(a)) {}

template <typename T>
static ALValue::ALValueArray toArray(const std::vector<T>& v) {
  ALValue::ALValueArray a;
  a.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) a.push_back(ALValue(v[i]));
  return a;
}

ALValue::ALValue(const std::vector<std::string>& v)
  : fType(TypeArray), fBool(false), fInt(0), fFloat(0), fArray(toArray(v)) {}
ALValue::ALValue(const std::vector<float>& v)
  : fType(TypeArray), fBool(false), fInt(0), fFloat(0), fArray(toArray(v)) {}
ALValue::ALValue(const std::vector<int>& v)
  : fType(TypeArray), fBool(false), fInt(0), fFloat(0), fArray(toArray(v)) {}

static const char* typeName(ALValue::Type t) {
  switch (t) {
    case ALValue::TypeInvalid: return "invalid";
    case ALValue::TypeBool: return "bool";
    case ALValue::TypeInt: return "int";
    case ALValue::TypeFloat: return "float";
    case ALValue::TypeString: return "string";
    case ALValue::TypeArray: return "array";
  }
  return "?";
}

double ALValue::number(const char* target) const {
  switch (fType) {
    case TypeBool: return fBool ? 1 : 0;
    case TypeInt: return fInt;
    case TypeFloat: return fFloat;
    default:
      throw ALError("ALValue", "convert",
                    std::string("cannot convert ") + typeName(fType) + " " +
                        toString() + " to " + target);
  }
}

ALValue::operator bool() const { return number("bool") != 0; }
ALValue::operator int() const {
  if (fType == TypeInt) return fInt;
  double d = number("int");
  // Beyond int (or NaN) the cast has no defined result.
  if (!(d > -2147483649.0 && d < 2147483648.0))
    throw ALError("ALValue", "convert", "value out of range for int: " + toString());
  return static_cast<int>(d);
}
ALValue::operator float() const {
  if (fType == TypeFloat) return fFloat;
  return static_cast<float>(number("float"));
}
ALValue::operator double() const {
  if (fType == TypeFloat) return fFloat;
  return number("double");
}

const std::string& ALValue::asString() const {
  if (fType != TypeString)
    throw ALError("ALValue", "convert",
                  std::string("cannot convert ") + typeName(fType) + " " +
                      toString() + " to string");
  return fString;
}

ALValue::operator std::string() const { return asString(); }

const ALValue::ALValueArray& ALValue::asArray() const {
  if (fType != TypeArray)
    throw ALError("ALValue", "convert",
                  std::string("cannot convert ") + typeName(fType) + " " +
                      toString() + " to array");
  return fArray;
}

ALValue::operator ALValueArray() const { return asArray(); }

template <typename T>
static std::vector<T> fromArray(const ALValue::ALValueArray& a) {
  std::vector<T> v;
  v.reserve(a.size());
  for (size_t i = 0; i < a.size(); ++i) v.push_back(static_cast<T>(a[i]));
  return v;
}

ALValue::operator std::vector<std::string>() const {
  return fromArray<std::string>(asArray());
}
ALValue::operator std::vector<float>() const { return fromArray<float>(asArray()); }
ALValue::operator std::vector<int>() const { return fromArray<int>(asArray()); }

ALValue& ALValue::operator[](int i) {
  if (fType != TypeArray || i < 0 || static_cast<size_t>(i) >= fArray.size()) {
    std::ostringstream os;
    os << "index " << i << " out of range of " << toString();
    throw ALError("ALValue", "operator[]", os.str());
  }
  return fArray[i];
}

const ALValue& ALValue::operator[](int i) const {
  return const_cast<ALValue&>(*this)[i];
}

unsigned int ALValue::getSize() const {
  if (fType == TypeArray) return static_cast<unsigned int>(fArray.size());
  if (fType == TypeString) return static_cast<unsigned int>(fString.size());
  return 0;
}

void ALValue::arraySetSize(unsigned int n) {
  if (fType != TypeArray) {
    *this = ALValue(ALValueArray());
  }
  fArray.resize(n);
}

void ALValue::arrayPush(const ALValue& v) {
  if (fType != TypeArray) *this = ALValue(ALValueArray());
  fArray.push_back(v);
}

bool ALValue::operator==(const ALValue& o) const {
  if (fType != o.fType) return false;
  switch (fType) {
    case TypeInvalid: return true;
    case TypeBool: return fBool == o.fBool;
    case TypeInt: return fInt == o.fInt;
    case TypeFloat: return fFloat == o.fFloat;
    case TypeString: return fString == o.fString;
    case TypeArray: return fArray == o.fArray;
  }
  return false;
}

static std::string shortestFloat(float f) {
  char buf[64];
  for (int precision = 1; precision <= 9; ++precision) {
    snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(f));
    if (strtof(buf, 0) == f) break;
  }
  return buf;
}

std::string ALValue::toString(eVerbosity verbosity) const {
  switch (fType) {
    case TypeInvalid: return "";
    case TypeBool: return fBool ? "true" : "false";
    case TypeInt: {
      char buf[16];
      snprintf(buf, sizeof buf, "%d", fInt);
      return buf;
    }
    case TypeFloat: return shortestFloat(fFloat);
    case TypeString: return "\"" + fString + "\"";
    case TypeArray: {
      std::string s = "[";
      for (size_t i = 0; i < fArray.size(); ++i) {
        if (i) s += ", ";
        s += fArray[i].toString(verbosity);
      }
      return s + "]";
    }
  }
  return "";
}

ALValue ALValue::array() { return ALValue(ALValueArray()); }
ALValue ALValue::array(const ALValue& a) {
  ALValue v = array();
  v.arrayPush(a);
  return v;
}
ALValue ALValue::array(const ALValue& a, const ALValue& b) {
  ALValue v = array(a);
  v.arrayPush(b);
  return v;
}
ALValue ALValue::array(const ALValue& a, const ALValue& b, const ALValue& c) {
  ALValue v = array(a, b);
  v.arrayPush(c);
  return v;
}
ALValue ALValue::array(const ALValue& a, const ALValue& b, const ALValue& c,
                       const ALValue& d) {
  ALValue v = array(a, b, c);
  v.arrayPush(d);
  return v;
}

}  // namespace AL
