#include <ktplatform/sim/dialog.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "simlog.h"

namespace kt {
namespace sim {

Dialog::Dialog(boost::shared_ptr<AL::ALBroker> broker, World& world)
  : Service(broker, "ALDialog", world), fLanguage("English"), fOutputs(0) {
  setModuleDescription("Dialog engine: topics, focus and forced input.");
  functionName("setLanguage", getName(), "Sets the dialog language", 0);
  BIND_METHOD(Dialog::setLanguage);
  functionName("getLanguage", getName(), "The dialog language", 0);
  BIND_METHOD(Dialog::getLanguage);
  functionName("subscribe", getName(), "Starts the dialog for a subscriber", 0);
  BIND_METHOD(Dialog::subscribe);
  functionName("unsubscribe", getName(), "Ends the dialog for a subscriber", 0);
  BIND_METHOD(Dialog::unsubscribe);
  functionName("loadTopic", getName(), "Loads a topic file and returns its topic name", 0);
  BIND_METHOD(Dialog::loadTopic);
  functionName("unloadTopic", getName(), "Unloads a topic", 0);
  BIND_METHOD(Dialog::unloadTopic);
  functionName("activateTopic", getName(), "Activates a loaded topic", 0);
  BIND_METHOD(Dialog::activateTopic);
  functionName("deactivateTopic", getName(), "Deactivates a topic", 0);
  BIND_METHOD(Dialog::deactivateTopic);
  functionName("setFocus", getName(), "Gives a loaded topic the focus", 0);
  BIND_METHOD(Dialog::setFocus);
  functionName("forceInput", getName(), "Takes a text as if heard", 0);
  BIND_METHOD(Dialog::forceInput);
  functionName("forceOutput", getName(), "Makes the robot propose something", 0);
  BIND_METHOD(Dialog::forceOutput);
  functionName("getLoadedTopics", getName(), "Loaded topic names", 0);
  BIND_METHOD(Dialog::getLoadedTopics);
  functionName("getActivatedTopics", getName(), "Activated topic names", 0);
  BIND_METHOD(Dialog::getActivatedTopics);
}

void Dialog::setLanguage(const std::string& language) {
  Lock lock(fStateMutex);
  fLanguage = language;
}

std::string Dialog::getLanguage() {
  Lock lock(fStateMutex);
  return fLanguage;
}

void Dialog::subscribe(const std::string& name) {
  Lock lock(fStateMutex);
  fSubscribers.insert(name);
}

void Dialog::unsubscribe(const std::string& name) {
  Lock lock(fStateMutex);
  if (!fSubscribers.erase(name))
    throw AL::ALError("ALDialog", "unsubscribe", name + " is not subscribed");
}

// Far beyond any topic file.
const off_t kMaxTopicFile = 16 << 20;

static std::string topicNameOf(const std::string& path) {
  // A caller may name a device or a pipe, which would be read without end.
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    throw AL::ALError("ALDialog", "loadTopic", "cannot read topic file " + path);
  if (st.st_size > kMaxTopicFile)
    throw AL::ALError("ALDialog", "loadTopic", "topic file " + path + " is too large");
  std::ifstream in(path.c_str());
  if (!in) throw AL::ALError("ALDialog", "loadTopic", "cannot read topic file " + path);
  std::string line;
  while (std::getline(in, line)) {
    std::string::size_type p = line.find_first_not_of(" \t\r");
    if (p == std::string::npos || line.compare(p, 6, "topic:") != 0) continue;
    p = line.find_first_not_of(" \t", p + 6);
    if (p == std::string::npos || line[p] != '~') continue;
    std::string::size_type open = line.find('(', p);
    if (open == std::string::npos) continue;
    std::string name = line.substr(p + 1, open - p - 1);
    name.erase(name.find_last_not_of(" \t") + 1);
    if (!name.empty()) return name;
  }
  throw AL::ALError("ALDialog", "loadTopic", "no topic line in " + path);
}

std::string Dialog::loadTopic(const std::string& path) {
  std::string name = topicNameOf(path);
  Lock lock(fStateMutex);
  if (fLoaded.count(name))
    throw AL::ALError("ALDialog", "loadTopic", "topic " + name + " is already loaded");
  fLoaded[name] = path;
  fLoadOrder.push_back(name);
  return name;
}

void Dialog::unloadTopic(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fLoaded.erase(topic))
    throw AL::ALError("ALDialog", "unloadTopic", "topic " + topic + " is not loaded");
  fLoadOrder.erase(std::find(fLoadOrder.begin(), fLoadOrder.end(), topic));
  fActive.erase(topic);
  if (fFocus == topic) fFocus.clear();
}

void Dialog::activateTopic(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fLoaded.count(topic))
    throw AL::ALError("ALDialog", "activateTopic", "topic " + topic + " is not loaded");
  fActive.insert(topic);
}

void Dialog::deactivateTopic(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fLoaded.count(topic))
    throw AL::ALError("ALDialog", "deactivateTopic", "topic " + topic + " is not loaded");
  fActive.erase(topic);
}

void Dialog::setFocus(const std::string& topic) {
  Lock lock(fStateMutex);
  if (!fActive.count(topic))
    throw AL::ALError("ALDialog", "setFocus", "topic " + topic + " is not activated");
  fFocus = topic;
}

void Dialog::forceInput(const std::string& text) {
  Lock lock(fStateMutex);
  fInputs.push_back(text);
}

void Dialog::forceOutput() {
  Lock lock(fStateMutex);
  ++fOutputs;
}

std::vector<std::string> Dialog::getLoadedTopics() {
  Lock lock(fStateMutex);
  return fLoadOrder;
}

std::vector<std::string> Dialog::getActivatedTopics() {
  Lock lock(fStateMutex);
  std::vector<std::string> out;
  for (size_t i = 0; i < fLoadOrder.size(); ++i)
    if (fActive.count(fLoadOrder[i])) out.push_back(fLoadOrder[i]);
  return out;
}

std::set<std::string> Dialog::subscribers() const {
  Lock lock(fStateMutex);
  return fSubscribers;
}

std::string Dialog::focus() const {
  Lock lock(fStateMutex);
  return fFocus;
}

std::vector<std::string> Dialog::inputs() const {
  Lock lock(fStateMutex);
  return fInputs;
}

int Dialog::outputsForced() const {
  Lock lock(fStateMutex);
  return fOutputs;
}

}  // namespace sim
}  // namespace kt
