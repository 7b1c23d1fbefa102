// KTCommand: the spoken command mode. Keeps the command list that the user
// dictates, reads it back in Japanese and runs it through the motion executor.
#ifndef KTCOMMAND_H
#define KTCOMMAND_H

#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include <alcommon/albroker.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>

class KTMotion;

class KTCommand {
public:
  // ktmotion is borrowed: its owner deletes it, never this object.
  KTCommand(boost::shared_ptr<AL::ALBroker> broker, KTMotion* ktmotion);
  ~KTCommand();

  // Runs one command mode keyword; varname is the trigger key split at "_",
  // name the whole key.
  bool process(std::vector<std::string> varname, std::string name);

  // Command list.
  void init();
  void finalize();
  int size();
  bool add(std::vector<std::string> vars);
  bool insertAt(std::vector<std::string> vars, int loc);
  void deleteLast();
  std::string getAt(int loc);
  bool deleteAt(int loc);
  std::vector<std::string> getAll();

  // Read-back.
  bool speakCommand(std::string com, int loci);
  std::string linkCommands(std::vector<std::string> coms);
  void speakLocation();

  // Hands a sentence to whoever speaks ktorrin_speak_words.
  void logSpeaking(std::string words);

  // Number words and command entries.
  void setConceptMap();
  std::string convert(std::vector<std::string> vars);
  std::string tostr(float number);
  std::string ftostr(float number);
  std::string itostr(int number);
  std::vector<std::string> split(const std::string& text, char delim);

  boost::shared_ptr<AL::ALBroker> broker;
  KTMotion* ktmotion;
  bool comstatus;
  std::vector<std::string> commands;
  boost::shared_ptr<AL::ALMemoryProxy> fMemory;
  boost::shared_ptr<AL::ALProxy> autolife;
  boost::shared_ptr<AL::ALProxy> bscaware;
  std::map<std::string, float> distance;
  std::map<std::string, float> degree;
  std::map<std::string, int> count;
  // The executor's own ALMotion proxy, borrowed.
  AL::ALProxy* motion;

private:
  KTCommand(const KTCommand&);
  KTCommand& operator=(const KTCommand&);
};

#endif
