// Lets tests see the pauses a module asks for without waiting for them.
#ifndef KTPLATFORM_SLEEPHOOK_H
#define KTPLATFORM_SLEEPHOOK_H

#include <functional>

namespace kt {

// Called instead of waiting, with the seconds asked for; an empty hook
// restores real pauses.
typedef std::function<void(unsigned int seconds)> SleepHook;
void setSleepHook(const SleepHook& hook);

}  // namespace kt

#endif
