// The library entry points as the platform calls them: only libktruko sets
// the platform log up, and only once its module exists.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include <alcommon/alproxy.h>
#include <qi/log.hpp>

#include "ktest.h"

namespace {

typedef int (*CreateModule)(boost::shared_ptr<AL::ALBroker>);
typedef int (*CloseModule)();

struct Library {
  CreateModule create = nullptr;
  CloseModule close = nullptr;
};

std::string pathOf(const std::string& name) { return std::string(KT_LIB_DIR) + "/lib" + name + ".so"; }

Library open(const std::string& name) {
  Library lib;
  void* handle = dlopen(pathOf(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    ADD_FAILURE() << dlerror();
    return lib;
  }
  lib.create = reinterpret_cast<CreateModule>(dlsym(handle, "_createModule"));
  lib.close = reinterpret_cast<CloseModule>(dlsym(handle, "_closeModule"));
  EXPECT_TRUE(lib.create != nullptr && lib.close != nullptr) << name;
  return lib;
}

class KTRukoEntryTest : public kt::test::RobotTest {
protected:
  KTRukoEntryTest() { qi::log::init(qi::log::defaultVerbosity, qi::log::defaultContext, true); }
  // Later tests of this process expect the platform's own settings.
  ~KTRukoEntryTest() { qi::log::init(qi::log::defaultVerbosity, qi::log::defaultContext, true); }
  void expectDefaults(const std::string& after) {
    EXPECT_EQ(qi::log::defaultVerbosity, qi::log::verbosity()) << "after " << after;
    EXPECT_EQ(qi::log::defaultContext, qi::log::context()) << "after " << after;
  }
  std::string formattedOf(const std::string& message) {
    for (const kt::test::LogLine& l : log.lines())
      if (l.message == message) return l.formatted;
    return std::string();
  }
};

TEST_F(KTRukoEntryTest, OnlyLibktrukoChangesTheLogSettings) {
  // The robot link module serves a fixed port from its constructor: it is
  // loaded only inside a network namespace of this test's own.
  bool ownNetwork = unshare(CLONE_NEWNET) == 0;
  for (const std::string name : {"ktorrin", "ktlarkin", "ktvesper"}) {
    if (access(pathOf(name).c_str(), F_OK) != 0 || (name == "ktvesper" && !ownNetwork)) {
      std::cout << "lib" << name << ".so not loaded: not built, or no network namespace" << std::endl;
      continue;
    }
    Library lib = open(name);
    ASSERT_TRUE(lib.create && lib.close);
    try {
      EXPECT_EQ(0, lib.create(broker)) << name;
    } catch (const std::exception& e) {
      // That module's own tests say why; the log must stay as it was anyway.
      std::cout << name << " was not created: " << e.what() << std::endl;
    }
    expectDefaults(name);
  }

  ASSERT_EQ(0, access(pathOf("ktruko").c_str(), F_OK));
  Library ruko = open("ktruko");
  ASSERT_TRUE(ruko.create && ruko.close);
  EXPECT_EQ(0, ruko.close());
  EXPECT_FALSE(broker->isModulePresent("KTRuko"));
  expectDefaults("_closeModule");

  EXPECT_EQ(0, ruko.create(broker));
  EXPECT_TRUE(broker->isModulePresent("KTRuko"));
  EXPECT_EQ(qi::LogLevel_Info, qi::log::verbosity());
  EXPECT_EQ(26, qi::log::context());
  // The manager of the broker became the process-wide one, holding the broker.
  EXPECT_EQ(robot.brokerManager(), AL::ALBrokerManager::getInstance());
  std::vector<boost::shared_ptr<AL::ALBroker> > brokers =
      AL::ALBrokerManager::getInstance()->getBrokerList();
  EXPECT_NE(brokers.end(), std::find(brokers.begin(), brokers.end(), broker));

  // The constructor still logged with the platform's settings (date, long
  // level); later lines carry the short level, the thread id and the category.
  std::string constructed = formattedOf("*****　ロボットの現在位置 x = 0.00, y = 0.00,z = 0.00 ******");
  EXPECT_TRUE(std::regex_search(constructed, std::regex("^\\d{4}-\\d{2}-\\d{2} .*\\[INFO\\] ktruko: ")))
      << constructed;
  AL::ALProxy proxy(broker, "KTRuko", 0, 0);
  EXPECT_EQ("", proxy.call<std::string>("getConf"));
  std::string later = formattedOf("ruko.confのオープンに失敗しました。 ");
  EXPECT_TRUE(std::regex_match(later, std::regex("\\[W\\] \\d+ ktruko: ruko\\.conf.*"))) << later;

  // Closing changes nothing.
  EXPECT_EQ(0, ruko.close());
  EXPECT_TRUE(broker->isModulePresent("KTRuko"));
  EXPECT_EQ(26, qi::log::context());
}

}  // namespace
