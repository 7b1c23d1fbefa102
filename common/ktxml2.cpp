#include "ktxml2.h"

#include <cstring>
#include <string>

#include <qi/log.hpp>

namespace {

const int kMaxVariables = 256;
const size_t kSlotSize = 512;

void warn(const std::string& text) {
  qi::log::LogStream(qi::LogLevel_Warning, __FILE__, __FUNCTION__, __LINE__, "ktruko") << text;
}

// Copies value into the 512-byte scratch buffer; false when it is missing
// or does not fit.
bool copyValue(const char* value, char* scratch) {
  if (value == 0) return false;
  size_t len = std::strlen(value);
  if (len >= kSlotSize) return false;
  std::memcpy(scratch, value, len + 1);
  return true;
}

// Appends "," and field to line; false when the line would not fit its slot.
bool appendField(std::string& line, const char* field) {
  if (line.size() + 1 + std::strlen(field) >= kSlotSize) return false;
  line += ',';
  line += field;
  return true;
}

}  // namespace

KTXml2::KTXml2(const char* xmlFile) : doc(true, tinyxml2::PRESERVE_WHITESPACE) {
  doc.LoadFile(xmlFile);
}

KTXml2::~KTXml2() {}

int KTXml2::trim(char* s) {
  if (s == 0) return -1;
  int removed = 0;
  size_t len = std::strlen(s);
  while (len > 0 && s[len - 1] == ' ') {
    --len;
    ++removed;
  }
  s[len] = '\0';
  size_t start = 0;
  while (start < len && s[start] == ' ') ++start;
  if (start > 0) std::memmove(s, s + start, len - start + 1);
  return removed + static_cast<int>(start);
}

// Reads one variable element into line; false when a value that its type
// needs is missing, empty or too long, so that the caller skips it.
bool KTXml2::readVariable(tinyxml2::XMLElement* variable, std::string& line) {
  char scratch[kSlotSize];

  if (!copyValue(variable->Attribute("name"), scratch)) return false;
  trim(scratch);
  if (scratch[0] == '\0') return false;
  line = scratch;

  if (!copyValue(variable->Attribute("type"), scratch)) return false;
  trim(scratch);
  if (scratch[0] == '\0') return false;
  std::string type(scratch);
  if (!appendField(line, scratch)) return false;

  const char* const faceChildren[] = {"varname"};
  const char* const walkChildren[] = {"x_distance", "y_distance", "z_radian"};
  const char* const* children = 0;
  int childCount = 0;
  if (type == "facelearn" || type == "faceforget" || type == "facerecog") {
    children = faceChildren;
    childCount = 1;
  } else if (type == "walk") {
    children = walkChildren;
    childCount = 3;
  }
  for (int i = 0; i < childCount; ++i) {
    tinyxml2::XMLElement* child = variable->FirstChildElement(children[i]);
    if (child == 0 || !copyValue(child->GetText(), scratch)) return false;
    trim(scratch);
    if (scratch[0] == '\0') return false;
    if (!appendField(line, scratch)) return false;
  }
  return true;
}

int KTXml2::getVariables(char variables[][512]) {
  int lineNo = 0;
  tinyxml2::XMLElement* config = doc.FirstChildElement("config");
  if (config == 0) return 0;

  for (tinyxml2::XMLElement* property = config->FirstChildElement("property"); property != 0;
       property = property->NextSiblingElement("property")) {
    for (tinyxml2::XMLElement* variable = property->FirstChildElement("variable");
         variable != 0; variable = variable->NextSiblingElement("variable")) {
      if (lineNo >= kMaxVariables) {
        warn("設定ファイルの変数が256個を超えています。257個目以降は読み込みません。");
        return lineNo;
      }
      std::string line;
      if (!readVariable(variable, line)) {
        const char* name = variable->Attribute("name");
        warn(std::string("設定ファイルの変数の記述が不完全なため読み込みません。 name = ") +
             (name ? name : ""));
        continue;
      }
      std::memcpy(variables[lineNo], line.c_str(), line.size() + 1);
      ++lineNo;
    }
  }
  return lineNo;
}
