// The simulated ALDialog: topics loaded, activated and focused; input and output recorded.
#ifndef KTPLATFORM_SIM_DIALOG_H
#define KTPLATFORM_SIM_DIALOG_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include <ktplatform/sim/service.h>

namespace kt {
namespace sim {

class Dialog : public Service {
public:
  Dialog(boost::shared_ptr<AL::ALBroker> broker, World& world);
  void setLanguage(const std::string& language);
  std::string getLanguage();
  void subscribe(const std::string& name);
  void unsubscribe(const std::string& name);
  std::string loadTopic(const std::string& path);
  void unloadTopic(const std::string& topic);
  void activateTopic(const std::string& topic);
  void deactivateTopic(const std::string& topic);
  void setFocus(const std::string& topic);
  void forceInput(const std::string& text);
  void forceOutput();
  std::vector<std::string> getLoadedTopics();
  std::vector<std::string> getActivatedTopics();

  std::set<std::string> subscribers() const;
  std::string focus() const;
  std::vector<std::string> inputs() const;
  int outputsForced() const;

private:
  std::string fLanguage;
  std::set<std::string> fSubscribers;
  std::map<std::string, std::string> fLoaded;  // topic name to file
  std::vector<std::string> fLoadOrder;
  std::set<std::string> fActive;
  std::string fFocus;
  std::vector<std::string> fInputs;
  int fOutputs;
};

}  // namespace sim
}  // namespace kt

#endif
