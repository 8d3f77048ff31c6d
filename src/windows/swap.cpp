// The launchers changing places: the swap in one step, the renames of the
// two-step way, the old launcher going back, and the download's removal
// once the new launcher is in place.
//
// Uses: files.cpp, ../shared/run_clock.cpp (the run's deadline), clock.cpp
// (Retried), stops.cpp (ForgetOnStop), held.cpp and Win32.

#include "layer.h"

#include <cstdio>

namespace {

// Holds the old launcher again as the others are held, so that it can be
// moved aside.
void HoldOldShared(const std::string& oldFile)
{
    Release(heldOldLauncher);
    Hold(heldOldLauncher, OpenRetried(GiveUpTime(), oldFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT), oldFile);
}

// After from was renamed to to: once in place, the new launcher is no
// longer held, as it is to be started. The others are held again under
// their new names, before the old handle lets go (Wine removes a file
// through a handle only by the name it was opened with).
void FollowRename(const std::string& from, const std::string& to)
{
    HeldRole role = heldStagedCopy;
    if (!HeldAt(from, role)) {
        return;
    }
    if (role == heldStagedCopy) {
        Release(heldStagedCopy);
        return;
    }
    const HANDLE again =
        CreateFileA(to.c_str(), holdAccess, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (Held().file[role].handle != INVALID_HANDLE_VALUE) {
        CloseHandle(Held().file[role].handle);
    }
    Hold(role, again, to);
}

// Renames from to to, unless both name one file. Without
// MOVEFILE_REPLACE_EXISTING the move never overwrites anything; written
// through, it lasts through a power cut once it returns. A file the run
// holds shares everything with the move. Where the old launcher goes back,
// a file that another program puts at its path is waited out as one that a
// program holds, and replaced past the deadline: the launcher's path is the
// old launcher's, whatever else was put there.
bool Renamed(const std::string& from, const std::string& to, bool puttingBack)
{
    // Two names of one file: Wine would "rename" one onto the other as
    // POSIX does, and keep both.
    if (SameFile(from, to)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    bool renamed = Retried(GiveUpTime(), [&] {
        if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        const bool taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        SetLastError(puttingBack && taken ? ERROR_SHARING_VIOLATION : error);
        return false;
    });
    renamed = renamed ||
              (puttingBack && MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    if (renamed) {
        ForgetOnStop(from);
        FollowRename(from, to);
    }
    return renamed;
}

} // namespace

bool SwapIntoPlace(const std::string& stagingFile, const std::string& oldFile, const std::string& backupFile)
{
    // Windows has no call that swaps two names, but the old launcher can
    // have a second name, and a rename can replace a name in one step: the
    // launcher's path is then never empty. Where the file system has no
    // hard links (FAT32, exFAT, some network shares), or another program
    // has the old launcher open, the caller moves it aside in two steps.
    const HeldFile& old = Held().file[heldOldLauncher];
    if (!Held().oldAlone || old.path == nullptr || *old.path != oldFile) {
        return false;
    }
    if (!CreateHardLinkA(backupFile.c_str(), oldFile.c_str(), nullptr)) {
        HoldOldShared(oldFile);
        return false;
    }
    // A read-only file cannot be replaced; the attribute is lifted from the
    // old launcher (under both its names) and kept on the backup. Changing
    // attributes is no use of the file that its holder's sharing forbids.
    BY_HANDLE_FILE_INFORMATION info;
    const DWORD attributes = GetFileInformationByHandle(old.handle, &info) ? info.dwFileAttributes : 0;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
        SetFileAttributesA(oldFile.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // The old launcher must be open nowhere for its name to be replaced,
    // not even here. The staged copy shares everything with the rename.
    Release(heldOldLauncher);
    const bool placed = Retried(GiveUpTime(), [&] {
        return MoveFileExA(stagingFile.c_str(), oldFile.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
               0;
    });
    if (readOnly) {
        SetFileAttributesA((placed ? backupFile : oldFile).c_str(), attributes);
    }
    if (!placed) {
        // Nothing changed but the second name, which goes again; the old
        // launcher is held as before, to be moved aside.
        RemoveHelperFile(backupFile);
        HoldOldShared(oldFile);
        return false;
    }
    Release(heldStagedCopy);
    ForgetOnStop(stagingFile);
    return true;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    return Renamed(from, to, false);
}

bool MoveBack(const std::string& backupFile, const std::string& oldFile)
{
    return Renamed(backupFile, oldFile, true);
}

void FlushFolder(const std::string&)
{
    // Each rename was written through already.
}

DownloadState RemoveDownload(const std::string& newFile, const std::string& spareName)
{
    const HeldFile& download = Held().file[heldDownload];
    if (download.path == nullptr || *download.path != newFile) {
        const bool removed = std::remove(newFile.c_str()) == 0;
        return Retried(GiveUpTime(), [&] { return Gone(newFile); }) ? downloadGone
               : removed                                             ? downloadGoing
                                                                     : downloadKept;
    }
    // Where a name outlasts its removal while another program reads the
    // file, the download's name is first moved out of the launcher's sight.
    // One on another volume cannot be (the rename fails with
    // ERROR_NOT_SAME_DEVICE: where the volumes' serial numbers are equal,
    // only trying tells). It is held alone, once no other program has it
    // open, so that its name goes with its handle, which is let go of at
    // once; one that another program keeps open past the deadline is left
    // as it was.
    bool marked = false;
    bool nameGoesNow = false;
    if (!Held().downloadAlone) {
        marked = RemovedAtOnce(download.handle);
        nameGoesNow = marked || RenameWithoutReplacing(newFile, spareName);
        Held().downloadAlone = !nameGoesNow && HoldAlone(GiveUpTime(), heldDownload);
        if (!nameGoesNow && !Held().downloadAlone) {
            LetGoOfDownload();
            return downloadKept;
        }
    }
    // The rename holds it again under the spare name.
    marked = marked ||
             Retried(GiveUpTime(), [] { return MarkForRemovalKeepingAttributes(Held().file[heldDownload].handle); });
    // Its last handle, whose closing frees the blocks, is kept for
    // FreeDownload where the name has gone already.
    if (!marked || !nameGoesNow) {
        Release(heldDownload);
    }
    Held().downloadAlone = false;
    // Status 0 says that the download is gone: its name is checked.
    if (Retried(GiveUpTime(), [&] { return Gone(newFile); })) {
        return downloadGone;
    }
    return marked ? downloadGoing : downloadKept;
}

void FreeDownload(const std::string&)
{
    // A program that reads the download keeps it until it lets go.
    Release(heldDownload);
}

bool PutBack(const std::string& backupFile, const std::string& oldFile)
{
    // The launcher that would not start may have the old one's read-only
    // attribute, which a replacing move refuses.
    SetFileAttributesA(oldFile.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!Retried(GiveUpTime(), [&] {
            return MoveFileExA(backupFile.c_str(), oldFile.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
                   0;
        })) {
        return false;
    }
    Release(heldOldLauncher);
    ForgetOnStop(backupFile);
    return true;
}
