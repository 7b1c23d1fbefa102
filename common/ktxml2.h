// KTXml2: reads the robot's configuration file (XML).
#ifndef KTXML2_H
#define KTXML2_H

#include <string>

#include <tinyxml2.h>

class KTXml2 {
public:
  // Loads xmlFile; a missing or malformed file leaves an empty document.
  explicit KTXml2(const char* xmlFile);
  ~KTXml2();

  // Removes the spaces (0x20 only) at both ends of s in place; returns how
  // many were removed, or -1 when s is null.
  int trim(char* s);

  // Writes one variable line per configured variable into consecutive
  // 512-byte slots (at most 256); returns the number of lines written.
  int getVariables(char variables[][512]);

  // Copies the text of each topic under uploadTopics, trimmed, into
  // consecutive 512-byte rows (at most 256); returns the number of rows.
  int getUploadTopics(char topics[][512]);

private:
  KTXml2(const KTXml2&);
  KTXml2& operator=(const KTXml2&);

  bool readVariable(tinyxml2::XMLElement* variable, std::string& line);

  tinyxml2::XMLDocument doc;
};

#endif
