// A command mode object on a simulated robot, with a listener that hears
// every sentence handed to speech output, as the robot's speaker would.
#ifndef KTCOMMAND_FIXTURE_H
#define KTCOMMAND_FIXTURE_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/algorithm/string.hpp>

#include <alcommon/almodule.h>
#include <alproxies/almemoryproxy.h>

#include "ktcommand.h"
#include "ktest.h"
#include "ktmotion.h"

namespace kt {
namespace test {

// Reads ktorrin_speak_words when ktorrin_speak arrives.
class SpeechListener : public AL::ALModule {
public:
  SpeechListener(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
    : AL::ALModule(broker, name), memory(0) {
    functionName("onSpeak", getName(), "hears a sentence", 0);
    BIND_METHOD(SpeechListener::onSpeak);
  }
  void onSpeak(const std::string&, const AL::ALValue& value, const std::string&) {
    // Read on the service itself, so that the journal shows only the module's calls.
    std::string words = memory->getData("ktorrin_speak_words");
    std::lock_guard<std::mutex> lock(fMutex);
    fHeard.push_back(words);
    fValues.push_back(value);
  }
  std::vector<std::string> heard() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fHeard;
  }
  std::vector<AL::ALValue> values() const {
    std::lock_guard<std::mutex> lock(fMutex);
    return fValues;
  }
  kt::sim::Memory* memory;

  void clear() {
    std::lock_guard<std::mutex> lock(fMutex);
    fHeard.clear();
    fValues.clear();
  }

private:
  mutable std::mutex fMutex;
  std::vector<std::string> fHeard;
  std::vector<AL::ALValue> fValues;
};

class CommandTest : public RobotTest {
protected:
  CommandTest() {
    listener = AL::ALModule::createModule<SpeechListener>(broker, "SpeechListener");
    listener->memory = &robot.memory();
    robot.memory().subscribeToEvent("ktorrin_speak", "SpeechListener", "onSpeak");
    executor.reset(new KTMotion(broker));
    com.reset(new KTCommand(broker, executor.get()));
    log.clear();
    robot.world().clearJournal();
  }
  ~CommandTest() {
    com.reset();
    executor.reset();
  }

  std::vector<std::string> heard() const { return listener->heard(); }
  std::string lastHeard() const {
    std::vector<std::string> h = heard();
    return h.empty() ? std::string("(nothing)") : h.back();
  }

  void set(const std::string& key, const std::string& value) {
    robot.memory().insertData(key, AL::ALValue(value));
  }

  // Runs a trigger key as the variable routing hands it over.
  bool run(const std::string& key) {
    std::vector<std::string> parts;
    boost::algorithm::split(parts, key, boost::algorithm::is_any_of("_"),
                            boost::algorithm::token_compress_off);
    return com->process(parts, key);
  }

  static std::vector<std::string> words(const std::string& a, const std::string& b,
                                        const std::string& c, const std::string& d,
                                        const std::string& e) {
    return std::vector<std::string>{a, b, c, d, e};
  }

  std::vector<std::string> messages() const { return log.messages("ktruko"); }
  bool warned(const std::string& m) const { return log.has(qi::LogLevel_Warning, "ktruko", m); }
  bool informed(const std::string& m) const { return log.has(qi::LogLevel_Info, "ktruko", m); }

  boost::shared_ptr<SpeechListener> listener;
  std::unique_ptr<KTMotion> executor;
  std::unique_ptr<KTCommand> com;
};

}  // namespace test
}  // namespace kt

#endif
