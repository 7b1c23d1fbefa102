// Where the simulated robot's file tree lives on this machine.
#ifndef KTPLATFORM_ROBOTROOT_H
#define KTPLATFORM_ROBOTROOT_H

#include <string>

namespace kt {

// KT_ROBOT_ROOT, or the empty text when unset.
std::string robotRoot();
// The platform log tail file under the robot root.
std::string tailLogPath();
// Creates every missing folder of path (mode 0755).
bool makeFolders(const std::string& path);

}  // namespace kt

#endif
