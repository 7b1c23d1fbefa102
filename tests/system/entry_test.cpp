// libktorrin loaded as the platform loads it: dlopen and its C entry points.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <alcommon/albrokermanager.h>
#include <alcommon/alproxy.h>
#include <qi/log.hpp>

#include "ktest.h"

namespace {

typedef int (*CreateModule)(boost::shared_ptr<AL::ALBroker>);
typedef int (*CloseModule)();

const char* const kInitialised = "システムモジュールを初期化しました";

// The library stays loaded: a module created from it must outlive the test
// body, and a second dlopen only takes another reference.
class EntryTest : public kt::test::RobotTest {
protected:
  void SetUp() override {
    library = dlopen(KT_LIB_DIR "/libktorrin.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    createModule = reinterpret_cast<CreateModule>(dlsym(library, "_createModule"));
    closeModule = reinterpret_cast<CloseModule>(dlsym(library, "_closeModule"));
    ASSERT_NE(nullptr, createModule) << "no C symbol _createModule";
    ASSERT_NE(nullptr, closeModule) << "no C symbol _closeModule";
  }

  void* library = nullptr;
  CreateModule createModule = nullptr;
  CloseModule closeModule = nullptr;
};

TEST_F(EntryTest, CreatesTheRegisteredModule) {
  ASSERT_EQ(0, createModule(broker));

  boost::shared_ptr<AL::ALModuleCore> module = broker->getModuleByName("KTOrrin");
  ASSERT_TRUE(module);
  EXPECT_EQ("KTOrrin", module->getName());
  EXPECT_EQ("ktorrinは、rukoのシステムコントロールのためのモジュールです。",
            module->getModuleDescription());
  const std::vector<AL::ALMethodInfo>& methods = module->getMethods();
  ASSERT_EQ(2u, methods.size());
  EXPECT_EQ("getRobotLog", methods[0].name);
  EXPECT_EQ("ロボットのログを取得する", methods[0].description);
  EXPECT_EQ("init", methods[1].name);
  EXPECT_EQ("初期化、最初に必ず実行しなければならない", methods[1].description);
  for (const AL::ALMethodInfo& m : methods) {
    EXPECT_EQ("KTOrrin", m.moduleName);
    EXPECT_TRUE(m.params.empty()) << m.name;
    EXPECT_EQ(0, m.arity) << m.name;
  }

  // The factory ran init once.
  EXPECT_EQ(std::vector<std::string>({kInitialised}), log.messages("ktorrin"));
  EXPECT_TRUE(log.has(qi::LogLevel_Info, "ktorrin", kInitialised));
}

TEST_F(EntryTest, MethodsAnswerByName) {
  ASSERT_EQ(0, createModule(broker));
  AL::ALProxy orrin(broker, "KTOrrin", 0, 0);
  // Replace whatever the platform logged so far.
  root.write("/var/volatile/var/log/naoqi/tail-naoqi.log", "a\nb\n");
  EXPECT_EQ("a\nb\n", orrin.call<std::string>("getRobotLog"));
  EXPECT_EQ("", orrin.call<std::string>("getRobotLog"));

  orrin.callVoid("init");
  EXPECT_EQ(2u, log.messages("ktorrin").size());
  // init appended its own line to the file, after a and b.
  std::string again = orrin.call<std::string>("getRobotLog");
  EXPECT_EQ(0u, again.find("a\nb\n")) << again;
  EXPECT_NE(std::string::npos, again.find(kInitialised)) << again;
}

TEST_F(EntryTest, BrokerManagerIsTheBrokersOwn) {
  ASSERT_EQ(0, createModule(broker));
  EXPECT_EQ(robot.brokerManager(), AL::ALBrokerManager::getInstance());
  std::vector<boost::shared_ptr<AL::ALBroker> > brokers =
      AL::ALBrokerManager::getInstance()->getBrokerList();
  ASSERT_EQ(1u, brokers.size());
  EXPECT_EQ(broker, brokers[0]);
}

TEST_F(EntryTest, KeepsNoReferenceToTheModule) {
  ASSERT_EQ(0, createModule(broker));
  boost::weak_ptr<AL::ALModuleCore> module = broker->getModuleByName("KTOrrin");
  ASSERT_FALSE(module.expired());
  broker->unregisterModule("KTOrrin");
  EXPECT_TRUE(module.expired());
}

TEST_F(EntryTest, FailureLeavesTheEntryPoint) {
  ASSERT_EQ(0, createModule(broker));
  std::vector<std::string> modules = broker->getModuleNames();
  // A second module of that name cannot be registered.
  EXPECT_THROW(createModule(broker), AL::ALError);
  EXPECT_EQ(modules, broker->getModuleNames());
  EXPECT_EQ(1u, log.messages("ktorrin").size());
}

TEST_F(EntryTest, CloseModuleReturnsZeroAndChangesNothing) {
  boost::shared_ptr<AL::ALBrokerManager> before = AL::ALBrokerManager::getInstance();
  std::vector<std::string> modules = broker->getModuleNames();
  EXPECT_EQ(0, closeModule());
  EXPECT_EQ(modules, broker->getModuleNames());
  EXPECT_EQ(before, AL::ALBrokerManager::getInstance());
  EXPECT_TRUE(log.messages("ktorrin").empty());

  ASSERT_EQ(0, createModule(broker));
  EXPECT_EQ(0, closeModule());
  EXPECT_TRUE(broker->isModulePresent("KTOrrin"));
}

TEST_F(EntryTest, LeavesTheLogSettingsAtThePlatformDefaults) {
  ASSERT_EQ(qi::log::defaultVerbosity, qi::log::verbosity());
  ASSERT_EQ(qi::log::defaultContext, qi::log::context());
  ASSERT_EQ(0, createModule(broker));
  EXPECT_EQ(qi::log::defaultVerbosity, qi::log::verbosity());
  EXPECT_EQ(qi::log::defaultContext, qi::log::context());
  // The initialisation line carries the default context: long level and category.
  for (const kt::test::LogLine& l : log.lines()) {
    if (l.category != "ktorrin") continue;
    EXPECT_NE(std::string::npos, l.formatted.find("[INFO] ktorrin: " + std::string(kInitialised)))
        << l.formatted;
  }
}

}  // namespace
