// The run's clock: the time, pauses that a stop cuts short, and the local
// time of the log lines. The run's deadline is kept in src/shared/.
//
// Uses: StopIfRequested and StopDue (stops).

#include "layer.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <sys/prctl.h>

std::int64_t MicrosecondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void PauseUntil(std::int64_t deadline)
{
    // Without the default 50 microseconds of timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL);
    // A sleeping process wakes late, a tenth of a millisecond and more on a
    // virtual machine, and the run's three pauses would add that up on the
    // user's time: it wakes a little early and watches the clock for the
    // rest.
    const std::int64_t wakeUp = deadline - 300;
    const timespec end{static_cast<time_t>(wakeUp / 1000000), static_cast<long>(wakeUp % 1000000) * 1000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
        StopIfRequested();
    }
    while (MicrosecondsNow() < deadline && !StopDue()) {
    }
    StopIfRequested();
}

std::string LocalTimeText(std::int64_t timeNow)
{
    static const char* const dayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const monthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t seconds = static_cast<std::time_t>(timeNow);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return "??? ??? ?? ??:??:?? ????";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %d", dayNames[local.tm_wday],
                  monthNames[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec, local.tm_year + 1900);
    return buf;
}
