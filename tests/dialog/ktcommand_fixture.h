// A command mode object on a simulated robot, hearing every sentence handed
// to speech output as the robot's speaker would.
#ifndef KTCOMMAND_FIXTURE_H
#define KTCOMMAND_FIXTURE_H

#include <memory>
#include <string>
#include <vector>

#include <boost/algorithm/string.hpp>

#include "ktcommand.h"
#include "ktest.h"
#include "ktmotion.h"

namespace kt {
namespace test {

typedef std::vector<std::string> Words;

class CommandTest : public RobotTest {
protected:
  CommandTest() {
    // The speaker reads ktorrin_speak_words when ktorrin_speak arrives; read on
    // the service itself, so that the journal shows only the module's calls.
    observer = robot.memory().addObserver([this](const std::string& key, const AL::ALValue& v) {
      if (key != "ktorrin_speak") return;
      heardWords.push_back(robot.memory().getData("ktorrin_speak_words"));
      speakValues.push_back(v);
    });
    executor.reset(new KTMotion(broker));
    com.reset(new KTCommand(broker, executor.get()));
    log.clear();
    robot.world().clearJournal();
  }
  ~CommandTest() {
    com.reset();
    executor.reset();
    robot.memory().removeObserver(observer);
  }

  Words heard() const { return heardWords; }
  std::string lastHeard() const {
    return heardWords.empty() ? std::string("(nothing)") : heardWords.back();
  }
  void clearHeard() {
    heardWords.clear();
    speakValues.clear();
  }

  void set(const std::string& key, const std::string& value) {
    robot.memory().insertData(key, AL::ALValue(value));
  }
  // Runs a trigger key as the variable routing hands it over.
  bool run(const std::string& key) {
    Words parts;
    boost::algorithm::split(parts, key, boost::algorithm::is_any_of("_"),
                            boost::algorithm::token_compress_off);
    return com->process(parts, key);
  }

  Words messages() const { return log.messages("ktruko"); }
  bool warned(const std::string& m) const { return log.has(qi::LogLevel_Warning, "ktruko", m); }
  bool informed(const std::string& m) const { return log.has(qi::LogLevel_Info, "ktruko", m); }

  int observer;
  Words heardWords;
  std::vector<AL::ALValue> speakValues;
  std::unique_ptr<KTMotion> executor;
  std::unique_ptr<KTCommand> com;
};

}  // namespace test
}  // namespace kt

#endif
