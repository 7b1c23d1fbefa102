// Operating system helpers of the platform.
#ifndef QI_OS_HPP
#define QI_OS_HPP

namespace qi {
namespace os {

void sleep(unsigned int seconds);
void msleep(unsigned int milliseconds);

}  // namespace os
}  // namespace qi

#endif
