// Starting the new launcher, watching that it runs, and the backup's
// removal once it has (at once on Windows: there is no background remover).
//
// Uses: files.cpp (RemoveHelperFile), clock.cpp (Retried, MillisecondsUntil),
// stops.cpp and Win32 (with the shell's ShellExecuteExA).

#include "layer.h"

#include <shellapi.h>

namespace {

// How long a debugger that reports a crash (Wine's prints a backtrace) may
// hold the crashed launcher before it is taken as running after all.
const std::int64_t crashReportMicroseconds = 30000000;

// How often the watch looks for such a debugger.
const DWORD debuggerLookMilliseconds = 50;

bool BeingDebugged(HANDLE process)
{
    BOOL debugged = FALSE;
    return CheckRemoteDebuggerPresent(process, &debugged) && debugged;
}

} // namespace

Launch StartProgram(const std::string& path)
{
    // The shell's "open", without the error box that would wait for a click
    // where nobody may be there to give it. A scanner that looks at the new
    // launcher as it appears is waited out for two seconds, whatever the
    // run's bound: stop requests wait meanwhile.
    const std::int64_t until = MicrosecondsNow() + 2000000;
    SHELLEXECUTEINFOA start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC | SEE_MASK_NOCLOSEPROCESS;
    start.lpVerb = "open";
    start.lpFile = path.c_str();
    start.nShow = SW_SHOWNORMAL;
    const bool started = Retried(until, [&] { return ShellExecuteExA(&start) != FALSE; });
    const DWORD error = GetLastError();
    // What the loader says of an image it will not run: no program, a
    // damaged one, or one for another machine.
    switch (started ? ERROR_SUCCESS : error) {
    case ERROR_SUCCESS:
        return {startedProgram, reinterpret_cast<std::intptr_t>(start.hProcess)};
    case ERROR_BAD_FORMAT:
    case ERROR_INVALID_MODULETYPE:
    case ERROR_INVALID_EXE_SIGNATURE:
    case ERROR_EXE_MARKED_INVALID:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return {notTakenAsProgram, 0};
    default:
        return {startFailed, 0};
    }
}

StartResult WatchLaunch(const Launch& launch, std::int64_t deadline)
{
    const HANDLE launcher = reinterpret_cast<HANDLE>(launch.process);
    if (launch.result != startedProgram || launcher == nullptr) {
        return launch.result;
    }
    // A window waiting for input has run. A console program has no input
    // queue, and the call fails at once; Wine's also returns as the program
    // ends. Then the launcher's end, or a stop request, is waited for.
    const bool idle = WaitForInputIdle(launcher, MillisecondsUntil(deadline)) == 0;
    const HANDLE awaited[] = {launcher, StopEvent()};
    const DWORD count = StopsHeld() ? 1 : 2;
    // A crash that a debugger reports keeps its process open meanwhile: Wine
    // starts its own where the system would end the process at once. Once
    // one is seen, the end is waited for well past the watch.
    DWORD woken = WAIT_TIMEOUT;
    bool reported = false;
    for (std::int64_t until = idle ? 0 : deadline; woken == WAIT_TIMEOUT;) {
        const DWORD slice = MillisecondsUntil(until);
        woken = WaitForMultipleObjects(count, awaited, FALSE, slice < debuggerLookMilliseconds ? slice : debuggerLookMilliseconds);
        if (woken == WAIT_TIMEOUT && !reported && BeingDebugged(launcher)) {
            reported = true;
            until = MicrosecondsNow() + crashReportMicroseconds;
        } else if (woken == WAIT_TIMEOUT && MicrosecondsNow() >= until) {
            break;
        }
    }
    DWORD code = STILL_ACTIVE;
    const bool ended = WaitForSingleObject(launcher, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(launcher, &code);
    CloseHandle(launcher);
    StopIfRequested();
    return ended && code >= 0xC0000000 ? endedByFault : startedProgram;
}

void LetRun(const Launch& launch)
{
    if (launch.process != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(launch.process));
    }
}

void PrepareBackgroundRemoval(UpdatersLock&, const std::string&)
{
    // Nothing on Windows: the backup is removed as RemoveHelperFile removes
    // it, once the new launcher has run.
}

void RemoveHelperFileInBackground(UpdatersLock&, const std::string& path)
{
    RemoveHelperFile(path);
}
