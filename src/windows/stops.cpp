// Stop requests: the console's events recorded, held through the critical
// window, and acted on at the next safe point.
//
// Uses: held.cpp (what the run holds, let go of as it ends) and Win32. The
// stop path calls nothing above this file: it waits with plain Sleep.

#include "layer.h"

namespace {

// The console control handler runs on a thread of its own, so what it
// touches lives here, where both threads reach it, and nothing else does.
// Set by the handler; the main thread acts on it.
HANDLE stopRequested = nullptr;

// The thread that ran the handler for Ctrl+C or Ctrl+Break, which the main
// thread lets end before it ends the process.
PVOID handlerThread = nullptr;

// Set while stop requests are held. Read by the main thread alone, but kept
// beside the request it holds back.
bool holding = false;

// The helper file a stop removes: the staging file from when it exists until
// it is renamed or removed (a text of the run's, which lives until its end).
const std::string* removedOnStop = nullptr;

// How long a stop waits for another program that holds the helper file,
// after which the file is left for the next run to clear.
const ULONGLONG stopPatienceMilliseconds = 2000;

// Runs on a thread of its own when Ctrl+C or Ctrl+Break is pressed or the
// console closes. It only records the request: the main thread acts on it at
// its next safe point, so that no line is written twice and no file is left
// half changed. Returning would end the process at once after a close, so the
// handler waits there for the main thread to end it (Windows allows about
// five seconds; the window is a few renames long, unless another program
// holds a file for a moment).
BOOL WINAPI RecordStop(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        SetEvent(stopRequested);
        Sleep(INFINITE);
    }
    // The main thread lets this thread end before it ends the process: Wine
    // kills a process outright that ends while such a thread is starting.
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, SYNCHRONIZE,
                    FALSE, 0);
    if (HANDLE earlier = InterlockedExchangePointer(&handlerThread, self)) {
        CloseHandle(earlier);
    }
    SetEvent(stopRequested);
    return TRUE;
}

// Pauses before the next try, as Retried does, unless until (on
// GetTickCount64's clock) has passed: then false.
bool PausedBeforeRetry(ULONGLONG until, unsigned& pause)
{
    if (GetTickCount64() >= until) {
        return false;
    }
    Sleep(pause);
    pause = pause < 50 ? pause * 2 : 100;
    return true;
}

// Removes the registered helper file as RemoveHelperFile would: a program
// that holds it is waited out, and a name that outlasts the removal while a
// program reads the file is waited for, two seconds in all.
void RemoveRegisteredHelper()
{
    if (removedOnStop == nullptr) {
        return;
    }
    const std::string& path = *removedOnStop;
    const ULONGLONG until = GetTickCount64() + stopPatienceMilliseconds;
    HeldRole role = heldStagedCopy;
    const bool isHeld = HeldAt(path, role);
    HANDLE file = isHeld ? Held().file[role].handle : INVALID_HANDLE_VALUE;
    unsigned pause = 10;
    while (!isHeld && (file = OpenToRemove(path)) == INVALID_HANDLE_VALUE && HeldForAMoment(GetLastError()) &&
           PausedBeforeRetry(until, pause)) {
    }
    // The backup keeps the old launcher's attributes: read-only must not
    // keep it from going, nor another name of the file from staying
    // read-only.
    pause = 10;
    while (file != INVALID_HANDLE_VALUE && !MarkForRemovalKeepingAttributes(file) &&
           HeldForAMoment(GetLastError()) && PausedBeforeRetry(until, pause)) {
    }
    if (isHeld) {
        Release(role);
    } else if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    pause = 10;
    while (!(GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES && IsMissing(GetLastError())) &&
           PausedBeforeRetry(until, pause)) {
    }
    removedOnStop = nullptr;
}

} // namespace

void SurviveFailedWrites()
{
    // A drive that is not ready fails the call instead of waiting on a
    // dialog box nobody may be there to answer. A program that crashes ends
    // at once instead of waiting on the system's crash report: the started
    // launcher inherits this, so that a new launcher that faults at its start
    // is seen to end within the watch.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
    stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(RecordStop, TRUE);
}

void StopIfRequested()
{
    if (holding || !StopRequested()) {
        return;
    }
    // What is left to do waits out a file held by another program, briefly,
    // but acts on no stop request again. The updaters' lock goes with the
    // process: the next updater takes an abandoned lock as its own.
    holding = true;
    RemoveRegisteredHelper();
    LetGoOfAll();
    if (HANDLE handler = InterlockedExchangePointer(&handlerThread, nullptr)) {
        WaitForSingleObject(handler, 1000);
        CloseHandle(handler);
    }
    // The status Windows gives a program that Ctrl+C ended.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void RemoveOnStop(const std::string& helperFile)
{
    removedOnStop = &helperFile;
}

void ForgetOnStop(const std::string& path)
{
    if (removedOnStop != nullptr && *removedOnStop == path) {
        removedOnStop = nullptr;
    }
}

void HoldStopRequests()
{
    // The console control handler only records a stop; until released, the
    // main thread does not look at it.
    holding = true;
}

void ReleaseStopRequests()
{
    holding = false;
}

bool StopRequested()
{
    return WaitForSingleObject(stopRequested, 0) == WAIT_OBJECT_0;
}

bool StopsHeld()
{
    return holding;
}

HANDLE StopEvent()
{
    return stopRequested;
}
