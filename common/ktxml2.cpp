#include "ktxml2.h"

KTXml2::KTXml2(const char* xmlFile) : doc(true, tinyxml2::PRESERVE_WHITESPACE) {
  doc.LoadFile(xmlFile);
}

KTXml2::~KTXml2() {}

int KTXml2::trim(char* s) {
  if (s == 0) return -1;
  return 0;
}

int KTXml2::getVariables(char variables[][512]) {
  (void)variables;
  return 0;
}
