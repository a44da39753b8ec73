#pragma once

#include "engine/posix/UniqueFd.h"

// What the supervisors of the transfer and the station wait on in their one poll.

// The termination signals (SIGINT, SIGTERM, SIGHUP) as a file to poll: they are blocked for the
// process (threads started later inherit the mask), and SIGPIPE is ignored (a closed output
// gives write errors, not the end). Null with errno set when it cannot be made.
UniqueFd TerminationSignals();
// The number of the next signal that came, or 0 when none waits.
int TakeSignal(int signals);
// A timerfd that is readable every `intervalMs`, or never with 0.
void SetTicks(int timer, long intervalMs);
