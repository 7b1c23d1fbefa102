// The topic list reader of the topic transfer module.
#include "ktxml2.h"

#include <cstdio>

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
  return count;
}
