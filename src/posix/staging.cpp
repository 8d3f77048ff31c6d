// The staged copy: the download copied beside the launcher, checked as a
// program that may replace it, and flushed to the disk; and the same check
// on a file already there.
//
// Uses: At, Status (places); Interrupted, RemoveOnStop, Hold/
// ReleaseStopRequests (stops); RightToRemove, RemoveHelperFile (files);
// RenameWithoutReplacing (swap), for the probe; the program check
// (program_image.h).

#include "layer.h"

#include "program_image.h"

#include <cerrno>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <unistd.h>

namespace {

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
    return CopyThroughBuffer(source, target);
}

// Whether newFile may be removed once the update is in place. Where only
// the kernel can tell, the file is renamed to probeName (a helper name
// beside it) and straight back: its rules for rename are unlink's.
bool MayRemove(const std::string& newFile, const std::string& probeName)
{
    const RemovalRight right = RightToRemove(newFile);
    if (right != removalUntold) {
        return right == removalAllowed;
    }
    // Nothing but SIGKILL or a power cut comes between the two renames; then
    // the next run puts the file back.
    HoldStopRequests();
    const bool renamed = RenameWithoutReplacing(newFile, probeName) && RenameWithoutReplacing(probeName, newFile);
    ReleaseStopRequests();
    return renamed;
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

// The ELF header of this program's own image, as the linker maps it.
extern "C" const char __ehdr_start[] __attribute__((weak, visibility("hidden")));

// What the open regular file is as a program for this system, whose
// programs have the machine of this program's own image or of oldHeader
// (the old launcher's ELF header, if it has one). Without the header of its
// own image to compare with (a linker that defines no __ehdr_start), this
// program does not judge.
ProgramKind KindOf(int file, std::uint64_t size, const std::string& oldHeader)
{
    if (__ehdr_start == nullptr) {
        return size == 0 ? brokenProgram : scriptProgram;
    }
    const ReadBytes read = [file](std::uint64_t offset, std::size_t length) { return ReadAt(file, offset, length); };
    return ElfProgramKind(read, size, {std::string(__ehdr_start, 20), oldHeader});
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

bool StageCopy(const std::string& newFile, const std::string& stagingFile,
               const std::string& permissionsOf, const std::string& probeFile, std::string& /*refusal*/)
{
    const int source = MayRemove(newFile, probeFile) ? OpenRegularFile(newFile) : -1;
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
