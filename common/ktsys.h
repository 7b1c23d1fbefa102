// Small system helpers that several modules share: a clock for deadlines,
// a wait on one descriptor, the text of a system error, and the clean-up of
// a process the robot forked.
#ifndef KTSYS_H
#define KTSYS_H


// Milliseconds of a clock that never goes back; for deadlines only.
long long ktMonotonicMs();

// poll() for events on one descriptor until deadlineMs of ktMonotonicMs (a
// negative deadline: no bound), restarted after signals with the time left.
// Returns poll's result (0 when the deadline passed); *revents gets what
// happened when revents is given.
int ktPollUntil(int fd, short events, long long deadlineMs, short* revents = 0);

// The system's text for an error number, or "error N" where the C library
// cannot give it without its locale. It neither allocates nor takes a lock,
// so a process forked from a threaded one may use it.
const char* ktReason(int err);

// Closes every descriptor above standard error without allocating: a
// process forked from the robot keeps nothing of the robot's open.
void ktCloseInherited();

// Lets a process forked from the robot take every signal: the forking
// thread may have blocked some, which would then never reach the child.
void ktUnblockSignals();

#endif
