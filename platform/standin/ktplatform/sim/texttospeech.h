// The simulated ALTextToSpeech: says by keeping a transcript and telling a listener.
#ifndef KTPLATFORM_SIM_TEXTTOSPEECH_H
#define KTPLATFORM_SIM_TEXTTOSPEECH_H

#include <functional>
#include <string>
#include <vector>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class TextToSpeech : public Service {
public:
  typedef std::function<void(const std::string&)> SayListener;
  TextToSpeech(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setLanguage(const std::string& language);
  std::string getLanguage();
  void say(const std::string& text);

  std::vector<std::string> transcript() const;
  void setSayListener(const SayListener& listener);

private:
  std::string fLanguage;
  std::vector<std::string> fTranscript;
  SayListener fListener;
};

}  // namespace sim
}  // namespace kt

#endif
