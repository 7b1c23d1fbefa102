// What the service sources share: their lock and their log category.
#ifndef KT_SIM_SIMLOG_H
#define KT_SIM_SIMLOG_H

#include <mutex>

#include <qi/log.hpp>

namespace kt {
namespace sim {
typedef std::lock_guard<std::mutex> Lock;
}  // namespace sim
}  // namespace kt

#define SIM_LOG(level) qi::log::LogStream(level, __FILE__, __FUNCTION__, __LINE__, "simrobot")

#endif
