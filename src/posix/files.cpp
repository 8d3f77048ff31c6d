// Files as the run finds them: what is at a name, whether two names are
// one file, who may remove one, how long names may be; and the removal of
// the run's own helper files.
//
// Uses: At, FolderOf, Status (places); ForgetOnStop (stops).

#include "layer.h"

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Append-only or immutable: entries can be added but not renamed or removed.
// statx tells without opening the file, which a folder this user may
// change but not read would refuse; a kernel without statx tells nothing.
bool Unchangeable(const std::string& path)
{
    struct statx info;
    const Place place = At(path);
    return statx(place.folder, place.name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &info) == 0 &&
           (info.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

// A file mounted over the name (a bind mount) is busy: neither unlink nor
// rename takes it away. statx tells even a mount from the folder's own file
// system, where the kernel reports it; else only another device tells.
bool MountedOver(const std::string& path, const struct stat& info, const struct stat& folderInfo)
{
    struct statx mount;
    const Place place = At(path);
    if (statx(place.folder, place.name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &mount) == 0 &&
        (mount.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
        return (mount.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }
    return info.st_dev != folderInfo.st_dev;
}

} // namespace

bool IsSeparator(char c)
{
    return c == '/';
}

std::size_t LongestNameBeside(const std::string&)
{
    // Names beside the launcher are taken relative to its folder.
    return NAME_MAX;
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

// The rules unlink and rename follow: write and search rights on the file's
// folder, on a file system mounted for writing; no append-only or immutable
// flag on the file or its folder; no mount on it. In a sticky folder, only
// the owner of the file or of the folder may, or a process with CAP_FOWNER
// over the file's owner and group; in a user namespace (a rootless
// container), only over ids that the namespace maps, and stat shows all
// others as the overflow id (65534), which may also be someone's own. Only
// the kernel can tell then: removalUntold.
RemovalRight RightToRemove(const std::string& path)
{
    const std::string folder = FolderOf(path);
    struct stat folderInfo;
    struct stat info;
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 ||
        stat(folder.c_str(), &folderInfo) != 0 || !Status(path, info, false) ||
        MountedOver(path, info, folderInfo) || Unchangeable(folder) || Unchangeable(path)) {
        return removalRefused;
    }
    const uid_t user = geteuid();
    const uid_t overflowId = 65534;
    const bool owner = user != overflowId && (user == info.st_uid || user == folderInfo.st_uid);
    return (folderInfo.st_mode & S_ISVTX) == 0 || owner ? removalAllowed : removalUntold;
}

bool FolderAllowsUpdate(const std::string& oldFile)
{
    // A launcher that could be replaced but not started by its path is left
    // as it is. Where only trying would tell whether the launcher may be
    // removed, the answer is yes: the swap, refused, changes nothing either.
    if (oldFile.size() >= PATH_MAX || Unchangeable(FolderOf(oldFile))) {
        return false;
    }
    struct stat info;
    return !Status(oldFile, info, false) ||
           ((S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) && RightToRemove(oldFile) != removalRefused);
}

void RemoveHelperFile(const std::string& path)
{
    const Place place = At(path);
    unlinkat(place.folder, place.name, 0);
    ForgetOnStop(path);
}
