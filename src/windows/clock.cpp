// Time: the run's clock, pauses that a stop request cuts short, the local
// time of the log lines, and the pause between tries of a step that another
// program holds up (Retried).
//
// Uses: stops.cpp (a stop acts in every pause), held.cpp (which errors mean
// a program holds a file) and Win32.

#include "layer.h"

#include <ctime>

std::int64_t MicrosecondsNow()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency.QuadPart * 1000000 +
           now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

DWORD MillisecondsUntil(std::int64_t deadline)
{
    const std::int64_t left = deadline - MicrosecondsNow();
    return left > 0 ? static_cast<DWORD>((left + 999) / 1000) : 0;
}

void PauseUntil(std::int64_t deadline)
{
    const DWORD milliseconds = MillisecondsUntil(deadline);
    if (StopsHeld()) {
        Sleep(milliseconds);
    } else {
        WaitForSingleObject(StopEvent(), milliseconds);
    }
    StopIfRequested();
}

bool PausedToRetry(std::int64_t until, unsigned& pause)
{
    const DWORD error = GetLastError();
    if (!HeldForAMoment(error) || MicrosecondsNow() >= until) {
        SetLastError(error);
        return false;
    }
    PauseUntil(MicrosecondsNow() + static_cast<std::int64_t>(pause) * 1000);
    pause = pause < 50 ? pause * 2 : 100;
    return true;
}

std::string LocalTimeText(std::int64_t timeNow)
{
    // The runtime's calendar runs from 1970 to the end of the year 3000; not
    // every runtime refuses a time outside it gracefully.
    const char* const unknownTime = "??? ??? ?? ??:??:?? ????";
    const std::int64_t lastSecondOf3000 = 32535215999;
    if (timeNow < 0 || timeNow > lastSecondOf3000) {
        return unknownTime;
    }
    const __time64_t seconds = timeNow;
    char buf[32];
    if (_ctime64_s(buf, sizeof buf, &seconds) != 0) {
        return unknownTime;
    }
    // The runtime's text ends in a newline.
    std::string text = buf;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}
