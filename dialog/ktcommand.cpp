#include "ktcommand.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <boost/algorithm/string.hpp>

#include <alerror/alerror.h>
#include <alvalue/alvalue.h>
#include <qi/log.hpp>
#include <qi/os.hpp>

#include "ktmotion.h"
#include "rukolog.h"


namespace {

// Numbers closer to zero than this count as zero in the read-back.
const double kZero = 0.0001;
// The robot has always turned with this value of pi; stored entries rely on it.
const double kPi = 3.14159;

struct DistanceWord {
  const char* word;
  float metres;
};
struct DegreeWord {
  const char* word;
  float degrees;
};
struct CountWord {
  const char* word;
  int value;
};

const DistanceWord kDistance[] = {
    {"れいてんご", 0.5f},   {"いち", 1},           {"いちてんご", 1.5f},
    {"に", 2},              {"ふた", 2},           {"にいてんご", 2.5f},
    {"さん", 3},            {"さんてんご", 3.5f},  {"よん", 4},
    {"よんてんご", 4.5f},   {"ご", 5},             {"ごてんご", 5.5f},
    {"ろく", 6},            {"ろくてんご", 6.5f},  {"なな", 7},
    {"しち", 7},            {"ななてんご", 7.5f},  {"しちてんご", 7.5f},
    {"はち", 8},            {"きゅう", 9},         {"じゅう", 10},
    {"じゅ", 10},           {"にじゅう", 20},      {"にじゅ", 20},
    {"ふたじゅう", 20},     {"ふたじゅ", 20},      {"さんじゅう", 30},
    {"さんじゅ", 30},       {"よんじゅう", 40},    {"よんじゅ", 40},
    {"ごじゅう", 50},       {"ごじゅ", 50},        {"ろくじゅう", 60},
    {"ろくじゅ", 60},       {"しちじゅう", 70},    {"しちじゅ", 70},
    {"ななじゅう", 70},     {"ななじゅ", 70},      {"はちじゅう", 80},
    {"はちじゅ", 80},       {"きゅうじゅう", 90},  {"きゅうじゅ", 90},
};

const DegreeWord kDegree[] = {
    {"じゅうど", 10},         {"にじゅうど", 20},       {"ふたじゅうど", 20},
    {"さんじゅうど", 30},     {"よんじゅうど", 40},     {"ごじゅうど", 50},
    {"ろくじゅうど", 60},     {"ななじゅうど", 70},     {"しちじゅうど", 70},
    {"はちじゅうど", 80},     {"きゅうじゅうど", 90},   {"じゅうごど", 15},
    {"にじゅうごど", 25},     {"ふたじゅうごど", 25},   {"さんじゅうごど", 35},
    {"よんじゅうごど", 45},   {"ごじゅうごど", 55},     {"ろくじゅうごど", 65},
    {"しちじゅうごど", 75},   {"ななじゅうごど", 75},   {"はちじゅうごど", 85},
};

const CountWord kCount[] = {
    {"いち", 1},         {"に", 2},           {"ふた", 2},         {"さん", 3},
    {"よん", 4},         {"し", 4},           {"ご", 5},           {"ろく", 6},
    {"なな", 7},         {"しち", 7},         {"はち", 8},         {"きゅう", 9},
    {"じゅう", 10},      {"じゅういち", 11},  {"じゅうに", 12},    {"じゅうさん", 13},
    {"じゅうよん", 14},  {"じゅうし", 14},    {"じゅうご", 15},    {"じゅうろく", 16},
    {"じゅうしち", 17},  {"じゅうなな", 17},  {"じゅうはち", 18},  {"じゅうきゅう", 19},
    {"にじゅう", 20},    {"ふたじゅう", 20},
};

template <typename T, size_t N> size_t countOf(const T (&)[N]) { return N; }

// Every comma separates: empty fields stay.
std::vector<std::string> fieldsOf(const std::string& entry) {
  std::vector<std::string> fields;
  boost::algorithm::split(fields, entry, boost::algorithm::is_any_of(","),
                          boost::algorithm::token_compress_off);
  return fields;
}

// A field that a system-built entry always has; never read past the end.
const std::string& field(const std::vector<std::string>& fields, size_t i) {
  static const std::string none;
  return i < fields.size() ? fields[i] : none;
}

float number(const std::string& text) { return std::strtof(text.c_str(), 0); }

int signOf(float v) {
  double d = v;
  if (d > kZero) return 1;
  if (d < -kZero) return -1;
  return 0;
}

bool isOneOf(const std::string& word, const char* a, const char* b) {
  return word == a || word == b;
}

std::string readText(boost::shared_ptr<AL::ALMemoryProxy> memory, const char* key) {
  std::string text = memory->getData(key);
  return text;
}

std::string joined(const std::vector<std::string>& parts, const char* sep) {
  return boost::algorithm::join(parts, sep);
}

}  // namespace

KTCommand::KTCommand(boost::shared_ptr<AL::ALBroker> broker, KTMotion* ktmotion)
    : broker(broker), ktmotion(0), comstatus(false), motion(0) {
  fMemory = broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory");
  this->ktmotion = ktmotion;
  motion = ktmotion ? ktmotion->motion : 0;
  autolife = broker->getProxy("ALAutonomousLife", 0);
  bscaware = broker->getProxy("ALBasicAwareness", 0);
  setConceptMap();
}

// The motion executor and its proxy belong to the module.
KTCommand::~KTCommand() {}

// ---------------------------------------------------------------- speech output

void KTCommand::logSpeaking(std::string words) {
  fMemory->insertData("ktorrin_speak_words", words);
  fMemory->raiseEvent("ktorrin_speak", AL::ALValue(1));
}

// ---------------------------------------------------------------- number words

void KTCommand::setConceptMap() {
  for (size_t i = 0; i < countOf(kDistance); ++i)
    distance.insert(std::make_pair(std::string(kDistance[i].word), kDistance[i].metres));
  for (size_t i = 0; i < countOf(kDegree); ++i)
    degree.insert(std::make_pair(std::string(kDegree[i].word), kDegree[i].degrees));
  for (size_t i = 0; i < countOf(kCount); ++i)
    count.insert(std::make_pair(std::string(kCount[i].word), kCount[i].value));
}

// An entry is read back and run by splitting it at its commas: a field
// that holds one would shift the others (a label could make a walk a wait).
static bool holdsComma(const std::string& field, const char* what) {
  if (field.find(',') == std::string::npos) return false;
  KTWARN << what << "にカンマがあるので、コマンドを作成しません。 = " << field;
  return true;
}

// The longest pause a wait entry can hold: the largest spoken number.
static int longestWait() {
  int longest = 0;
  for (size_t i = 0; i < countOf(kCount); ++i)
    if (kCount[i].value > longest) longest = kCount[i].value;
  return longest;
}

std::string KTCommand::convert(std::vector<std::string> vars) {
  float x = 0, y = 0, theta = 0;
  std::string result;
  if (vars.size() >= 2 && holdsComma(vars[1], "コマンド名")) return std::string();

  if (vars.size() >= 5 && vars[0] == "ktwalk") {
    // Looked up first: an unknown word is remembered even for a bad direction.
    float d = distance[vars[3]];
    if (isOneOf(vars[2], "みぎ", "みぎに")) {
      y = -d;
    } else if (isOneOf(vars[2], "ひだり", "ひだりに")) {
      y = d;
    } else if (isOneOf(vars[2], "まえ", "まえに")) {
      x = d;
    } else if (isOneOf(vars[2], "うしろ", "うしろに")) {
      x = -d;
    } else {
      KTWARN << "歩行に関する方向の与え方が不適切です。";
      return std::string();
    }
    if (vars[4] == "センチ") {
      x = x / 100.0f;
      y = y / 100.0f;
    }
    result = vars[1] + ",walk," + tostr(x) + "," + tostr(y) + "," + tostr(theta);
    KTINFO << "****** すすむコマンド 結果 = " << result;
    return result;
  }

  if (vars.size() >= 5 && vars[0] == "ktturn") {
    float a = degree[vars[3]];
    KTINFO << "****** 角度1 = " << tostr(a);
    if (a > 0 && a <= 360) {
      if (a > 180) a = -(360 - a);
      a = static_cast<float>(static_cast<double>(a) / 180.0 * kPi);
      KTINFO << "****** 角度2 = " << tostr(a);
    }
    if (isOneOf(vars[2], "みぎ", "みぎに")) {
      theta = -a;
    } else if (isOneOf(vars[2], "ひだり", "ひだりに")) {
      theta = a;
    } else {
      KTWARN << "回転に関する方向の与え方が不適切です。";
      return std::string();
    }
    result = vars[1] + ",walk," + tostr(x) + "," + tostr(y) + "," + tostr(theta);
    KTINFO << "****** 回転コマンド 結果 = " << result;
    return result;
  }

  if (vars.size() >= 7 && vars[0] == "ktnavi") {
    const std::string wrong = "コマンドの与え方が不適切です。";
    x = distance[vars[3]];
    if (isOneOf(vars[2], "うしろ", "うしろに")) {
      x = -x;
    } else if (!isOneOf(vars[2], "まえ", "まえに")) {
      logSpeaking(wrong);
      KTINFO << wrong;
      return std::string();
    }
    y = distance[vars[5]];
    if (isOneOf(vars[4], "みぎ", "みぎに")) {
      y = -y;
    } else if (!isOneOf(vars[4], "ひだり", "ひだりに")) {
      logSpeaking(wrong);
      KTINFO << wrong;
      return std::string();
    }
    if (vars[6] == "センチ") {
      x = x / 100.0f;
      y = y / 100.0f;
    }
    result = vars[1] + ",navi," + tostr(x) + "," + tostr(y) + ",";
    KTINFO << "****** ナビゲーションコマンド 結果 = " << result;
    return result;
  }

  return result;
}

std::string KTCommand::tostr(float number) {
  std::stringstream out(std::ios::in | std::ios::out);
  out << number;
  return out.str();
}

std::string KTCommand::ftostr(float number) {
  char buf[30];
  int n = std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(number));
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf);
  // Too long for the buffer: format it in full rather than cut the number.
  std::vector<char> wide(static_cast<size_t>(n) + 1);
  std::snprintf(&wide[0], wide.size(), "%.2f", static_cast<double>(number));
  return std::string(&wide[0]);
}

std::string KTCommand::itostr(int number) {
  char buf[30];
  std::snprintf(buf, sizeof buf, "%3d", number);
  return std::string(buf);
}

std::vector<std::string> KTCommand::split(const std::string& text, char delim) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type at = text.find(delim, start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// ---------------------------------------------------------------- command list

void KTCommand::init() {
  commands.clear();
  comstatus = true;
}

void KTCommand::finalize() { comstatus = false; }

int KTCommand::size() { return static_cast<int>(commands.size()); }

bool KTCommand::add(std::vector<std::string> vars) {
  std::string entry = convert(vars);
  if (entry.empty()) return false;
  commands.push_back(entry);
  return true;
}

bool KTCommand::insertAt(std::vector<std::string> vars, int loc) {
  if (loc < 0 || loc > size()) return false;
  std::string entry = convert(vars);
  if (entry.empty()) return false;
  commands.insert(commands.begin() + loc, entry);
  return true;
}

void KTCommand::deleteLast() {
  if (!commands.empty()) commands.pop_back();
}

std::string KTCommand::getAt(int loc) {
  if (loc < 0 || loc >= size()) return std::string();
  return commands[loc];
}

bool KTCommand::deleteAt(int loc) {
  if (loc < 0 || loc >= size()) return false;
  commands.erase(commands.begin() + loc);
  return true;
}

std::vector<std::string> KTCommand::getAll() { return commands; }

// ---------------------------------------------------------------- read-back

namespace {

enum EntryKind { KindWalk, KindSpeak, KindWait, KindNavi, KindMalformed };

EntryKind kindOf(const std::vector<std::string>& f) {
  const std::string& kind = field(f, 1);
  if (kind == "walk" && f.size() >= 5) return KindWalk;
  if (kind == "speak" && f.size() >= 3) return KindSpeak;
  if (kind == "wait" && f.size() >= 3) return KindWait;
  if (kind == "navi" && f.size() >= 4) return KindNavi;
  return KindMalformed;
}

}  // namespace

// Whole degrees of the angle's magnitude, truncated, as the user hears them.
static std::string degreesOf(KTCommand& com, float radians) {
  double quotient = static_cast<double>(radians) / kPi;
  if (radians < 0) quotient = -quotient;
  float degrees = static_cast<float>(quotient * 180.0);
  // Only a corrupt value gets here; keep the conversion defined.
  if (!(degrees < 2147483520.0f)) degrees = degrees > 0 ? 2147483520.0f : 0.0f;
  return com.itostr(static_cast<int>(degrees));
}

bool KTCommand::speakCommand(std::string com, int loci) {
  const std::string pos = itostr(loci);
  const std::vector<std::string> f = fieldsOf(com);
  std::string sentence;

  switch (kindOf(f)) {
    case KindWalk: {
      float x = number(f[2]), y = number(f[3]), theta = number(f[4]);
      const std::string head = pos + "番目のコマンドは、";
      if (signOf(x) > 0) {
        sentence = head + ftostr(std::fabs(x)) + "メートル前へ進む、です。";
      } else if (signOf(x) < 0) {
        sentence = head + ftostr(std::fabs(x)) + "メートル、後ろに下がる、です。";
      } else if (signOf(y) > 0) {
        sentence = head + ftostr(std::fabs(y)) + "メートル左へ進む、です。";
      } else if (signOf(y) < 0) {
        sentence = head + ftostr(std::fabs(y)) + "メートル右へ進む、です。";
      } else if (signOf(theta) > 0) {
        sentence = head + degreesOf(*this, theta) + "度、左に回転する、です。";
      } else if (signOf(theta) < 0) {
        sentence = head + degreesOf(*this, theta) + "度、右に回転する、です。";
      } else {
        logSpeaking("変数が正しく保存されていませんでした。");
        return false;
      }
      break;
    }
    case KindSpeak:
      sentence = pos + "番目は、" + f[2] + "、を話ます。";
      break;
    case KindWait:
      sentence = pos + "番目は、" + f[2] + "秒間、動作を停止するです。";
      break;
    case KindNavi: {
      float x = number(f[2]), y = number(f[3]);
      const std::string head = pos + "番目のコマンドは、";
      if (signOf(x) > 0)
        sentence = head + ftostr(std::fabs(x)) + "メートル前、";
      else if (signOf(x) < 0)
        sentence = head + ftostr(std::fabs(x)) + "メートル、後ろ、";
      else
        sentence = "一部、変数が正しく保存されていませんでした。";
      if (signOf(y) > 0)
        sentence += ftostr(std::fabs(y)) + "メートル左への位置へ移動するです。";
      else if (signOf(y) < 0)
        sentence += ftostr(std::fabs(y)) + "メートル右の位置へ移動するです。";
      else
        sentence += "一部、変数が正しく保存されていませんでした。";
      break;
    }
    case KindMalformed:
      logSpeaking("コマンドが正しく保存されていませんでした。");
      return false;
  }

  logSpeaking(sentence);
  KTINFO << sentence;
  return true;
}

std::string KTCommand::linkCommands(std::vector<std::string> coms) {
  std::string text;
  for (size_t i = 0; i < coms.size(); ++i) {
    const std::string pos = itostr(static_cast<int>(i));
    const std::vector<std::string> f = fieldsOf(coms[i]);
    switch (kindOf(f)) {
      case KindWalk: {
        float x = number(f[2]), y = number(f[3]), theta = number(f[4]);
        const std::string head = pos + "番目は、";
        if (signOf(x) > 0)
          text += head + ftostr(std::fabs(x)) + "メートル前へ進む、";
        else if (signOf(x) < 0)
          text += head + ftostr(std::fabs(x)) + "メートル、後ろに下がる、";
        else if (signOf(y) > 0)
          text += head + ftostr(std::fabs(y)) + "メートル左へ進む、";
        else if (signOf(y) < 0)
          text += head + ftostr(std::fabs(y)) + "メートル右へ進む、";
        else if (signOf(theta) > 0)
          text += head + degreesOf(*this, theta) + "度、左に回転する、";
        else if (signOf(theta) < 0)
          text += head + degreesOf(*this, theta) + "度、右に回転する、";
        else
          text += "変数が正しく保存されていませんでした。";
        break;
      }
      case KindSpeak:
        text += pos + "番目は、" + f[2] + "、を話す、";
        break;
      case KindWait:
        text += pos + "番目は、" + f[2] + "びょうかん動作を停止、";
        break;
      case KindNavi: {
        float x = number(f[2]), y = number(f[3]);
        if (signOf(x) > 0)
          text += pos + "番目は、" + ftostr(std::fabs(x)) + "メートル前、";
        else if (signOf(x) < 0)
          text += pos + "番目は、" + ftostr(std::fabs(x)) + "メートル、後ろ、";
        if (signOf(y) > 0)
          text += ftostr(std::fabs(y)) + "メートル左への位置へ移動、";
        else if (signOf(y) < 0)
          text += ftostr(std::fabs(y)) + "メートル右の位置へ移動。";
        else
          text += "変数が正しく保存されていませんでした。";
        break;
      }
      case KindMalformed:
        text += "コマンドが正しく保存されていませんでした。";
        break;
    }
  }
  return text + "以上です。";
}

void KTCommand::speakLocation() {
  AL::ALValue position = motion->call<AL::ALValue>("getRobotPosition", false);
  float p[3] = {0, 0, 0};
  // A short answer leaves the missing values at 0.
  unsigned int n = position.isArray() ? position.getSize() : 0;
  for (unsigned int i = 0; i < 3 && i < n; ++i) p[i] = position[i];
  float x = p[0], y = p[1], theta = p[2];

  std::string forward = "前方に";
  if (x < 0) {
    forward = "後方に";
    x = -x;
  }
  std::string side = "左方向に";
  if (y < 0) {
    side = "右方向に";
    y = -y;
  }
  std::string rotation;
  if (signOf(theta) > 0)
    rotation = degreesOf(*this, theta) + "度、左に回転している";
  else if (signOf(theta) < 0)
    rotation = degreesOf(*this, theta) + "度、右に回転している";
  else
    rotation = "回転はしていない";

  logSpeaking("現在位置は原点より、" + forward + "、" + ftostr(std::fabs(x)) + "メートル、" + side +
              "、" + ftostr(std::fabs(y)) + "メートル、" + rotation + "、です。");
}

// ---------------------------------------------------------------- interpreter

bool KTCommand::process(std::vector<std::string> varname, std::string name) {
  // A key without a second part names no keyword; it is answered like an
  // unknown one.
  const std::string keyword = varname.size() >= 2 ? varname[1] : std::string();

  if (keyword == "ktinit") {
    KTINFO << "****** コマンドモード初期化処理 ******";
    init();
    logSpeaking("コマンドモードに入りました。");
    return true;
  }
  if (!comstatus) {
    logSpeaking("コマンドモードではありません。");
    return false;
  }

  if (keyword == "ktend") {
    finalize();
    logSpeaking("コマンドモードをおわります。");
    return true;
  }

  if (keyword == "ktnavi" || keyword == "ktwalk" || keyword == "ktturn") {
    const char* const naviKeys[] = {"ktcom_ktnavi_1", "ktcom_ktnavi_2", "ktcom_ktnavi_3",
                                    "ktcom_ktnavi_4", "ktcom_ktnavi_5"};
    const char* const walkKeys[] = {"ktcom_ktwalk_1", "ktcom_ktwalk_2", "ktcom_ktwalk_3"};
    const char* const turnKeys[] = {"ktcom_ktturn_1", "ktcom_ktturn_2", "ktcom_ktturn_3"};
    const char* const* keys = walkKeys;
    size_t nkeys = 3;
    const char* title = "****** すすむコマンド作成 = ";
    if (keyword == "ktnavi") {
      keys = naviKeys;
      nkeys = 5;
      title = "****** ナビゲーションコマンド作成 = ";
    } else if (keyword == "ktturn") {
      keys = turnKeys;
      title = "****** 回転コマンド作成 = ";
    }
    std::vector<std::string> vars;
    vars.push_back(keyword);
    vars.push_back(name);
    for (size_t i = 0; i < nkeys; ++i) vars.push_back(readText(fMemory, keys[i]));
    KTINFO << title << joined(vars, ":");
    // A conversion that makes no entry has already given its own answer.
    add(vars);
    return true;
  }

  if (keyword == "ktget") {
    KTINFO << "****** コマンドを取得の開始 **********";
    if (size() == 0) {
      KTWARN << "コマンドがまだ入力されていません。";
      return true;
    }
    const std::string word = readText(fMemory, "ktcom_ktget_1");
    int loc = word.empty() ? size() - 1 : count[word];
    if (loc > size() - 1) {
      logSpeaking(word + "ばんめのデータはありません。");
      return true;
    }
    KTINFO << "****** コマンドを取得します No. = " << loc;
    const std::string entry = getAt(loc);
    KTINFO << "****** 取得したコマンド = " << entry;
    return speakCommand(entry, loc);
  }

  if (keyword == "ktdel") {
    if (size() == 0) {
      KTWARN << "コマンドがまだ入力されていません。";
      return true;
    }
    const std::string word = readText(fMemory, "ktcom_ktdel_1");
    int loc = word.empty() ? size() - 1 : count[word];
    if (loc > size() - 1) {
      logSpeaking(word + "ばんめのデータはありません。");
      return true;
    }
    deleteAt(loc);
    logSpeaking(word + "ばんめのデータを削除しました。");
    return true;
  }

  if (keyword == "ktsayall") {
    if (size() == 0) {
      KTWARN << "コマンドがまだ入力されていません。";
      return true;
    }
    logSpeaking(linkCommands(getAll()));
    return true;
  }

  if (keyword == "ktspeak") {
    const std::string title = readText(fMemory, "ktcom_ktspeak_1");
    const std::string words = readText(fMemory, "ktcom_ktspeak_2");
    if (holdsComma(title, "話す言葉") || holdsComma(words, "話す言葉")) return false;
    commands.push_back("ktcom_ktspeak_1,speak," + title + "," + words);
    return true;
  }

  if (keyword == "ktwait") {
    const std::string word = readText(fMemory, "ktcom_ktwait_1");
    int seconds = count[word];
    commands.push_back("ktcom_ktwait_1,wait," + itostr(seconds));
    logSpeaking("そこで、" + ftostr(static_cast<float>(seconds)) + "びょう、動作を停止します。");
    return true;
  }

  if (keyword == "ktexec") {
    if (size() == 0) {
      KTWARN << "コマンドがまだ入力されていません。";
      return true;
    }
    int n = size();
    const std::vector<std::string> run = getAll();
    std::map<std::string, std::string> dummy;
    dummy["DUMMY"] = "DUMMY";
    for (int i = 0; i < n; ++i) {
      const std::vector<std::string> f = fieldsOf(run[i]);
      const std::string& kind = field(f, 1);
      if (kind == "speak") {
        logSpeaking(field(f, 3));
      } else if (kind == "wait") {
        // No entry holds more than ktwait can store; nor may one made otherwise.
        int seconds = std::min(std::atoi(field(f, 2).c_str()), longestWait());
        if (seconds > 0) qi::os::sleep(static_cast<unsigned int>(seconds));
      } else {
        ktmotion->setMotion(f, dummy);
        motion->callVoid("waitUntilMoveIsFinished");
      }
    }
    ktmotion->pose->callVoid("goToPosture", std::string("StandInit"), 0.5);
    return true;
  }

  if (keyword == "ktcomnum") {
    logSpeaking("データは、" + itostr(size()) + "こです。");
    return true;
  }

  if (keyword == "ktsysoff") {
    fMemory->raiseEvent("SystemTopicOffEvent", AL::ALValue(1));
    return true;
  }

  if (keyword == "ktwakeup") {
    ktmotion->initPosture();
    return true;
  }

  if (keyword == "ktrest") {
    motion->callVoid("rest");
    return true;
  }

  if (keyword == "ktsetaware") {
    const std::string word = readText(fMemory, "ktcom_ktsetaware_1");
    if (word == "おん") {
      bscaware->callVoid("startAwareness");
    } else if (word == "おふ") {
      bscaware->callVoid("stopAwareness");
    } else {
      logSpeaking("設定すべき基礎探知の状態が不適切です");
      return false;
    }
    logSpeaking("基礎検知機能を " + word + " にしました。");
    return true;
  }

  if (keyword == "ktgetaware") {
    bool running = bscaware->call<bool>("isAwarenessRunning");
    logSpeaking(std::string("基礎検知機能は ") + (running ? "おん" : "おふ") + " になっています。");
    return true;
  }

  if (keyword == "ktsetlife") {
    const std::string word = readText(fMemory, "ktcom_ktsetlife_1");
    std::string state;
    if (word == "たんどく")
      state = "solitary";
    else if (word == "そうご")
      state = "interactive";
    else if (word == "むこう")
      state = "disabled";
    else if (word == "ほご")
      state = "safeguard";
    else {
      logSpeaking("設定すべき自動生命の状態が不適切です");
      return false;
    }
    autolife->callVoid("setState", state);
    logSpeaking("自動生命機能を " + word + " にしました。");
    return true;
  }

  if (keyword == "ktgetlife") {
    const std::string state = autolife->call<std::string>("getState");
    std::string word;
    if (state == "solitary")
      word = "単独";
    else if (state == "interactive")
      word = "相互";
    else if (state == "disabled")
      word = "無効";
    else if (state == "safeguard")
      word = "保護";
    else {
      logSpeaking("自動生命の状態を取得できませんでした。");
      return false;
    }
    logSpeaking("自動生命機能は " + word + " になっています。");
    return true;
  }

  if (keyword == "ktgetcolli") {
    bool on = motion->call<bool>("getExternalCollisionProtectionEnabled", std::string("Move"));
    logSpeaking(std::string("外部衝突防止機能は") + (on ? "おん" : "おふ") + "になっています。");
    return true;
  }

  if (keyword == "ktsetcolli") {
    const std::string word = readText(fMemory, "ktcom_ktsetcolli_1");
    bool flag = word == "おん";
    motion->callVoid("setExternalCollisionProtectionEnabled", std::string("Move"), flag);
    motion->callVoid("setExternalCollisionProtectionEnabled", std::string("Arms"), flag);
    logSpeaking("外部衝突防止機能を" + word + "にしました。");
    return true;
  }

  if (keyword == "ktloc") {
    speakLocation();
    return true;
  }

  KTWARN << "コマンド変数の型が不適切です varname = " << keyword;
  logSpeaking("コマンドの変数が不適切です。");
  return false;
}
