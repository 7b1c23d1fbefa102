#include "ktruko.h"

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <alerror/alerror.h>
#include <qi/log.hpp>
#include <qi/os.hpp>

#include "ktcommand.h"
#include "ktmotion.h"
#include "ktpath.h"
#include "ktxml2.h"
#include "rukolog.h"


namespace {

const char* const kTopicFolder = "/home/nao/ruko/dialog/topics/";
const char* const kConfFile = "/home/nao/ruko/conf/ruko.conf";
const int kMaxVariables = 256;
const int kLineSize = 512;

// Every separator counts: adjacent separators enclose an empty field.
std::vector<std::string> splitAt(const std::string& text, const char* separators) {
  std::vector<std::string> fields;
  boost::algorithm::split(fields, text, boost::algorithm::is_any_of(separators),
                          boost::algorithm::token_compress_off);
  return fields;
}

bool isTopicFile(const std::string& entry) {
  return entry.size() > 4 && entry.compare(entry.size() - 4, 4, ".top") == 0;
}

std::string baseName(const std::string& entry) { return entry.substr(0, entry.size() - 4); }

// Returns false when the file cannot be opened.
bool readWholeFile(const std::string& path, std::string& content) {
  std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

const char* const kNotStarted =
    "会話が開始されていません。先にstartDialogを実行してください。";

}  // namespace

KTRuko::KTRuko(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
  : AL::ALModule(broker, name), ktcom(0), repeatedDetection(0), highScoreName(),
    highestScore(0), ktmotion(0), varmap(), varNum(0), filelist(), topiclist(), dialog(),
    fMemory() {
  setModuleDescription("KTRukoは対話を中心としたロボットクラウドを作成するプロジェクトである。");

  functionName("startDialog", getName(), "TOPICファイルにもとづく会話を開始する", 0);
  addParam("std::string", "トピックカテゴリ");
  BIND_METHOD(KTRuko::startDialog);

  functionName("stopDialog", getName(), "会話を終了する", 0);
  addParam("std:s:tring", "トピックカテゴリ");
  BIND_METHOD(KTRuko::stopDialog);

  functionName("forceInput", getName(), "会話の入力を強制する", 0);
  addParam("std::string", "人の言葉を与える.");
  BIND_METHOD(KTRuko::forceInput);

  functionName("forceOutput", getName(), "会話の出力を強制する", 0);
  BIND_METHOD(KTRuko::forceOutput);

  functionName("onVariablesChange", getName(), "動作指示に反応する", 0);
  BIND_METHOD(KTRuko::onVariablesChange);

  functionName("onStoreVariables", getName(), "顔の名前などを保存する", 0);
  BIND_METHOD(KTRuko::onStoreVariables);

  functionName("onFaceDetected", getName(), "顔を見つけ出しました", 0);
  BIND_METHOD(KTRuko::onFaceDetected);

  functionName("setVariables", getName(), "ruko.confから変数を組み込む", 0);
  BIND_METHOD(KTRuko::setVariables);

  functionName("onUserIDChanged", getName(), "ユーザーの変化をキャッチする", 0);
  BIND_METHOD(KTRuko::onUserIDChanged);

  functionName("onMoveFailed", getName(), "衝突防止機能により止まったとき", 0);
  BIND_METHOD(KTRuko::onMoveFailed);

  functionName("getTopic", getName(), "トピックファイルの中身", 0);
  addParam("std:string", "トピックテキスト");
  BIND_METHOD(KTRuko::getTopic);

  functionName("getTopicList", getName(), "トピックファイルのリスト", 0);
  BIND_METHOD(KTRuko::getTopicList);

  functionName("getConf", getName(), "設定ファイルの中身", 0);
  BIND_METHOD(KTRuko::getConf);

  ktmotion = new KTMotion(broker);
  try {
    ktcom = new KTCommand(broker, ktmotion);
  } catch (...) {
    // The module is not created; do not leak the executor.
    delete ktmotion;
    ktmotion = 0;
    throw;
  }
}

KTRuko::~KTRuko() {
  if (ktmotion) delete ktmotion;
  ktmotion = 0;
  if (ktcom) delete ktcom;
  ktcom = 0;
  fMemory.reset();
  dialog.reset();
}

// ------------------------------------------------------------ dialog topics

std::string KTRuko::startDialog(std::string category) {
  if (category == "Dialog")
    KTLOG(qi::LogLevel_Info) << "******* 対話トピックで対話をスタートします ******";
  else if (category == "System")
    KTLOG(qi::LogLevel_Info) << "******* システム・コマンドトピックで対話をスタートします ******";
  else
    KTLOG(qi::LogLevel_Info) << "******* すべてのトピックで対話をスタートします ******";

  std::string result;
  dialog = getParentBroker()->getProxy("ALDialog", 0);
  dialog->callVoid("setLanguage", std::string("Japanese"));
  dialog->callVoid("subscribe", std::string("KTRuko"));
  fMemory = getParentBroker()->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");

  KTLOG(qi::LogLevel_Info) << "****** robotの体勢を初期化する ******";
  ktmotion->initPosture();

  result += loadTopics(category);
  setVariables(fMemory, category);

  highestScore = 0;
  highScoreName = "";
  return result;
}

std::string KTRuko::loadTopics(std::string /*category*/) {
  std::string result;
  filelist.clear();
  topiclist.clear();
  const std::string folder = ktRobotPath(kTopicFolder);
  getFileListInFolder(folder.c_str());

  const size_t entries = filelist.size();
  for (size_t i = 0; i < entries; ++i) {
    const std::string entry = filelist[i];
    if (!isTopicFile(entry)) continue;
    try {
      std::string topic = dialog->call<std::string>("loadTopic", folder + entry);
      topiclist.push_back(topic);
      KTLOG(qi::LogLevel_Info) << "ロードされたトピック = " << topic;
    } catch (const AL::ALError& e) {
      std::cout << "ロード失敗：" << e.what() << std::endl;
      result = e.what();
      topiclist.push_back(baseName(entry));
      KTLOG(qi::LogLevel_Info) << "再ロードされたトピック = " << baseName(entry);
    } catch (...) {
      KTLOG(qi::LogLevel_Warning) << "トピックファイルの組み込みに失敗しました。 ";
      topiclist.push_back(baseName(entry));
      KTLOG(qi::LogLevel_Info) << "再ロードされたトピック = " << baseName(entry);
    }
  }

  qi::os::sleep(1);
  KTLOG(qi::LogLevel_Info) << "******* トピックを有効化します ****** トピック数 = "
                           << topiclist.size();

  // The focus goes to the first topic that the dialog really took; a name
  // recorded after a failed load may be unknown to it.
  std::string focus;
  bool haveFocus = false;
  for (size_t i = 0; i < topiclist.size(); ++i) {
    try {
      dialog->callVoid("activateTopic", topiclist[i]);
      if (!haveFocus) {
        focus = topiclist[i];
        haveFocus = true;
      }
    } catch (...) {
      KTLOG(qi::LogLevel_Warning) << "トピックファイルの有効化に失敗しました。 topic file = "
                                  << topiclist[i];
    }
    KTLOG(qi::LogLevel_Info) << "有効化されたトピック = " << topiclist[i];
  }
  KTLOG(qi::LogLevel_Info) << "******* 終了しました ******";

  if (haveFocus) dialog->callVoid("setFocus", focus);
  return result;
}

void KTRuko::stopDialog(std::string /*category*/) {
  if (!dialog) {
    // Nothing was started, so nothing is to be stopped.
    KTLOG(qi::LogLevel_Warning) << "会話が開始されていないため、終了する会話はありません。";
    return;
  }
  for (size_t i = 0; i < topiclist.size(); ++i) {
    dialog->callVoid("deactivateTopic", topiclist[i]);
    dialog->callVoid("unloadTopic", topiclist[i]);
    KTLOG(qi::LogLevel_Info) << "トピック [ " << topiclist[i] << " ] 無効化し削除しました。";
  }
  dialog->callVoid("unsubscribe", std::string("KTRuko"));

  // A start that failed before it reached the memory proxy leaves none.
  boost::shared_ptr<AL::ALMemoryProxy> memory =
      fMemory ? fMemory : getParentBroker()->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");

  for (int i = 0; i < varNum; ++i) {
    std::vector<std::string> fields =
        splitAt(std::string(variables[i], strnlen(variables[i], kLineSize)), ",");
    if (fields.size() < 2 || fields[1] == "name") continue;
    memory->unsubscribeToEvent(fields[0], getName());
    if (fields.size() >= 3 && (fields[1] == "facelearn" || fields[1] == "faceforget")) {
      memory->unsubscribeToEvent(fields[2], getName());
      KTLOG(qi::LogLevel_Info) << "顔学習・忘却の名前[" << fields[2]
                               << "] の保存イベントを削除しました。";
    }
    KTLOG(qi::LogLevel_Info) << "変数 [ " << fields[0] << " ] のイベントを削除しました。";
  }
  memory->unsubscribeToEvent("SystemTopicOffEvent", getName());
}

void KTRuko::forceInput(std::string& str) {
  if (!dialog) throw AL::ALError(getName(), "forceInput", kNotStarted);
  dialog->callVoid("forceInput", str);
}

void KTRuko::forceOutput() {
  if (!dialog) throw AL::ALError(getName(), "forceOutput", kNotStarted);
  dialog->callVoid("forceOutput");
}

std::string KTRuko::getTopicList() {
  std::string result;
  filelist.clear();
  getFileListInFolder(ktRobotPath(kTopicFolder).c_str());
  for (size_t i = 0; i < filelist.size(); ++i)
    if (isTopicFile(filelist[i])) result += filelist[i] + ",";
  return result;
}

std::string KTRuko::getTopic(const char* topic) {
  // Only a plain name of the topic folder may be read, and it must fit the
  // path buffer with the folder in front of it.
  char path[kLineSize];
  std::string content;
  bool plainName = topic && topic[0] != '\0' && std::strchr(topic, '/') == 0 &&
                   std::strcmp(topic, ".") != 0 && std::strcmp(topic, "..") != 0;
  int length = plainName ? std::snprintf(path, sizeof path, "%s%s", kTopicFolder, topic) : -1;
  if (length < 0 || length >= static_cast<int>(sizeof path) ||
      !readWholeFile(ktRobotPath(path), content)) {
    KTLOG(qi::LogLevel_Warning) << "トピックファイルのオープンに失敗しました。 ";
    return std::string();
  }
  return content;
}

std::string KTRuko::getConf() {
  std::string content;
  if (!readWholeFile(ktRobotPath(kConfFile), content)) {
    KTLOG(qi::LogLevel_Warning) << "ruko.confのオープンに失敗しました。 ";
    return std::string();
  }
  return content;
}

void KTRuko::getFileListInFolder(const char* path) {
  DIR* folder = opendir(path);
  if (!folder) return;
  // readdir ends both the folder and a read error with 0; errno tells which.
  // A folder that cannot be read must not pass for one without topics.
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(folder);
    if (entry == 0) break;
    filelist.push_back(entry->d_name);
  }
  if (errno != 0) {
    const int error = errno;
    KTLOG(qi::LogLevel_Warning) << "フォルダ[ " << path << " ]の読み込みに失敗しました： 中止";
    errno = error;
    std::perror(path);
  }
  closedir(folder);
}

// --------------------------------------------------- variables and routing

void KTRuko::setVariables(boost::shared_ptr<AL::ALMemoryProxy> fMemory, std::string /*category*/) {
  KTLOG(qi::LogLevel_Info) << "変数設定の開始";
  KTXml2 xml(ktRobotPath(kConfFile).c_str());
  KTLOG(qi::LogLevel_Info) << "xml2をインスタンス作成した";
  varNum = xml.getVariables(variables);
  if (varNum < 0) varNum = 0;
  if (varNum > kMaxVariables) varNum = kMaxVariables;
  KTLOG(qi::LogLevel_Info) << "設定ファイル中の変数の数 = " << varNum;

  for (int i = 0; i < varNum; ++i) {
    std::string line(variables[i], strnlen(variables[i], kLineSize));
    KTLOG(qi::LogLevel_Info) << "変数[" << i << "] = " << line;
    std::vector<std::string> fields = splitAt(line, ",");
    if (fields.size() < 2 || fields[1] == "name") continue;
    fMemory->subscribeToEvent(fields[0], getName(), "onVariablesChange");
    if (fields.size() >= 3 && (fields[1] == "facelearn" || fields[1] == "faceforget")) {
      varmap[fields[2]] = "";
      fMemory->subscribeToEvent(fields[2], getName(), "onStoreVariables");
      KTLOG(qi::LogLevel_Info) << "顔学習・忘却の名前[" << fields[2]
                               << "] に保存イベントをセットしました。";
    }
    fMemory->subscribeToEvent("SystemTopicOffEvent", getName(), "onSystemTopicOff");
  }
}

void KTRuko::onVariablesChange(const std::string& name, const AL::ALValue& val,
                               const std::string& /*myName*/) {
  KTLOG(qi::LogLevel_Info) << "*******　操作に関わる変数の変化をキャッチしました ******";
  KTLOG(qi::LogLevel_Info) << "変数名 = " << name << " 値 = " << val.toString(AL::VerbosityMini);

  int found = -1;
  std::vector<std::string> fields;
  for (int i = 0; i < varNum; ++i) {
    std::string line(variables[i], strnlen(variables[i], kLineSize));
    std::vector<std::string> lineFields = splitAt(line, ",");
    if (lineFields[0] == name) {
      found = i;
      fields = lineFields;
      KTLOG(qi::LogLevel_Info) << "****** 変数リストに一致するものがありました ******";
      KTLOG(qi::LogLevel_Info) << "****** variables[i] = " << line;
      break;
    }
  }
  if (found < 0) KTLOG(qi::LogLevel_Info) << "****** 変数リストに一致するものがありません ******";

  std::vector<std::string> vname = splitAt(name, "_");
  // A key without "_" has no second part: it takes neither the face nor the
  // command route.
  const bool hasPart1 = vname.size() >= 2;
  KTLOG(qi::LogLevel_Info) << "変数 vname[0] = " << vname[0]
                           << " vname[1] = " << (hasPart1 ? vname[1] : std::string());

  if (hasPart1 && found >= 0 && fields.size() >= 3 && vname[1] == "facerecog") {
    KTLOG(qi::LogLevel_Info) << "***** facerecgのイベント処理をします ******";
    startFaceRecognition(fields);
  } else if (hasPart1 && vname[0] == "ktcom") {
    KTLOG(qi::LogLevel_Info) << "****** コマンドモードにはいる ******";
    ktcom->process(vname, name);
  } else {
    KTLOG(qi::LogLevel_Info) << "******setMotionの起動 ******";
    if (found >= 0) ktmotion->setMotion(fields, varmap);
  }
}

void KTRuko::onStoreVariables(const std::string& name, const AL::ALValue& val,
                              const std::string& /*myName*/) {
  std::string text = val;
  varmap[name] = text;
  KTLOG(qi::LogLevel_Info) << "名前 [" << text << "] を保存しました。";
}

void KTRuko::onMoveFailed(std::string /*eventName*/, AL::ALValue val,
                          std::string /*subscriberIdentifier*/) {
  // Whatever the event carries is logged; a missing element stays empty.
  std::string element[3];
  if (val.isArray()) {
    for (unsigned int i = 0; i < 3 && i < val.getSize(); ++i)
      element[i] = val[i].toString(AL::VerbosityMini);
  } else if (val.isValid()) {
    element[0] = val.toString(AL::VerbosityMini);
  }
  KTLOG(qi::LogLevel_Info) << "障害物によりロボットを停止。 理由 = " << element[0]
                           << " 状態 = " << element[1] << " 障害物位置 = " << element[2];
}

// -------------------------------------------------------- face recognition

void KTRuko::requireMemory(const char* method) const {
  if (!fMemory) throw AL::ALError(getName(), method, kNotStarted);
}

void KTRuko::startFaceRecognition(const std::vector<std::string>& fields) {
  requireMemory("onVariablesChange");
  varmap["recogVariable"] = fields[0];
  varmap["detectedFace"] = fields[2];
  highestScore = 0;
  highScoreName = "";
  repeatedDetection = 0;
  fMemory->subscribeToEvent("FaceDetected", getName(), "onFaceDetected");
  fMemory->subscribeToEvent("UserSession/FocusedUser", getName(), "onUserIDChanged");
}

void KTRuko::onFaceDetected(const std::string& name, const AL::ALValue& val,
                            const std::string& /*myName*/) {
  requireMemory("onFaceDetected");
  KTLOG(qi::LogLevel_Info) << "******* 顔認識のイベントfaceDetectedをキャッチしました ******";
  std::string info = val.toString(AL::VerbosityMini);
  KTLOG(qi::LogLevel_Info) << "name = " << name << " valu = " << info << std::endl;
  getHightlyScoredPerson(info);
}

void KTRuko::getHightlyScoredPerson(std::string info) {
  // The first face's extra information: ID, score and label, up to the
  // label's closing quote.
  std::string::size_type faces = info.find("[[[");
  if (faces == std::string::npos) return;
  std::string::size_type open = info.find('[', faces + 3);
  if (open == std::string::npos) return;
  std::string::size_type begin = open + 1;
  std::string::size_type end = info.find("\",", begin);
  std::string list = end == std::string::npos ? info.substr(begin)
                                               : info.substr(begin, end + 1 - begin);
  std::vector<std::string> items = splitAt(list, ",");
  if (items.size() < 3) return;

  ++repeatedDetection;
  std::string scoreText = strip(items[1]);
  std::string label = strip(items[2]);
  std::string id = strip(items[0]);
  KTLOG(qi::LogLevel_Info) << "認識した顔 name =  " << label << " スコア = " << scoreText
                           << " ID = " << id;

  float score = std::strtof(scoreText.c_str(), 0);
  if (score > highestScore) {
    highScoreName = label;
    highestScore = score;
  }
  KTLOG(qi::LogLevel_Info) << "最高認識率の顔 name =  " << highScoreName
                           << " 最高スコア = " << highestScore;

  if (repeatedDetection > 100 || static_cast<double>(highestScore) > 0.85)
    fMemory->raiseEvent("UserSession/FocusedUser", AL::ALValue(1));
}

std::string KTRuko::strip(std::string string) {
  std::string::size_type first = string.find_first_not_of(" \"");
  if (first == std::string::npos) return std::string();
  std::string::size_type last = string.find_last_not_of(" \"");
  return string.substr(first, last - first + 1);
}

void KTRuko::onUserIDChanged(std::string /*name*/, int /*userID*/, std::string /*subscid*/) {
  if (highScoreName.empty()) return;
  requireMemory("onUserIDChanged");
  std::string resultKey = varmap["detectedFace"];
  std::string variable = varmap["recogVariable"];
  fMemory->insertData(resultKey, highScoreName);

  char didevent[kLineSize];
  std::memset(didevent, 0, sizeof didevent);
  int length = std::snprintf(didevent, sizeof didevent, "did_%s", variable.c_str());
  if (length < 0 || length >= static_cast<int>(sizeof didevent)) {
    // A cut name could be another variable's event: raise none.
    KTLOG(qi::LogLevel_Warning) << "変数名が長すぎるため、顔認識終了後のイベントを発生できません。 変数 = "
                                << variable;
  } else {
    KTLOG(qi::LogLevel_Info) << "顔認識終了後のイベント変数 didevent =  " << didevent;
    fMemory->raiseEvent(didevent, AL::ALValue(1));
  }

  std::ostringstream score;
  score << highestScore;
  KTLOG(qi::LogLevel_Info) << "最終的に判定された顔 name =  " << highScoreName
                           << " スコア = " << score.str();
  fMemory->unsubscribeToEvent("FaceDetected", getName());
  fMemory->unsubscribeToEvent("UserSession/FocusedUser", getName());
}

// ------------------------------------------------------------ speech output

void KTRuko::logSpeaking(std::string words) {
  requireMemory("logSpeaking");
  fMemory->insertData("ktorrin_speak_words", words);
  fMemory->raiseEvent("ktorrin_speak", AL::ALValue(1));
}
