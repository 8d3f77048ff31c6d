// The run's deadline for what other programs hold, and pauses by length:
// the same on every platform.
//
// Uses: MicrosecondsNow and PauseUntil (the platform's clock).

#include "platform.h"

namespace {

// Until when what other programs hold is waited for (see GiveUpAt). Owned
// here alone: a step that needs longer computes its own bound from it.
std::int64_t runDeadline = 0;

} // namespace

void GiveUpAt(std::int64_t deadline)
{
    runDeadline = deadline;
}

std::int64_t GiveUpTime()
{
    return runDeadline;
}

void PauseMilliseconds(unsigned milliseconds)
{
    PauseUntil(MicrosecondsNow() + static_cast<std::int64_t>(milliseconds) * 1000);
}
