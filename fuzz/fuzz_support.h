// What the fuzz targets share: a robot of this process with its services,
// no log output, no real pauses, a robot file tree of its own and, for the
// targets that use the network, a network namespace of its own.
#ifndef KT_FUZZ_SUPPORT_H
#define KT_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <ktplatform/simrobot.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace kt {
namespace fuzz {

// The robot, made on first use (logging off, pauses skipped, KT_ROBOT_ROOT
// set to a fresh folder).
kt::sim::Robot& robot();
const std::string& root();
// Forgets what the robot's services recorded of the last input, so that
// a long run does not grow without bound.
void settle();
// Moves the process into a network namespace with only loopback, up; ends
// the process with 77 (skipped) when it cannot, since a target must never
// use the machine's own network.
void ownNetwork();
// The input cut at each separator byte.
std::vector<std::string> pieces(const uint8_t* data, size_t size, char separator);

}  // namespace fuzz
}  // namespace kt

#endif
