// The dialog robot module on a simulated robot, with helpers that write its
// configuration file and topic files under the temporary robot root.
#ifndef KTRUKO_FIXTURE_H
#define KTRUKO_FIXTURE_H

#include <algorithm>
#include <string>
#include <vector>

#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>
#include <ktplatform/robotroot.h>

#include "ktest.h"
#include "ktruko.h"

namespace kt {
namespace test {

typedef std::vector<std::string> Words;

const char* const kTopics = "/home/nao/ruko/dialog/topics/";
const char* const kConf = "/home/nao/ruko/conf/ruko.conf";

inline std::string walkVar(const std::string& name, const std::string& x, const std::string& y,
                           const std::string& z) {
  return "<variable name=\"" + name + "\" type=\"walk\"><x_distance>" + x +
         "</x_distance><y_distance>" + y + "</y_distance><z_radian>" + z +
         "</z_radian></variable>\n";
}

inline std::string faceVar(const std::string& name, const std::string& type,
                           const std::string& varname) {
  return "<variable name=\"" + name + "\" type=\"" + type + "\"><varname>" + varname +
         "</varname></variable>\n";
}

inline std::string plainVar(const std::string& name, const std::string& type) {
  return "<variable name=\"" + name + "\" type=\"" + type + "\"/>\n";
}

inline std::string confOf(const std::string& variables) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n<property>\n" + variables +
         "</property>\n<uploadTopics><topic>a.top</topic></uploadTopics>\n</config>\n";
}

inline std::string topicText(const std::string& name) {
  return "topic: ~" + name + "()\nlanguage: jpj\n\nu:(こんにちは) こんにちは\n";
}

class KTRukoTest : public RobotTest {
protected:
  void writeConf(const std::string& variables) { root.write(kConf, confOf(variables)); }
  void writeTopic(const std::string& file, const std::string& topic) {
    root.write(std::string(kTopics) + file, topicText(topic));
  }
  void emptyTopicFolder() { makeFolders(root.at(kTopics)); }

  void create() {
    ruko = AL::ALModule::createModule<KTRuko>(broker, "KTRuko");
    proxy.reset(new AL::ALProxy(broker, "KTRuko", 0, 0));
  }

  std::string start(const std::string& category = "Dialog") {
    return proxy->call<std::string>("startDialog", category);
  }
  void stop() { proxy->callVoid("stopDialog", std::string("Dialog")); }
  // A started module with these configured variables and no topic; clean log and journal.
  void startWith(const std::string& variables) {
    emptyTopicFolder();
    writeConf(variables);
    create();
    start();
    log.clear();
    robot.world().clearJournal();
  }

  // Raises a memory event as a dialog rule would.
  void raise(const std::string& key, const AL::ALValue& value) {
    robot.memory().raiseEvent(key, value);
  }
  // Calls the bound routing method directly, as the platform would.
  void change(const std::string& key, const AL::ALValue& value = AL::ALValue(1)) {
    proxy->callVoid("onVariablesChange", key, value, std::string("KTRuko"));
  }
  bool hasData(const std::string& key) { return robot.memory().hasData(key); }
  std::string spoken() { return robot.memory().getData("ktorrin_speak_words"); }

  std::vector<std::string> messages() const { return log.messages("ktruko"); }
  bool warned(const std::string& m) const { return log.has(qi::LogLevel_Warning, "ktruko", m); }
  bool informed(const std::string& m) const { return log.has(qi::LogLevel_Info, "ktruko", m); }
  // Position of a message in the module's log, or -1.
  int indexOf(const std::string& m) const {
    std::vector<std::string> all = messages();
    std::vector<std::string>::iterator it = std::find(all.begin(), all.end(), m);
    return it == all.end() ? -1 : static_cast<int>(it - all.begin());
  }
  // Subscribers of a memory key that are this module, with their callbacks.
  std::vector<std::string> callbacksOf(const std::string& key) {
    std::vector<std::string> out;
    for (const auto& s : robot.memory().subscribers(key))
      if (s.first == "KTRuko") out.push_back(s.second);
    return out;
  }
  std::vector<std::string> journalOf(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : journal())
      if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
  }

  boost::shared_ptr<KTRuko> ruko;
  boost::shared_ptr<AL::ALProxy> proxy;
};

}  // namespace test
}  // namespace kt

#endif
