// The id of this process without a system call at every use, and right in a
// process forked from it.
#ifndef KTPLATFORM_PROCESSID_H
#define KTPLATFORM_PROCESSID_H

#include <sys/types.h>

namespace kt {

// getpid() as of the last fork(): a fork handler renews it in the child
// before fork() returns there. A child made by a bare clone() system call
// is not told; vfork() and posix_spawn() children only exec.
pid_t processId();

}  // namespace kt

#endif
