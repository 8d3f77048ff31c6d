// Stop requests: the signals that would end the run are recorded, held
// through the critical window, and acted on at safe points, where the
// run's helper files are removed before the process ends by the signal.
//
// Uses: At (places), to remove the helper files without calling up.

#include "layer.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The first stop request that arrived, or 0. Static, as only a flag of
// this kind may be written by a signal handler.
volatile std::sig_atomic_t stopSignal = 0;

// Set while stop requests are held: one recorded just before is not acted
// on until they are released. Static, beside the flag it qualifies; only
// the run's own thread reads and writes it.
bool holding = false;

// Signal masks as the system call takes them, bit n-1 standing for signal n:
// the C library's calls keep the two signals it reserves (32 and 33) out of
// every mask they are given.
using Mask = std::uint64_t;
static_assert(_NSIG <= 65, "the system's signal mask is wider than 64 bits");

// The mask before HoldStopRequests, which ReleaseStopRequests restores.
// Static, as holding is: the two calls bracket a window of the run.
Mask maskBeforeHold = 0;

// The helper files a stop removes: the staging file while it exists; once
// the new launcher is in place, the download moved aside under the staging
// file's name. Registered from above (RemoveOnStop, ForgetOnStop), read
// here on the stop path. Pointers, so that setting them takes no memory.
const std::string* helpersToRemove[2] = {nullptr, nullptr};

// A stop request is only recorded: the run acts on it where that is safe.
// Without SA_RESTART, a write to a stalled console or a wait is cut short so
// that it acts promptly.
void RecordStop(int signalNumber)
{
    if (stopSignal == 0) {
        stopSignal = signalNumber;
    }
}

// The signals that the system also sends for a fault of the process's own
// (SIGSEGV for a bad address, SIGABRT from abort) are stop requests too when
// another program sends them. Their handler is reset as it is entered: a real
// fault, met again as the handler returns, then ends the process as it
// always would. The file-size limit's signal comes from the process itself,
// as if it had sent it: the write that met the limit fails, and that is
// enough.
void RecordStopFromOutside(int signalNumber, siginfo_t* info, void*)
{
    if (signalNumber != SIGXFSZ || info->si_code != SI_USER || info->si_pid != getpid()) {
        RecordStop(signalNumber);
    }
}

// The signals whose default is to end the process and that can be caught.
// The stop signals (SIGTSTP, SIGTTIN, SIGTTOU) keep their defaults, held only
// inside the window, and so do the two that the C library reserves, which no
// handler of the program's own can be given.
void RecordStops()
{
    const int stops[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
                         SIGPROF, SIGVTALRM, SIGXCPU, SIGIO,   SIGPWR,  SIGSTKFLT};
    const int alsoSentBySystem[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGXFSZ};
    struct sigaction action {};
    action.sa_handler = RecordStop;
    sigfillset(&action.sa_mask);
    struct sigaction fromOutside = action;
    fromOutside.sa_sigaction = RecordStopFromOutside;
    // What was ignored when the program started (nohup, a background job)
    // stays ignored. Each handler is set, and the one before it looked at, in
    // one call; meanwhile every signal waits, and one that was ignored is
    // dropped as it is ignored again, as it would have been.
    sigset_t all;
    sigset_t maskBefore;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &maskBefore);
    const auto record = [](int signalNumber, const struct sigaction& how) {
        struct sigaction before {};
        if (sigaction(signalNumber, &how, &before) == 0 && before.sa_handler == SIG_IGN) {
            sigaction(signalNumber, &before, nullptr);
        }
    };
    for (const int signalNumber : stops) {
        record(signalNumber, action);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        record(signalNumber, action);
    }
    for (const int signalNumber : alsoSentBySystem) {
        fromOutside.sa_flags = SA_SIGINFO | (signalNumber == SIGXFSZ ? 0 : SA_RESETHAND);
        record(signalNumber, fromOutside);
    }
    sigprocmask(SIG_SETMASK, &maskBefore, nullptr);
}

} // namespace

void SurviveFailedWrites()
{
    // A closed standard stream would hand its number to the next file opened,
    // and the log lines would be written into it.
    for (int stream = 0; stream <= 2; ++stream) {
        if (fcntl(stream, F_GETFD) < 0 && errno == EBADF) {
            open("/dev/null", stream == 0 ? O_RDONLY : O_WRONLY);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // The started launcher's end must be seen to be judged, even where
    // whoever started this program had children reaped unseen.
    std::signal(SIGCHLD, SIG_DFL);
    RecordStops();
}

bool Interrupted()
{
    return stopSignal != 0;
}

bool StopDue()
{
    return stopSignal != 0 && !holding;
}

void StopIfRequested()
{
    const int signalNumber = stopSignal;
    if (signalNumber == 0 || holding) {
        return;
    }
    for (const std::string* helper : helpersToRemove) {
        if (helper != nullptr) {
            const Place place = At(*helper);
            unlinkat(place.folder, place.name, 0);
        }
    }
    // Ended by the signal itself, so that whoever started the run sees why;
    // without a core file left in the launcher's folder.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::signal(signalNumber, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    // Not raise, which refuses the signals the C library reserves.
    kill(getpid(), signalNumber);
    _exit(128 + signalNumber);
}

void ForgetOnStop(const std::string& path)
{
    for (const std::string*& helper : helpersToRemove) {
        if (helper != nullptr && *helper == path) {
            helper = nullptr;
        }
    }
}

void RemoveOnStop(const std::string& helperFile)
{
    ForgetOnStop(helperFile);
    for (const std::string*& helper : helpersToRemove) {
        if (helper == nullptr) {
            helper = &helperFile;
            return;
        }
    }
}

// Every signal that can be held is, those of faults too: a real fault cannot
// wait, and the system ends the process for it all the same.
void HoldStopRequests()
{
    holding = true;
    const Mask all = ~Mask{0};
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &maskBeforeHold, sizeof(Mask));
}

void ReleaseStopRequests()
{
    holding = false;
    // The two signals that the C library reserves can have no handler of the
    // program's own: one that came meanwhile is taken here, as a stop request.
    const Mask reserved = Mask{3} << 31;
    const timespec noWait{};
    for (long taken; (taken = syscall(SYS_rt_sigtimedwait, &reserved, nullptr, &noWait, sizeof(Mask))) > 0;) {
        RecordStop(static_cast<int>(taken));
    }
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &maskBeforeHold, nullptr, sizeof(Mask));
}

void DefaultSignalsInChild()
{
    // This process ignores some signals that the launcher should not, and
    // holds all of them while it starts one.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        sigaction(signalNumber, &byDefault, nullptr);
    }
    const Mask none = 0;
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof(Mask));
}
