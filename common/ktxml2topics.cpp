// The topic list reader of the topic transfer module.
#include "ktxml2.h"

#include <cstdio>

#include <qi/log.hpp>

int KTXml2::getUploadTopics(char topics[][512]) {
  tinyxml2::XMLElement* config = doc.FirstChildElement("config");
  if (config == 0) return 0;
  tinyxml2::XMLElement* upload = config->FirstChildElement("uploadTopics");
  if (upload == 0) return 0;

  // Rows beyond the caller's 256 are not read; an over-long name is cut at
  // 511 bytes, which the caller then finds too long to fetch.
  char name[512];
  int count = 0;
  for (tinyxml2::XMLElement* topic = upload->FirstChildElement("topic");
       topic != 0 && count < 256; topic = topic->NextSiblingElement("topic")) {
    const char* text = topic->GetText();
    std::snprintf(name, sizeof(name), "%s", text ? text : "");
    trim(name);
    std::snprintf(topics[count], 512, "%s", name);
    ++count;
  }
  if (count == 256 && upload->FirstChildElement("topic") != 0) {
    int listed = 0;
    for (tinyxml2::XMLElement* t = upload->FirstChildElement("topic"); t != 0;
         t = t->NextSiblingElement("topic"))
      ++listed;
    // The table holds no more: say so rather than drop topics unseen.
    if (listed > 256)
      qi::log::LogStream(qi::LogLevel_Warning, __FILE__, __FUNCTION__, __LINE__, "ktlarkin")
          << "設定ファイルのトピックが256個を超えています。257個目以降は取得しません。";
  }
  return count;
}
