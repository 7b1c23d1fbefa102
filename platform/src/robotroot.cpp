#include <ktplatform/robotroot.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace kt {

std::string robotRoot() {
  const char* root = getenv("KT_ROBOT_ROOT");
  return root ? root : "";
}

std::string tailLogPath() {
  return robotRoot() + "/var/volatile/var/log/naoqi/tail-naoqi.log";
}

bool makeFolders(const std::string& path) {
  std::string::size_type pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string part = path.substr(0, pos);
    if (part.empty()) continue;
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace kt
