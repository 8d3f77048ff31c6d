// The names' changes: the swap of the staged copy and the old launcher,
// renames that replace nothing, the old launcher going back, the folder's
// flush, and the download's name going once the update is in place.
//
// Uses: At, FolderOf, Status, LockedFolder (places); RemoveOnStop,
// ForgetOnStop (stops); RemoveHelperFile (files).

#include "layer.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

bool SwapIntoPlace(const std::string& stagingFile, const std::string& oldFile,
                   const std::string& backupFile)
{
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
    ForgetOnStop(stagingFile);
    return true;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    const Place source = At(from);
    const Place target = At(to);
    bool renamed = renameat2(source.folder, source.name, target.folder, target.name, RENAME_NOREPLACE) == 0;
    if (!renamed && errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // Where the file system (or the kernel) cannot refuse to replace: look
    // first. The updaters' lock keeps other runs from slipping in between.
    struct stat info;
    if (!renamed && !Status(to, info, false) && errno == ENOENT) {
        renamed = renameat(source.folder, source.name, target.folder, target.name) == 0;
    }
    if (renamed) {
        ForgetOnStop(from);
    }
    return renamed;
}

bool MoveBack(const std::string& backupFile, const std::string& oldFile)
{
    // Here a program that holds the launcher's path open does not keep the
    // name from moving: there is nothing to retry. A file that another
    // program put at the path meanwhile stays, and the run says where the
    // old launcher is.
    return RenameWithoutReplacing(backupFile, oldFile);
}

void FlushFolder(const std::string& oldFile)
{
    const int locked = LockedFolder();
    if (locked >= 0) {
        fsync(locked);
        return;
    }
    const int folder = open(FolderOf(oldFile).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
}

DownloadState RemoveDownload(const std::string& newFile, const std::string& spareName)
{
    // Unlinking frees the file's blocks, which for a large file takes long
    // (ext4: a tenth of a second at 256 MiB): the name goes now, in one
    // rename, the blocks in FreeDownload. A download on another file system
    // is unlinked now; where that fails, nothing was done to it.
    if (RenameWithoutReplacing(newFile, spareName)) {
        RemoveOnStop(spareName);
        return downloadGone;
    }
    const Place place = At(newFile);
    return unlinkat(place.folder, place.name, 0) == 0 ? downloadGone : downloadKept;
}

void FreeDownload(const std::string& spareName)
{
    // Nothing is there when the download was unlinked at once.
    RemoveHelperFile(spareName);
}

bool PutBack(const std::string& backupFile, const std::string& oldFile)
{
    // A rename replaces the name's file in one step.
    const Place backup = At(backupFile);
    const Place old = At(oldFile);
    if (renameat(backup.folder, backup.name, old.folder, old.name) != 0) {
        return false;
    }
    ForgetOnStop(backupFile);
    FlushFolder(oldFile);
    return true;
}
