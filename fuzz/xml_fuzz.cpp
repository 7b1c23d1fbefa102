// The configuration file, read by both readers: the dialog's variable
// table and the list of topics to fetch.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "ktxml2.h"

namespace {

char rows[256][512];

void checkRows(int n) {
  if (n < 0 || n > 256) abort();
  for (int i = 0; i < n; ++i)
    if (std::memchr(rows[i], '\0', sizeof rows[i]) == 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = kt::fuzz::root() + "/ruko.conf";
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  KTXml2 xml(file.c_str());
  checkRows(xml.getVariables(rows));
  checkRows(xml.getUploadTopics(rows));
  return 0;
}
