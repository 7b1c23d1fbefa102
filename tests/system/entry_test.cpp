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

// The library stays loaded: a module created from it must outlive the test.
class EntryTest : public kt::test::RobotTest {};

TEST_F(EntryTest, CreatesTheRegisteredModuleThatAnswersByName) {
  void* library = dlopen(KT_LIB_DIR "/libktorrin.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, library) << dlerror();
  CreateModule createModule = reinterpret_cast<CreateModule>(dlsym(library, "_createModule"));
  CloseModule closeModule = reinterpret_cast<CloseModule>(dlsym(library, "_closeModule"));
  ASSERT_NE(nullptr, createModule) << "no C symbol _createModule";
  ASSERT_NE(nullptr, closeModule) << "no C symbol _closeModule";

  std::vector<std::string> services = broker->getModuleNames();
  boost::shared_ptr<AL::ALBrokerManager> manager = AL::ALBrokerManager::getInstance();
  EXPECT_EQ(0, closeModule());
  EXPECT_EQ(services, broker->getModuleNames());
  EXPECT_EQ(manager, AL::ALBrokerManager::getInstance());

  ASSERT_EQ(0, createModule(broker));
  // The broker's manager became the process-wide one, holding the broker.
  EXPECT_EQ(robot.brokerManager(), AL::ALBrokerManager::getInstance());
  EXPECT_EQ(std::vector<boost::shared_ptr<AL::ALBroker> >{broker},
            AL::ALBrokerManager::getInstance()->getBrokerList());

  boost::weak_ptr<AL::ALModuleCore> created = broker->getModuleByName("KTOrrin");
  {
    boost::shared_ptr<AL::ALModuleCore> module = created.lock();
    ASSERT_TRUE(module);
    EXPECT_EQ("KTOrrin", module->getName());
    EXPECT_EQ("ktorrinは、rukoのシステムコントロールのためのモジュールです。",
              module->getModuleDescription());
    const std::vector<AL::ALMethodInfo>& methods = module->getMethods();
    const char* const expected[][2] = {{"getRobotLog", "ロボットのログを取得する"},
                                       {"init", "初期化、最初に必ず実行しなければならない"}};
    ASSERT_EQ(2u, methods.size());
    for (size_t i = 0; i < methods.size(); ++i) {
      SCOPED_TRACE(expected[i][0]);
      EXPECT_EQ(expected[i][0], methods[i].name);
      EXPECT_EQ(expected[i][1], methods[i].description);
      EXPECT_EQ("KTOrrin", methods[i].moduleName);
      EXPECT_TRUE(methods[i].params.empty());
      EXPECT_EQ(0, methods[i].arity);
    }
  }
  // The factory ran init once.
  EXPECT_EQ(std::vector<std::string>({kInitialised}), log.messages("ktorrin"));
  EXPECT_TRUE(log.has(qi::LogLevel_Info, "ktorrin", kInitialised));

  {
    AL::ALProxy orrin(broker, "KTOrrin", 0, 0);
    root.write("/var/volatile/var/log/naoqi/tail-naoqi.log", "a\nb\n");
    EXPECT_EQ("a\nb\n", orrin.call<std::string>("getRobotLog"));
  }

  // A second module of that name cannot be registered, and says so.
  std::vector<std::string> modules = broker->getModuleNames();
  EXPECT_THROW(createModule(broker), AL::ALError);
  EXPECT_EQ(modules, broker->getModuleNames());
  EXPECT_EQ(1u, log.messages("ktorrin").size());

  EXPECT_EQ(0, closeModule());
  EXPECT_TRUE(broker->isModulePresent("KTOrrin"));
  // The broker alone keeps the module.
  broker->unregisterModule("KTOrrin");
  EXPECT_TRUE(created.expired());
}

}  // namespace
