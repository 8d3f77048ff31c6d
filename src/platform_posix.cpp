// The platform layer on Linux (and, without its fast copies, other POSIX
// systems).

#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#endif

extern char** environ;

namespace {

void BlockInterruptions(int how)
{
    sigset_t interruptions;
    sigemptyset(&interruptions);
    sigaddset(&interruptions, SIGHUP);
    sigaddset(&interruptions, SIGINT);
    sigaddset(&interruptions, SIGTERM);
    sigprocmask(how, &interruptions, nullptr);
}

std::string FolderOf(const std::string& path)
{
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
#if defined(__linux__)
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // The file system cannot refuse to replace: look first. The updaters' lock
    // keeps other runs from slipping in between.
    struct stat info;
    if (lstat(to.c_str(), &info) == 0 || errno != ENOENT) {
        return false;
    }
    return rename(from.c_str(), to.c_str()) == 0;
}

#if defined(__linux__)

enum KernelCopyResult { kernelCopied, kernelFailed, kernelCannotCopy };

// Lets the kernel move the bytes, with copy_file_range (which also shares
// extents where the file system can) or sendfile. kernelCannotCopy means
// nothing was copied and the next way should be tried: the call is missing,
// refuses these files (another file system, say) or found nothing to copy,
// as it does for files that do not report their size.
KernelCopyResult CopyInKernel(int source, int target, bool withSendfile)
{
    const size_t chunk = 1 << 30;
    bool copiedAny = false;
    for (;;) {
        const ssize_t copied = withSendfile
                                   ? sendfile(target, source, nullptr, chunk)
                                   : copy_file_range(source, nullptr, target, nullptr, chunk, 0);
        if (copied > 0) {
            copiedAny = true;
        } else if (copied == 0) {
            return copiedAny ? kernelCopied : kernelCannotCopy;
        } else if (errno != EINTR) {
            const bool refused = errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                                 errno == EOPNOTSUPP;
            return !copiedAny && refused ? kernelCannotCopy : kernelFailed;
        }
    }
}

#endif

bool CopyThroughBuffer(int source, int target)
{
    static char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(source, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(target, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR) {
                return false;
            }
            done += put > 0 ? put : 0;
        }
    }
}

bool CopyBytes(int source, int target)
{
#if defined(__linux__)
    // A clone shares the data on file systems that can (Btrfs, XFS): no byte moves.
    if (ioctl(target, FICLONE, source) == 0) {
        return true;
    }
    for (const bool withSendfile : {false, true}) {
        const KernelCopyResult result = CopyInKernel(source, target, withSendfile);
        if (result != kernelCannotCopy) {
            return result == kernelCopied;
        }
    }
#endif
    return CopyThroughBuffer(source, target);
}

// Writes the copy to a new stagingFile and flushes it to the disk, so that a
// power cut after the rename cannot leave an empty launcher under its name.
bool WriteStagingFile(int source, const std::string& stagingFile, mode_t permissions)
{
    const int target = open(stagingFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (target < 0) {
        return false;
    }
    bool written = CopyBytes(source, target) && fchmod(target, permissions) == 0 &&
                   fsync(target) == 0;
    if (close(target) != 0) {
        written = false;
    }
    if (!written) {
        RemoveHelperFile(stagingFile);
    }
    return written;
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
    std::signal(SIGXFSZ, SIG_IGN);
}

void PauseMilliseconds(unsigned milliseconds)
{
#if defined(__linux__)
    // Without the default 50 microseconds of timer slack, a pause ends when
    // it should.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
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

bool WaitForOtherUpdaters(const std::string& oldFile)
{
    // The lock is on the folder, which is there before, during and after the
    // update, and the system drops it when the process ends, however it ends.
    // The descriptor stays open for the rest of the run on purpose.
    const int folder = open(FolderOf(oldFile).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return false;
    }
    int locked;
    while ((locked = flock(folder, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        close(folder);
        return false;
    }
    return true;
}

void DeferInterruptions()
{
    BlockInterruptions(SIG_BLOCK);
}

void AllowInterruptions()
{
    BlockInterruptions(SIG_UNBLOCK);
}

AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile)
{
    struct stat info;
    if (lstat(oldFile.c_str(), &info) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? nothingThere : cannotMove;
    }
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        return cannotMove;
    }
    return RenameWithoutReplacing(oldFile, backupFile) ? movedAside : cannotMove;
}

bool PutBack(const std::string& backupFile, const std::string& oldFile)
{
    return RenameWithoutReplacing(backupFile, oldFile);
}

bool CopyIntoPlace(const std::string& newFile, const std::string& stagingFile,
                   const std::string& oldFile, const std::string& permissionsOf)
{
    // Non-blocking, so that opening a FIFO cannot hang the run: it is refused
    // below with every other file that is not a regular one.
    const int source = open(newFile.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (source < 0) {
        return false;
    }
    bool placed = false;
    struct stat sourceInfo;
    const bool regular = fstat(source, &sourceInfo) == 0 && S_ISREG(sourceInfo.st_mode);
    // A regular file is read blocking again: non-blocking, the kernel's copy
    // runs several times slower.
    if (regular && fcntl(source, F_SETFL, fcntl(source, F_GETFL) & ~O_NONBLOCK) == 0) {
        // A download usually lacks the execute bit the old launcher had. The
        // set-user and set-group bits stay behind: they must not pass to
        // contents that were never installed with them.
        struct stat oldInfo;
        const mode_t permissions =
            (!permissionsOf.empty() && stat(permissionsOf.c_str(), &oldInfo) == 0
                 ? oldInfo.st_mode
                 : sourceInfo.st_mode) &
            0777;
        if (WriteStagingFile(source, stagingFile, permissions)) {
            placed = RenameWithoutReplacing(stagingFile, oldFile);
            if (!placed) {
                RemoveHelperFile(stagingFile);
            }
        }
    }
    close(source);
    return placed;
}

void RemoveFile(const std::string& path)
{
    unlink(path.c_str());
}

void RemoveHelperFile(const std::string& path)
{
    unlink(path.c_str());
}

bool PathTaken(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool SameFile(const std::string& path, const std::string& otherPath)
{
    struct stat info;
    struct stat otherInfo;
    return stat(path.c_str(), &info) == 0 && stat(otherPath.c_str(), &otherInfo) == 0 &&
           info.st_dev == otherInfo.st_dev && info.st_ino == otherInfo.st_ino;
}

void StartProgram(const std::string& path)
{
    // Its own session, so that closing this console does not take it down,
    // and /dev/null for its standard streams, so that whoever reads this
    // program's output sees it end when this program ends. Signals go back to
    // their defaults: this process ignores some that the launcher should not.
    posix_spawn_file_actions_t streams;
    posix_spawn_file_actions_init(&streams);
    posix_spawn_file_actions_addopen(&streams, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&streams, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&streams, 1, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    // Nor any other descriptor this process was handed by whoever started it.
    posix_spawn_file_actions_addclosefrom_np(&streams, 3);
#endif

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t allSignals;
    sigfillset(&allSignals);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    // Run directly, never through a shell: no character of the path means
    // anything but itself.
    char* const arguments[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t launcher;
    posix_spawn(&launcher, path.c_str(), &streams, &attributes, arguments, environ);

    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&streams);
}
