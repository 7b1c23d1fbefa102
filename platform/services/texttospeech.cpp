#include <ktplatform/sim/texttospeech.h>

#include "simlog.h"

namespace kt {
namespace sim {

TextToSpeech::TextToSpeech(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALTextToSpeech", world), fLanguage("Japanese") {
  setModuleDescription("Speech synthesis.");
  functionName("setLanguage", getName(), "Sets the language", 0);
  addParam("language", "language name");
  BIND_METHOD(TextToSpeech::setLanguage);
  functionName("getLanguage", getName(), "The language", 0);
  BIND_METHOD(TextToSpeech::getLanguage);
  functionName("say", getName(), "Says a sentence", 0);
  addParam("stringToSay", "sentence");
  BIND_METHOD(TextToSpeech::say);
}

void TextToSpeech::setLanguage(const std::string& language) {
  Lock lock(fStateMutex);
  fLanguage = language;
}

std::string TextToSpeech::getLanguage() {
  Lock lock(fStateMutex);
  return fLanguage;
}

void TextToSpeech::say(const std::string& text) {
  SayListener listener;
  {
    Lock lock(fStateMutex);
    fTranscript.push_back(text);
    listener = fListener;
  }
  if (listener) listener(text);
}

std::vector<std::string> TextToSpeech::transcript() const {
  Lock lock(fStateMutex);
  return fTranscript;
}

void TextToSpeech::setSayListener(const SayListener& listener) {
  Lock lock(fStateMutex);
  fListener = listener;
}

}  // namespace sim
}  // namespace kt
