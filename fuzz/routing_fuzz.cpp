// The dialog's variable routing on a fuzzed configuration file: the dialog
// starts from it, then every configured variable is set once.
#include <cstdio>
#include <cstdlib>

#include <alcommon/alproxy.h>
#include <alerror/alerror.h>
#include <alproxies/almemoryproxy.h>
#include <ktplatform/robotroot.h>

#include "fuzz_support.h"
#include "ktruko.h"
#include "ktxml2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static boost::shared_ptr<KTRuko> ruko =
      AL::ALModule::createModule<KTRuko>(kt::fuzz::robot().broker(), "KTRuko");
  static AL::ALMemoryProxy memory(kt::fuzz::robot().broker());
  static const std::string conf = kt::fuzz::root() + "/home/nao/ruko/conf/ruko.conf";
  static bool made = kt::makeFolders(kt::fuzz::root() + "/home/nao/ruko/conf") &&
                     kt::makeFolders(kt::fuzz::root() + "/home/nao/ruko/dialog/topics");
  if (!made) abort();
  FILE* f = std::fopen(conf.c_str(), "wb");
  if (!f) abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  static char rows[256][512];
  int n = KTXml2(conf.c_str()).getVariables(rows);
  try {
    ruko->startDialog("Dialog");
    for (int i = 0; i < n; ++i) {
      std::string name(rows[i]);
      name = name.substr(0, name.find(','));
      try {
        memory.raiseEvent(name, AL::ALValue(1));
      } catch (const AL::ALError&) {
      }
    }
    ruko->stopDialog("Dialog");
  } catch (const AL::ALError&) {
    // A service failed: the call fails, nothing else.
  }
  kt::fuzz::settle();
  return 0;
}
