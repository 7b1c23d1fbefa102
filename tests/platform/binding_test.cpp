#include <gtest/gtest.h>

#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>

#include "ktest.h"

namespace {

class Sample : public AL::ALModule {
public:
  Sample(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
    : AL::ALModule(broker, name), inits(0) {
    setModuleDescription("sample");
    functionName("concat", getName(), "joins", 0);
    addParam("a", "first");
    addParam("b", "second");
    BIND_METHOD(Sample::concat);
    functionName("scale", getName(), "multiplies", 0);
    BIND_METHOD(Sample::scale);
    functionName("append", getName(), "appends to its argument", 0);
    BIND_METHOD(Sample::append);
    functionName("length", getName(), "C string length", 0);
    BIND_METHOD(Sample::length);
    functionName("kind", getName(), "value type", 0);
    BIND_METHOD(Sample::kind);
    functionName("fail", getName(), "throws", 0);
    BIND_METHOD(Sample::fail);
    functionName("init", getName(), "virtual init", 0);
    BIND_METHOD(Sample::init);
    functionName("memoryName", getName(), "memory proxy argument", 0);
    BIND_METHOD(Sample::memoryName);
  }
  std::string concat(const std::string& a, std::string b) { return a + b; }
  float scale(int n, float f, bool negate) { return negate ? -n * f : n * f; }
  void append(std::string& s) { s += "!"; last = s; }
  int length(const char* s) { return static_cast<int>(strlen(s)); }
  std::string kind(const AL::ALValue& v) { return v.isArray() ? "array" : "other"; }
  void fail() { throw std::runtime_error("plain failure"); }
  virtual void init() { ++inits; }
  std::string memoryName(boost::shared_ptr<AL::ALMemoryProxy> m, std::string) {
    return m->getModuleName();
  }
  int inits;
  std::string last;
};

class Derived : public Sample {
public:
  Derived(boost::shared_ptr<AL::ALBroker> broker, const std::string& name) : Sample(broker, name) {}
  virtual void init() { inits += 10; }
};

class BindingTest : public kt::test::RobotTest {};

TEST_F(BindingTest, CallsByNameWithConvertedArguments) {
  boost::shared_ptr<Sample> s = AL::ALModule::createModule<Sample>(broker, "Sample");
  EXPECT_EQ(1, s->inits);
  AL::ALProxy proxy(broker, "Sample", 0, 0);
  EXPECT_EQ("ab", proxy.call<std::string>("concat", "a", std::string("b")));
  EXPECT_FLOAT_EQ(-3.0f, proxy.call<float>("scale", 2, 1.5, true));
  proxy.callVoid("append", "x");
  EXPECT_EQ("x!", s->last);
  EXPECT_EQ(3, proxy.call<int>("length", "abc"));
  EXPECT_EQ("array", proxy.call<std::string>("kind", AL::ALValue::array(1)));
  EXPECT_EQ("ALMemory", proxy.call<std::string>("memoryName", 0, "x"));
}

TEST_F(BindingTest, RecordsDescriptionsAndParametersInOrder) {
  boost::shared_ptr<Sample> s = AL::ALModule::createModule<Sample>(broker, "Sample");
  EXPECT_EQ("sample", s->getModuleDescription());
  const std::vector<AL::ALMethodInfo>& m = s->getMethods();
  ASSERT_EQ(8u, m.size());
  EXPECT_EQ("concat", m[0].name);
  EXPECT_EQ("joins", m[0].description);
  ASSERT_EQ(2u, m[0].params.size());
  EXPECT_EQ("b", m[0].params[1].name);
  EXPECT_EQ("second", m[0].params[1].description);
  EXPECT_EQ("scale", m[1].name);
  EXPECT_TRUE(m[1].params.empty());
}

TEST_F(BindingTest, FailuresRaiseALError) {
  AL::ALModule::createModule<Sample>(broker, "Sample");
  AL::ALProxy proxy(broker, "Sample", 0, 0);
  EXPECT_THROW(proxy.callVoid("nothing"), AL::ALError);
  EXPECT_THROW(proxy.callVoid("concat", "only one"), AL::ALError);
  EXPECT_THROW(proxy.call<std::string>("concat", 1, 2), AL::ALError);
  try {
    proxy.callVoid("fail");
    FAIL() << "no error";
  } catch (const AL::ALError& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("plain failure"));
  }
  EXPECT_THROW(AL::ALProxy(broker, "NoSuchService", 0, 0), AL::ALError);
  EXPECT_THROW(AL::ALModule::createModule<Sample>(broker, "Sample"), AL::ALError);
}

// Lookups read the broker's table of names without a lock: a module that
// leaves is no longer found, and one registered again under its name is.
TEST_F(BindingTest, AModuleGoneOrRegisteredAgainIsFoundAsItIsNow) {
  boost::shared_ptr<Sample> first = AL::ALModule::createModule<Sample>(broker, "Sample");
  broker->unregisterModule("Sample");
  EXPECT_FALSE(broker->isModulePresent("Sample"));
  EXPECT_THROW(AL::ALProxy(broker, "Sample", 0, 0), AL::ALError);
  boost::shared_ptr<Sample> second = AL::ALModule::createModule<Sample>(broker, "Sample");
  AL::ALProxy(broker, "Sample", 0, 0).callVoid("append", "again");
  EXPECT_EQ("", first->last);
  EXPECT_EQ("again!", second->last);
  EXPECT_TRUE(broker->isModulePresent("ALMemory"));
}

TEST_F(BindingTest, BoundVirtualRunsTheOverride) {
  boost::shared_ptr<Derived> d = AL::ALModule::createModule<Derived>(broker, "Derived");
  EXPECT_EQ(10, d->inits);
  AL::ALProxy(broker, "Derived", 0, 0).callVoid("init");
  EXPECT_EQ(20, d->inits);
}

}  // namespace
