// The robot's fixed paths, under KT_ROBOT_ROOT when a simulated robot sets it.
#ifndef KTPATH_H
#define KTPATH_H

#include <cstdlib>
#include <string>

inline std::string ktRobotPath(const char* fixedPath) {
  const char* root = std::getenv("KT_ROBOT_ROOT");
  return std::string(root ? root : "") + fixedPath;
}

#endif
