// The launcher's start and the watch on it, and the backup's removal by a
// process of its own that holds the updaters' lock until the file is gone.
//
// Uses: At (places); StopIfRequested, ForgetOnStop, DefaultSignalsInChild
// (stops); MicrosecondsNow (clock) and PauseMilliseconds (src/shared/);
// CallOffBackgroundRemoval (lock); RemoveHelperFile (files).

#include "layer.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The word that tells the remover to remove; anything else, or none, leaves
// the file.
const char removeWord = 'r';

// How a program ends that never ran: killed at once by a fault's signal,
// or the status with which the loader, env or a shell gives up on it.
bool EndedAsUnrunnable(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127;
    }
    if (!WIFSIGNALED(status)) {
        return false;
    }
    switch (WTERMSIG(status)) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGABRT:
    case SIGSYS:
    case SIGTRAP:
        return true;
    default:
        return false;
    }
}

// In the child that vfork made: /dev/null (nothing, if open) for its
// standard streams, so that whoever reads this program's output sees it end
// when this program ends, and none of the other descriptors this process
// was handed by whoever started it. Its own session, so that closing this
// console does not take it down. Signals go back to their defaults. Then
// the program, or the shell for a script that names no interpreter, as a
// shell or execvp would run it; the shell's own failure is not this file's.
// Only system calls: the child borrows this process's memory.
[[noreturn]] void RunInChild(const std::string& path, int nothing, volatile int& error)
{
    char* const file = const_cast<char*>(path.c_str());
    char* const arguments[] = {file, nullptr};
    char* const byShell[] = {const_cast<char*>("sh"), const_cast<char*>("--"), file, nullptr};
    if (nothing >= 0) {
        for (int stream = 0; stream <= 2; ++stream) {
            dup2(nothing, stream);
        }
    }
    syscall(SYS_close_range, 3u, ~0u, 0u);
    setsid();
    DefaultSignalsInChild();
    execve(path.c_str(), arguments, environ);
    if (errno == ENOEXEC) {
        execve("/bin/sh", byShell, environ);
        errno = ENOEXEC;
    }
    error = errno;
    _exit(127);
}

} // namespace

Launch StartProgram(const std::string& path)
{
    // Run directly, never through a shell that would read the path: no
    // character of it means anything but itself. The child borrows this
    // process's memory, which stands still until the launcher runs in its
    // place: starting it copies nothing, and the child leaves there the
    // reason the system refused, if it did. (posix_spawn, which looks at
    // every signal's handler twice and maps a stack of its own, took half as
    // long again.)
    const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    volatile int error = 0;
    const pid_t launcher = vfork();
    if (launcher == 0) {
        RunInChild(path, nothing, error);
    }
    if (launcher < 0) {
        error = errno;
    }
    if (nothing >= 0) {
        close(nothing);
    }
    // What the kernel says of a file it will not run: no format it knows, a
    // broken library, an interpreter or loader that is missing.
    const int refusal = error;
    const bool notAProgram = refusal == ENOEXEC || refusal == ELIBBAD || refusal == ENOENT ||
                             refusal == ENOTDIR || refusal == ELOOP;
    if (refusal != 0) {
        // The child that failed is reaped.
        if (launcher > 0) {
            waitpid(launcher, nullptr, 0);
        }
        return {notAProgram ? notTakenAsProgram : startFailed, 0};
    }
    return {startedProgram, launcher};
}

StartResult WatchLaunch(const Launch& launch, std::int64_t deadline)
{
    const pid_t launcher = static_cast<pid_t>(launch.process);
    if (launch.result != startedProgram || launcher <= 0) {
        return launch.result;
    }
    // The launcher is this process's child: its end is waited for without
    // spinning, on a descriptor that tells of it where the kernel has one
    // (from Linux 5.3), else in short pauses. A stop request cuts the wait
    // short and acts. Should it still run at the deadline, it goes on as a
    // child of the system once this process ends, and nothing of it is
    // reaped here.
    const int ends = static_cast<int>(syscall(SYS_pidfd_open, launcher, 0));
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(launcher, &status, WNOHANG)) == 0) {
        StopIfRequested();
        const std::int64_t left = deadline - MicrosecondsNow();
        if (left <= 0) {
            break;
        }
        if (ends >= 0) {
            pollfd end{ends, POLLIN, 0};
            poll(&end, 1, static_cast<int>((left + 999) / 1000));
        } else {
            PauseMilliseconds(10);
        }
    }
    if (ends >= 0) {
        close(ends);
    }
    return ended == launcher && EndedAsUnrunnable(status) ? endedByFault : startedProgram;
}

void LetRun(const Launch&)
{
    // The child goes on as the system's once this process ends; until then
    // an end leaves only its status, which nobody needs.
}

void PrepareBackgroundRemoval(UpdatersLock& lock, const std::string& helperFile)
{
    // Without the lock, a later run could meet the file still there.
    int word[2];
    if (lock.result != locked || lock.handle < 0 || pipe2(word, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t remover = fork();
    if (remover != 0) {
        close(word[0]);
        if (remover > 0) {
            lock.removal = word[1];
        } else {
            close(word[1]);
        }
        return;
    }
    // The remover keeps only the locked folder's descriptor, and with it the
    // lock until the file is gone, and the word's end on its standard input:
    // whoever reads this program's output, on whatever number, sees it end
    // with this program. Its lower priority yields the processor to the
    // launcher's start and this program's end, though not so low that a busy
    // machine starves it: the next updater waits for it. Stop requests are
    // this program's to act on.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    setpriority(PRIO_PROCESS, 0, 10);
    dup2(word[0], 0);
    close(word[0]);
    close(word[1]);
    close(1);
    close(2);
    const unsigned folder = static_cast<unsigned>(lock.handle);
    syscall(SYS_close_range, 3u, folder - 1, 0u);
    syscall(SYS_close_range, folder + 1, ~0u, 0u);
    // No word at all, when this program ends without one, leaves the file.
    char remove = 0;
    while (read(0, &remove, 1) < 0 && errno == EINTR) {
    }
    if (remove == removeWord) {
        const Place place = At(helperFile);
        unlinkat(place.folder, place.name, 0);
    }
    _exit(0);
}

void RemoveHelperFileInBackground(UpdatersLock& lock, const std::string& path)
{
    const bool told = lock.result == locked && lock.removal >= 0 &&
                      write(static_cast<int>(lock.removal), &removeWord, 1) == 1;
    CallOffBackgroundRemoval(lock);
    if (told) {
        ForgetOnStop(path);
    } else {
        RemoveHelperFile(path);
    }
}
