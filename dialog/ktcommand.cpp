#include "ktcommand.h"

#include "ktmotion.h"

KTCommand::KTCommand(boost::shared_ptr<AL::ALBroker> broker, KTMotion* ktmotion)
    : broker(broker), ktmotion(ktmotion), comstatus(false), motion(0) {}

KTCommand::~KTCommand() {}

bool KTCommand::process(std::vector<std::string>, std::string) { return false; }
void KTCommand::init() {}
void KTCommand::finalize() {}
int KTCommand::size() { return 0; }
bool KTCommand::add(std::vector<std::string>) { return false; }
bool KTCommand::insertAt(std::vector<std::string>, int) { return false; }
void KTCommand::deleteLast() {}
std::string KTCommand::getAt(int) { return std::string(); }
bool KTCommand::deleteAt(int) { return false; }
std::vector<std::string> KTCommand::getAll() { return commands; }
bool KTCommand::speakCommand(std::string, int) { return false; }
std::string KTCommand::linkCommands(std::vector<std::string>) { return std::string(); }
void KTCommand::speakLocation() {}
void KTCommand::logSpeaking(std::string) {}
void KTCommand::setConceptMap() {}
std::string KTCommand::convert(std::vector<std::string>) { return std::string(); }
std::string KTCommand::tostr(float) { return std::string(); }
std::string KTCommand::ftostr(float) { return std::string(); }
std::string KTCommand::itostr(int) { return std::string(); }
std::vector<std::string> KTCommand::split(const std::string&, char) {
  return std::vector<std::string>();
}
