// The spoken command mode. Each input line is a key to run ("ktcom_ktwalk")
// or a word stored for one ("ktcom_ktwalk_1=まえ"). Every entry of the list
// must split back into the fields of its kind.
#include <cstdlib>
#include <string>
#include <vector>

#include <alerror/alerror.h>
#include <alproxies/almemoryproxy.h>

#include "fuzz_support.h"
#include "ktcommand.h"
#include "ktmotion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static KTMotion* motion = new KTMotion(kt::fuzz::robot().broker());
  static KTCommand* com = new KTCommand(kt::fuzz::robot().broker(), motion);
  static AL::ALMemoryProxy memory(kt::fuzz::robot().broker());
  com->init();
  for (const std::string& line : kt::fuzz::pieces(data, size, '\n')) {
    std::string::size_type eq = line.find('=');
    try {
      if (eq != std::string::npos) {
        memory.insertData(line.substr(0, eq), line.substr(eq + 1));
      } else {
        com->process(com->split(line, '_'), line);
      }
    } catch (const AL::ALError&) {
      // A missing word or a failing service: the call fails, nothing else.
    }
  }
  for (const std::string& entry : com->getAll()) {
    std::vector<std::string> f = com->split(entry, ',');
    size_t expected = f.size() < 2 ? 0 : f[1] == "walk" || f[1] == "navi" ? 5
                                         : f[1] == "speak" ? 4 : f[1] == "wait" ? 3 : 0;
    if (f.size() != expected) abort();
  }
  kt::fuzz::settle();
  return 0;
}
