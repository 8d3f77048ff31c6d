// The platform layer on Linux (and, without its fast copies, other POSIX
// systems).

#include "platform.h"

#include "program_image.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#endif

extern char** environ;

namespace {

// The first stop request that arrived, or 0.
volatile std::sig_atomic_t stopSignal = 0;

// Set while stop requests are held: one recorded just before is not acted
// on until they are released.
bool holding = false;

// The helper files a stop removes: the staging file while it exists; once
// the new launcher is in place, the backup and the download moved aside
// under the staging file's name. Pointers, so that setting them takes no
// memory.
const std::string* helpersToRemove[2] = {nullptr, nullptr};

// The pipe on which the process that PrepareBackgroundRemoval started waits
// for its word, or -1.
int removerWord = -1;
const char removeWord = 'r';

// Until when what other programs hold is waited for.
std::int64_t deadline = 0;

// The lock on the launcher's folder, or -1, and how paths in that folder
// begin ("" for a launcher named without a folder).
int lockedFolder = -1;
std::string lockedFolderPrefix;

#if defined(__linux__)
// Signal masks as the system call takes them, bit n-1 standing for signal n:
// the C library's calls keep the two signals it reserves (32 and 33) out of
// every mask they are given.
using Mask = std::uint64_t;
static_assert(_NSIG <= 65, "the system's signal mask is wider than 64 bits");
Mask maskBeforeHold = 0;
#else
sigset_t maskBeforeHold;
#endif

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
    const int stops[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1, SIGUSR2,
                         SIGALRM, SIGPROF, SIGVTALRM, SIGXCPU, SIGIO,
#if defined(__linux__)
                         SIGPWR,  SIGSTKFLT,
#endif
    };
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
#if defined(SIGRTMIN)
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        record(signalNumber, action);
    }
#endif
    for (const int signalNumber : alsoSentBySystem) {
        fromOutside.sa_flags = SA_SIGINFO | (signalNumber == SIGXFSZ ? 0 : SA_RESETHAND);
        record(signalNumber, fromOutside);
    }
    sigprocmask(SIG_SETMASK, &maskBefore, nullptr);
}

std::string FolderOf(const std::string& path)
{
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The remover, told nothing, leaves the file and lets go of the lock.
void CallOffBackgroundRemoval()
{
    if (removerWord >= 0) {
        close(removerWord);
        removerWord = -1;
    }
}

bool Interrupted()
{
    return stopSignal != 0;
}

// A helper file that has gone, or become the launcher, is no longer removed
// on a stop.
void ForgetHelper(const std::string& path)
{
    for (const std::string*& helper : helpersToRemove) {
        if (helper != nullptr && *helper == path) {
            helper = nullptr;
        }
    }
}

// A path as a folder's descriptor and a name in it. Paths in the launcher's
// folder are taken relative to the descriptor the lock holds, so that only
// the name counts against the system's limits, not the whole path: a
// launcher whose path is near PATH_MAX still has room for its helpers. It
// allocates nothing.
struct Place {
    int folder;
    const char* name;
};

Place At(const std::string& path)
{
    const std::size_t prefix = lockedFolderPrefix.size();
    if (lockedFolder >= 0 && path.size() > prefix && path.compare(0, prefix, lockedFolderPrefix) == 0 &&
        path.find('/', prefix) == std::string::npos) {
        return {lockedFolder, path.c_str() + prefix};
    }
    return {AT_FDCWD, path.c_str()};
}

bool Status(const std::string& path, struct stat& info, bool followLink)
{
    const Place place = At(path);
    return fstatat(place.folder, place.name, &info, followLink ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

#if defined(__linux__)

enum KernelCopyResult { kernelCopied, kernelFailed, kernelCannotCopy };

// Lets the kernel move the bytes, with copy_file_range (which also shares
// extents where the file system can) or sendfile, in pieces small enough
// that a stop request is seen promptly. kernelCannotCopy means nothing was
// copied and the next way should be tried: the call is missing, refuses
// these files (another file system, say) or found nothing to copy, as it
// does for files that do not report their size.
KernelCopyResult CopyInKernel(int source, int target, bool withSendfile)
{
    const size_t piece = 16 << 20;
    bool copiedAny = false;
    while (!Interrupted()) {
        const ssize_t copied = withSendfile
                                   ? sendfile(target, source, nullptr, piece)
                                   : copy_file_range(source, nullptr, target, nullptr, piece, 0);
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
    return kernelFailed;
}

#endif

bool CopyThroughBuffer(int source, int target)
{
    static char buffer[64 * 1024];
    while (!Interrupted()) {
        const ssize_t got = read(source, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0 && errno != EINTR) {
            return false;
        }
        for (ssize_t done = 0; done < got && !Interrupted();) {
            const ssize_t put = write(target, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR) {
                return false;
            }
            done += put > 0 ? put : 0;
        }
    }
    return false;
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

// Opens newFile for reading if it is a regular file. A FIFO must not hang
// the run, so the first try does not block; a file lease (an indexer, a file
// server) is then waited out as any reader would wait for it.
int OpenRegularFile(const std::string& newFile)
{
    int source = open(newFile.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (source < 0 && errno == EWOULDBLOCK) {
        source = open(newFile.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    }
    struct stat info;
    if (source >= 0 && (fstat(source, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(source);
        return -1;
    }
    // Non-blocking, the kernel's copy runs several times slower.
    if (source >= 0) {
        fcntl(source, F_SETFL, fcntl(source, F_GETFL) & ~O_NONBLOCK);
    }
    return source;
}

// Append-only or immutable: entries can be added but not renamed or removed.
// statx tells without opening the file, which a folder this user may
// change but not read would refuse.
bool Unchangeable(const std::string& path)
{
#if defined(__linux__) && defined(STATX_ATTR_APPEND)
    struct statx info;
    const Place place = At(path);
    return statx(place.folder, place.name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &info) == 0 &&
           (info.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#else
    (void)path;
    return false;
#endif
}

// A file mounted over the name (a bind mount) is busy: neither unlink nor
// rename takes it away. statx tells even a mount from the folder's own file
// system.
bool MountedOver(const std::string& path, const struct stat& info, const struct stat& folderInfo)
{
#if defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx mount;
    const Place place = At(path);
    if (statx(place.folder, place.name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &mount) == 0 &&
        (mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
#endif
    return info.st_dev != folderInfo.st_dev;
}

// Whether unlink and rename would take the file at path away, by the rules
// they follow: write and search rights on its folder, on a file system
// mounted for writing; no append-only or immutable flag on the file or its
// folder; no mount on it. In a sticky folder, only the owner of the file or
// of the folder may, or a process with CAP_FOWNER over the file's owner and
// group; in a user namespace (a rootless container), only over ids that the
// namespace maps, and stat shows all others as the overflow id (65534), which
// may also be someone's own. Only the kernel can tell then, and its rules for
// rename are unlink's: given a probe name (a helper name beside the file),
// the file is renamed to it and straight back. Without one, the answer is
// yes: the swap, refused, changes nothing either.
bool MayRemove(const std::string& path, const std::string* probeName)
{
    const std::string folder = FolderOf(path);
    struct stat folderInfo;
    struct stat info;
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ||
        stat(folder.c_str(), &folderInfo) != 0 || !Status(path, info, false) ||
        MountedOver(path, info, folderInfo) || Unchangeable(folder) || Unchangeable(path)) {
        return false;
    }
    const uid_t user = geteuid();
    const uid_t overflowId = 65534;
    const bool owner = user != overflowId && (user == info.st_uid || user == folderInfo.st_uid);
    if ((folderInfo.st_mode & S_ISVTX) == 0 || owner || probeName == nullptr) {
        return true;
    }
    // Nothing but SIGKILL or a power cut comes between the two renames; then
    // the next run puts the file back.
    HoldStopRequests();
    const bool renamed = RenameWithoutReplacing(path, *probeName) && RenameWithoutReplacing(*probeName, path);
    ReleaseStopRequests();
    return renamed;
}

// Up to length bytes of an open file at offset: fewer at its end.
std::string ReadAt(int file, std::uint64_t offset, std::size_t length)
{
    std::string bytes(length, '\0');
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t read = pread(file, &bytes[got], bytes.size() - got, static_cast<off_t>(offset + got));
        if (read > 0) {
            got += static_cast<std::size_t>(read);
        } else if (read == 0 || errno != EINTR) {
            break;
        }
    }
    bytes.resize(got);
    return bytes;
}

#if defined(__ELF__)
// The ELF header of this program's own image, as the linker maps it.
extern "C" const char __ehdr_start[] __attribute__((weak, visibility("hidden")));
#endif

// What the open regular file is as a program for this system, whose
// programs have the machine of this program's own image or of oldHeader
// (the old launcher's ELF header, if it has one). Without the header of its
// own image to compare with, this program does not judge.
ProgramKind KindOf(int file, std::uint64_t size, const std::string& oldHeader)
{
#if defined(__ELF__)
    if (__ehdr_start != nullptr) {
        const ReadBytes read = [file](std::uint64_t offset, std::size_t length) { return ReadAt(file, offset, length); };
        return ElfProgramKind(read, size, {std::string(__ehdr_start, 20), oldHeader});
    }
#endif
    (void)file;
    (void)size;
    (void)oldHeader;
    return size == 0 ? brokenProgram : scriptProgram;
}

// The old launcher as a program, and in header its first 20 bytes where it
// is an ELF file: a launcher of another machine that this system runs (an
// i386 one on x86-64) may be replaced by a download of its own machine. One
// that cannot be read is a program image: a script must be read to be run.
ProgramKind OldLauncherKind(const std::string& oldFile, std::string& header)
{
    const Place place = At(oldFile);
    const int file = openat(place.folder, place.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
        return wholeProgram;
    }
    struct stat info;
    ProgramKind kind = wholeProgram;
    if (fstat(file, &info) == 0 && S_ISREG(info.st_mode)) {
        header = ReadAt(file, 0, 20);
        if (header.compare(0, 4, "\x7f" "ELF") != 0) {
            header.clear();
        }
        kind = KindOf(file, static_cast<std::uint64_t>(info.st_size), header);
    }
    close(file);
    return kind;
}

// Whether the staged copy, open at staged, may replace the old launcher.
bool MayInstall(int staged, bool hasOld, const std::string& oldFile)
{
    struct stat info;
    std::string oldHeader;
    const ProgramKind oldKind = hasOld ? OldLauncherKind(oldFile, oldHeader) : notAProgram;
    return fstat(staged, &info) == 0 &&
           MayReplace(KindOf(staged, static_cast<std::uint64_t>(info.st_size), oldHeader), hasOld, oldKind);
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

void StopIfRequested()
{
    const int signalNumber = stopSignal;
    if (signalNumber == 0 || holding) {
        return;
    }
    for (const std::string* helper : helpersToRemove) {
        if (helper != nullptr) {
            RemoveHelperFile(*helper);
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

void RemoveOnStop(const std::string& helperFile)
{
    ForgetHelper(helperFile);
    for (const std::string*& helper : helpersToRemove) {
        if (helper == nullptr) {
            helper = &helperFile;
            return;
        }
    }
}

std::int64_t MicrosecondsNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void PauseUntil(std::int64_t deadline)
{
#if defined(__linux__)
    // Without the default 50 microseconds of timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    // A sleeping process wakes late, a tenth of a millisecond and more on a
    // virtual machine, and the run's three pauses would add that up on the
    // user's time: it wakes a little early and watches the clock for the
    // rest.
    const std::int64_t wakeUp = deadline - 300;
    const timespec end{static_cast<time_t>(wakeUp / 1000000), static_cast<long>(wakeUp % 1000000) * 1000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
        StopIfRequested();
    }
    while (MicrosecondsNow() < deadline && (holding || !Interrupted())) {
    }
    StopIfRequested();
}

void PauseMilliseconds(unsigned milliseconds)
{
    PauseUntil(MicrosecondsNow() + static_cast<std::int64_t>(milliseconds) * 1000);
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

bool IsSeparator(char c)
{
    return c == '/';
}

std::size_t LongestNameBeside(const std::string&)
{
    // Names beside the launcher are taken relative to its folder.
    return NAME_MAX;
}

void GiveUpAt(std::int64_t giveUpAt)
{
    deadline = giveUpAt;
}

LockResult WaitForOtherUpdaters(const std::string& oldFile)
{
    // The lock is on the folder, which is there before, during and after the
    // update, and the system drops it when the process ends, however it ends.
    const std::string folderPath = FolderOf(oldFile);
    const int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        struct stat info;
        return errno == EACCES && stat(folderPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
                   ? cannotLock
                   : noFolder;
    }
    // Another updater holds it for a second or two. Whatever holds it longer
    // is no updater of ours, and must not hang the run.
    while (flock(folder, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || MicrosecondsNow() >= deadline) {
            close(folder);
            return errno == EWOULDBLOCK ? lockTimedOut : cannotLock;
        }
        PauseMilliseconds(10);
    }
    lockedFolder = folder;
    lockedFolderPrefix = oldFile.substr(0, oldFile.find_last_of('/') + 1);
    return locked;
}

bool WaitForLauncherToClose(const std::string&)
{
    return true;
}

void LetOthersIn()
{
    CallOffBackgroundRemoval();
    if (lockedFolder >= 0) {
        close(lockedFolder);
        lockedFolder = -1;
    }
}

bool FolderAllowsUpdate(const std::string& oldFile)
{
    // A launcher that could be replaced but not started by its path is left
    // as it is.
    if (oldFile.size() >= PATH_MAX || Unchangeable(FolderOf(oldFile))) {
        return false;
    }
    struct stat info;
    return !Status(oldFile, info, false) ||
           ((S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) && MayRemove(oldFile, nullptr));
}

bool StageCopy(const std::string& newFile, const std::string& stagingFile,
               const std::string& permissionsOf, const std::string& probeFile)
{
    const int source = MayRemove(newFile, &probeFile) ? OpenRegularFile(newFile) : -1;
    if (source < 0) {
        return false;
    }
    struct stat sourceInfo;
    struct stat oldInfo;
    const bool hasOld = Status(permissionsOf, oldInfo, true);
    fstat(source, &sourceInfo);
    // Only a new file of the run's own: never one that is there already, nor
    // whatever a link planted at the name leads to.
    const Place staging = At(stagingFile);
    const int target = openat(staging.folder, staging.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (target < 0) {
        close(source);
        return false;
    }
    RemoveOnStop(stagingFile);
    // A download usually lacks the execute bit the old launcher had; without
    // an old launcher, whoever may read the download may run it. The set-user
    // and set-group bits stay behind: they must not pass to contents that
    // were never installed with them. Root keeps the old launcher's owner and
    // group, who may then replace it again, where the system lets it: not
    // without CAP_CHOWN, nor in a user namespace that maps neither. The copy
    // then keeps the owner and group it was made with; the update goes on.
    const mode_t permissions = hasOld ? oldInfo.st_mode & 0777
                                      : (sourceInfo.st_mode & 0777) | ((sourceInfo.st_mode & 0444) >> 2);
    bool written = CopyBytes(source, target) && MayInstall(target, hasOld, permissionsOf);
    if (written && hasOld && geteuid() == 0) {
        (void)!fchown(target, oldInfo.st_uid, oldInfo.st_gid);
    }
    written = written && fchmod(target, permissions) == 0 && fsync(target) == 0;
    written = close(target) == 0 && written && !Interrupted();
    close(source);
    if (!written) {
        RemoveHelperFile(stagingFile);
    }
    return written;
}

// Every signal that can be held is, those of faults too: a real fault cannot
// wait, and the system ends the process for it all the same.
void HoldStopRequests()
{
    holding = true;
#if defined(__linux__)
    const Mask all = ~Mask{0};
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &maskBeforeHold, sizeof(Mask));
#else
    sigset_t held;
    sigfillset(&held);
    sigprocmask(SIG_BLOCK, &held, &maskBeforeHold);
#endif
}

void ReleaseStopRequests()
{
    holding = false;
#if defined(__linux__)
    // The two signals that the C library reserves can have no handler of the
    // program's own: one that came meanwhile is taken here, as a stop request.
    const Mask reserved = Mask{3} << 31;
    const timespec noWait{};
    for (long taken; (taken = syscall(SYS_rt_sigtimedwait, &reserved, nullptr, &noWait, sizeof(Mask))) > 0;) {
        RecordStop(static_cast<int>(taken));
    }
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &maskBeforeHold, nullptr, sizeof(Mask));
#else
    sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
#endif
}

AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile)
{
    struct stat info;
    if (!Status(oldFile, info, false)) {
        return errno == ENOENT ? nothingThere : cannotMove;
    }
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        return cannotMove;
    }
    return RenameWithoutReplacing(oldFile, backupFile) ? movedAside : cannotMove;
}

bool SwapIntoPlace(const std::string& stagingFile, const std::string& oldFile,
                   const std::string& backupFile)
{
#if defined(__linux__)
    struct stat info;
    if (!Status(oldFile, info, false) || (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) ||
        Status(backupFile, info, false)) {
        return false;
    }
    const Place staging = At(stagingFile);
    const Place old = At(oldFile);
    const Place backup = At(backupFile);
    if (renameat2(staging.folder, staging.name, old.folder, old.name, RENAME_EXCHANGE) != 0) {
        return false;
    }
    // The old launcher now bears the staging file's name. Should it not move
    // on, the swap is undone; should that fail too, the new launcher stays in
    // place and the old one under the staging file's name, for the next run
    // to clear away.
    const bool movedOn =
        renameat2(staging.folder, staging.name, backup.folder, backup.name, RENAME_NOREPLACE) == 0;
    if (!movedOn && renameat2(staging.folder, staging.name, old.folder, old.name, RENAME_EXCHANGE) == 0) {
        return false;
    }
    ForgetHelper(stagingFile);
    return true;
#else
    (void)stagingFile;
    (void)oldFile;
    (void)backupFile;
    return false;
#endif
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    const Place source = At(from);
    const Place target = At(to);
    bool renamed = false;
#if defined(__linux__)
    renamed = renameat2(source.folder, source.name, target.folder, target.name, RENAME_NOREPLACE) == 0;
    if (!renamed && errno != EINVAL && errno != ENOSYS) {
        return false;
    }
#endif
    // Where the file system cannot refuse to replace: look first. The
    // updaters' lock keeps other runs from slipping in between.
    struct stat info;
    if (!renamed && !Status(to, info, false) && errno == ENOENT) {
        renamed = renameat(source.folder, source.name, target.folder, target.name) == 0;
    }
    if (renamed) {
        ForgetHelper(from);
    }
    return renamed;
}

void FlushFolder(const std::string& oldFile)
{
    if (lockedFolder >= 0) {
        fsync(lockedFolder);
        return;
    }
    const int folder = open(FolderOf(oldFile).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
}

void RemoveDownload(const std::string& newFile, const std::string& spareName)
{
    // Unlinking frees the file's blocks, which for a large file takes long
    // (ext4: a tenth of a second at 256 MiB): the name goes now, in one
    // rename, the blocks in FreeDownload. A download on another file system
    // is unlinked now.
    if (RenameWithoutReplacing(newFile, spareName)) {
        RemoveOnStop(spareName);
        return;
    }
    const Place place = At(newFile);
    unlinkat(place.folder, place.name, 0);
}

void FreeDownload(const std::string& spareName)
{
    // Nothing is there when the download was unlinked at once.
    RemoveHelperFile(spareName);
}

void RemoveHelperFile(const std::string& path)
{
    const Place place = At(path);
    unlinkat(place.folder, place.name, 0);
    ForgetHelper(path);
}

void PrepareBackgroundRemoval(const std::string& helperFile)
{
    // Without the lock, a later run could meet the file still there.
    int word[2];
    if (lockedFolder < 0 || pipe2(word, O_CLOEXEC) != 0) {
        return;
    }
    const pid_t remover = fork();
    if (remover != 0) {
        close(word[0]);
        if (remover > 0) {
            removerWord = word[1];
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
#if defined(SYS_close_range)
    const unsigned folder = static_cast<unsigned>(lockedFolder);
    syscall(SYS_close_range, 3u, folder - 1, 0u);
    syscall(SYS_close_range, folder + 1, ~0u, 0u);
#endif
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

void RemoveHelperFileInBackground(const std::string& path)
{
    const bool told = removerWord >= 0 && write(removerWord, &removeWord, 1) == 1;
    CallOffBackgroundRemoval();
    if (told) {
        ForgetHelper(path);
    } else {
        RemoveHelperFile(path);
    }
}

bool FileThere(const std::string& path)
{
    struct stat info;
    return Status(path, info, false) && (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode));
}

bool NothingAt(const std::string& path)
{
    struct stat info;
    return !Status(path, info, false) && errno == ENOENT;
}

bool SameFile(const std::string& path, const std::string& otherPath)
{
    struct stat info;
    struct stat otherInfo;
    return Status(path, info, true) && Status(otherPath, otherInfo, true) &&
           info.st_dev == otherInfo.st_dev && info.st_ino == otherInfo.st_ino;
}

Launch StartProgram(const std::string& path)
{
    // Run directly, never through a shell that would read the path: no
    // character of it means anything but itself.
    char* const file = const_cast<char*>(path.c_str());
    char* const arguments[] = {file, nullptr};
    char* const byShell[] = {const_cast<char*>("sh"), const_cast<char*>("--"), file, nullptr};
    const int nothing = open("/dev/null", O_RDWR | O_CLOEXEC);
    // The child borrows this process's memory, which stands still until the
    // launcher runs in its place: starting it copies nothing, and the child
    // leaves there the reason the system refused, if it did. Only system
    // calls run in the child. (posix_spawn, which looks at every signal's
    // handler twice and maps a stack of its own, took half as long again.)
    volatile int error = 0;
    const pid_t launcher = vfork();
    if (launcher == 0) {
        // /dev/null for its standard streams, so that whoever reads this
        // program's output sees it end when this program ends, and none of
        // the other descriptors this process was handed by whoever started
        // it. Its own session, so that closing this console does not take it
        // down. Signals go back to their defaults: this process ignores some
        // that the launcher should not, and holds all of them now.
        if (nothing >= 0) {
            for (int stream = 0; stream <= 2; ++stream) {
                dup2(nothing, stream);
            }
        }
#if defined(SYS_close_range)
        syscall(SYS_close_range, 3u, ~0u, 0u);
#endif
        setsid();
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
            sigaction(signalNumber, &byDefault, nullptr);
        }
#if defined(__linux__)
        const Mask none = 0;
        syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof(Mask));
#else
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
#endif
        execve(path.c_str(), arguments, environ);
        // A script that names no interpreter is the shell's, as a shell or
        // execvp would run it; the shell's own failure is not this file's.
        if (errno == ENOEXEC) {
            execve("/bin/sh", byShell, environ);
            errno = ENOEXEC;
        }
        error = errno;
        _exit(127);
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

namespace {

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

} // namespace

StartResult WatchLaunch(const Launch& launch, std::int64_t deadline)
{
    const pid_t launcher = static_cast<pid_t>(launch.process);
    if (launch.result != startedProgram || launcher <= 0) {
        return launch.result;
    }
    // The launcher is this process's child: its end is waited for without
    // spinning, on a descriptor that tells of it where the system has one,
    // else in short pauses. A stop request cuts the wait short and acts.
    // Should it still run at the deadline, it goes on as a child of the
    // system once this process ends, and nothing of it is reaped here.
#if defined(SYS_pidfd_open)
    const int ends = static_cast<int>(syscall(SYS_pidfd_open, launcher, 0));
#else
    const int ends = -1;
#endif
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

bool PutBack(const std::string& backupFile, const std::string& oldFile)
{
    // A rename replaces the name's file in one step.
    const Place backup = At(backupFile);
    const Place old = At(oldFile);
    if (renameat(backup.folder, backup.name, old.folder, old.name) != 0) {
        return false;
    }
    ForgetHelper(backupFile);
    FlushFolder(oldFile);
    return true;
}

bool PassesAsUpdateOf(const std::string& path, const std::string& launcherPath)
{
    const Place place = At(path);
    const int file = openat(place.folder, place.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    struct stat info;
    const bool passes = fstat(file, &info) == 0 && S_ISREG(info.st_mode) && MayInstall(file, true, launcherPath);
    close(file);
    return passes;
}
