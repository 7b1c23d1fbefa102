// KTRuko: the dialog robot module. Loads the dialog topics, subscribes the
// configured memory variables and routes their changes to motions, face
// recognition and the spoken command mode.
#ifndef KTRUKO_H
#define KTRUKO_H

#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>
#include <alvalue/alvalue.h>

class KTCommand;
class KTMotion;

class KTRuko : public AL::ALModule {
public:
  KTRuko(boost::shared_ptr<AL::ALBroker> broker, const std::string& name);
  virtual ~KTRuko();

  // Dialog topics.
  std::string startDialog(std::string category);
  void stopDialog(std::string category);
  void forceInput(std::string& str);
  void forceOutput();
  std::string getTopic(const char* topic);
  std::string getTopicList();
  std::string getConf();

  // Configured variables and their changes.
  void onVariablesChange(const std::string& name, const AL::ALValue& val,
                         const std::string& myName);
  void onStoreVariables(const std::string& name, const AL::ALValue& val,
                        const std::string& myName);
  void setVariables(boost::shared_ptr<AL::ALMemoryProxy> fMemory, std::string category);
  void onMoveFailed(std::string eventName, AL::ALValue val, std::string subscriberIdentifier);

  // Face recognition.
  void onFaceDetected(const std::string& name, const AL::ALValue& val,
                      const std::string& myName);
  void onUserIDChanged(std::string name, int userID, std::string subscid);

  std::string loadTopics(std::string category);
  void getFileListInFolder(const char* path);
  void getHightlyScoredPerson(std::string info);
  std::string strip(std::string string);
  void logSpeaking(std::string words);

private:
  KTRuko(const KTRuko&);
  KTRuko& operator=(const KTRuko&);

  void startFaceRecognition(const std::vector<std::string>& fields);
  void requireMemory(const char* method) const;

  KTCommand* ktcom;
  int repeatedDetection;
  std::string highScoreName;
  float highestScore;
  KTMotion* ktmotion;
  char variables[256][512];
  std::map<std::string, std::string> varmap;
  int varNum;
  std::vector<std::string> filelist;
  std::vector<std::string> topiclist;
  boost::shared_ptr<AL::ALProxy> dialog;
  boost::shared_ptr<AL::ALMemoryProxy> fMemory;
};

#endif
