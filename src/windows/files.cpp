// Files as the run sees them: what is at a path, whether two paths name one
// file, links that lead elsewhere, whether the launcher may be moved and has
// closed, and the removal of the run's own helper files.
//
// Uses: ../shared/run_clock.cpp (the run's deadline), clock.cpp (Retried,
// pauses), stops.cpp (ForgetOnStop), identity.cpp (what tells files and
// folders apart), held.cpp and Win32.

#include "layer.h"

#include <algorithm>

namespace {

// What opening path for writing, with every kind of sharing, answers: 0, or
// the error.
DWORD WriteOpenError(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    CloseHandle(file);
    return 0;
}

// A program runs from the file (its image is mapped), or another program
// holds it without sharing: it cannot be opened for writing, even with every
// kind of sharing, though Windows would let it be renamed. A reader that
// shares everything does not count.
bool InUse(const std::string& path)
{
    DWORD error = WriteOpenError(path);
    if (error == ERROR_ACCESS_DENIED) {
        // Windows refuses to write a read-only file before it looks at the
        // image: the attribute is lifted for the look, and put back.
        const HANDLE attributes = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                              shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
        FILE_BASIC_INFO info{};
        if (attributes != INVALID_HANDLE_VALUE &&
            GetFileInformationByHandleEx(attributes, FileBasicInfo, &info, sizeof info) &&
            (info.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
            SetAttributes(attributes, info.FileAttributes & ~FILE_ATTRIBUTE_READONLY)) {
            error = WriteOpenError(path);
            SetAttributes(attributes, info.FileAttributes);
        }
        if (attributes != INVALID_HANDLE_VALUE) {
            CloseHandle(attributes);
        }
    }
    return error == ERROR_SHARING_VIOLATION;
}

} // namespace

HANDLE OpenRetried(std::int64_t until, const std::string& path, DWORD access, DWORD flags, DWORD share)
{
    // The handle carries Retried's answer: INVALID_HANDLE_VALUE where it failed.
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried(until, [&] {
        file = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return file;
}

bool Gone(const std::string& path)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    return NothingAt(path);
}

HANDLE OpenToIdentify(const std::string& path)
{
    return CreateFileA(path.c_str(), 0, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

FileIdentity IdentityAt(const std::string& path)
{
    const HANDLE file = OpenToIdentify(path);
    if (file == INVALID_HANDLE_VALUE) {
        return FileIdentity{};
    }
    const FileIdentity identity = IdentityOf(file);
    CloseHandle(file);
    return identity;
}

bool IsRegularFile(const std::string& path)
{
    const HANDLE file = OpenRetried(GiveUpTime(), path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(file);
    return regular;
}

std::string FullFolderOf(const std::string& path)
{
    char fullPath[MAX_PATH * 4];
    char* fileName = nullptr;
    const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(sizeof fullPath), fullPath, &fileName);
    if (length == 0 || length >= sizeof fullPath || fileName == nullptr) {
        return "";
    }
    return std::string(fullPath, fileName);
}

bool LeadsElsewhere(const std::string& path, HANDLE file)
{
    // Windows opens a symbolic link itself with FILE_FLAG_OPEN_REPARSE_POINT;
    // Wine opens a Unix symbolic link's target all the same, and renames and
    // removes the target, never the link. Paths are no guide: a folder has
    // many spellings, and a link to a name that differs only in case is a
    // link like any other where the file system tells case apart.
    WIN32_FIND_DATAA entry;
    const HANDLE found = FindFirstFileA(path.c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(found);
    const std::string folderPath = FullFolderOf(path);
    const HANDLE folder = OpenToIdentify(folderPath);
    const HANDLE opened = file != INVALID_HANDLE_VALUE ? file : OpenToIdentify(path);
    // Where the system cannot tell (some network redirectors and virtual
    // file systems), there is nothing to judge by: the file is taken as it is.
    const bool elsewhere = opened != INVALID_HANDLE_VALUE &&
                           PlacementOf(opened, folder, folderPath, entry.cFileName) == Placement::elsewhere;
    if (opened != file && opened != INVALID_HANDLE_VALUE) {
        CloseHandle(opened);
    }
    if (folder != INVALID_HANDLE_VALUE) {
        CloseHandle(folder);
    }
    return elsewhere;
}

bool HoldAlone(std::int64_t until, HeldRole role)
{
    HeldFile& held = Held().file[role];
    HANDLE alone = INVALID_HANDLE_VALUE;
    const bool reopened = Retried(until, [&] {
        alone = ReOpenFile(held.handle, holdAccess, FILE_SHARE_DELETE, FILE_FLAG_OPEN_REPARSE_POINT);
        return alone != INVALID_HANDLE_VALUE;
    });
    if (reopened) {
        CloseHandle(held.handle);
        held.handle = alone;
    }
    return reopened;
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/' || c == ':';
}

std::size_t LongestNameBeside(const std::string& oldFile)
{
    // The narrow calls take paths of MAX_PATH characters at most; counting
    // bytes errs on the safe side.
    const std::size_t folderLength = FullFolderOf(oldFile).size();
    const std::size_t pathRoom = MAX_PATH - 1 > folderLength ? MAX_PATH - 1 - folderLength : 0;
    return pathRoom < 255 ? pathRoom : 255;
}

bool FileThere(const std::string& path)
{
    // A link to a file elsewhere does not count: the system would move or
    // remove what it leads to.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !LeadsElsewhere(path);
}

bool NothingAt(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES && IsMissing(GetLastError());
}

bool SameFile(const std::string& path, const std::string& otherPath)
{
    // Equal numbers are not enough (see SameFileOpen): the two are opened.
    const HANDLE one = OpenToIdentify(path);
    const HANDLE other = one != INVALID_HANDLE_VALUE ? OpenToIdentify(otherPath) : INVALID_HANDLE_VALUE;
    const bool same = other != INVALID_HANDLE_VALUE && SameFileOpen(one, other);
    for (const HANDLE file : {one, other}) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
    return same;
}

bool FolderAllowsUpdate(const std::string& oldFile)
{
    // Windows has no append-only folders: what may be made may be renamed.
    // A link is refused rather than risk moving what it leads to.
    // A name the system could not hand over whole holds the replacement
    // character U+FFFD (Wine turns a Unix name that is no UTF-8 into it):
    // it may name another file than the one meant.
    const DWORD attributes = GetFileAttributesA(oldFile.c_str());
    return oldFile.find("\xEF\xBF\xBD") == std::string::npos &&
           (attributes == INVALID_FILE_ATTRIBUTES ||
            (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && !LeadsElsewhere(oldFile)));
}

bool WaitForLauncherToClose(const std::string& oldFile)
{
    // Launchers (and the helper processes they start from their own file)
    // may take seconds to close, and a virus scanner looks at the image of a
    // program as it ends.
    while (FileThere(oldFile) && InUse(oldFile)) {
        if (MicrosecondsNow() >= GiveUpTime()) {
            return false;
        }
        PauseMilliseconds(10);
    }
    if (!FileThere(oldFile)) {
        return true;
    }
    // Held alone, so that the new launcher can take its name in one step. A
    // program that reads it, sharing its removal (an indexer), is waited
    // for within the bound; past it, the old launcher is held as the others
    // are, and moved aside in two steps.
    Hold(heldOldLauncher, OpenRetried(GiveUpTime(), oldFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT, 0), oldFile);
    Held().oldAlone = Held().file[heldOldLauncher].handle != INVALID_HANDLE_VALUE;
    if (!Held().oldAlone) {
        Hold(heldOldLauncher, OpenRetried(GiveUpTime(), oldFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT), oldFile);
    }
    return Held().file[heldOldLauncher].handle != INVALID_HANDLE_VALUE;
}

void RemoveHelperFile(const std::string& path)
{
    // A helper file that another program holds is waited for two seconds
    // more, even past the run's deadline, which stays as it was for what
    // follows; one held longer still is left for the next run to clear.
    const std::int64_t until = std::max(GiveUpTime(), MicrosecondsNow() + 2000000);
    HeldRole role = heldStagedCopy;
    const bool isHeld = HeldAt(path, role);
    const HANDLE file =
        isHeld ? Held().file[role].handle : OpenRetried(until, path, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT);
    // The backup keeps the old launcher's attributes: read-only must not
    // keep it from going, nor another name of the file from staying
    // read-only. Nothing hangs on the answer: the name is checked below.
    if (file != INVALID_HANDLE_VALUE) {
        Retried(until, [&] { return MarkForRemovalKeepingAttributes(file); });
    }
    if (isHeld) {
        Release(role);
    } else if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    // A file that another program still reads, sharing its removal, keeps
    // its name until that program lets go (Windows before 10 version 1709,
    // Wine): the name is checked, and waited for. Nothing hangs on the
    // answer either: a helper file that stays keeps its name from the run's
    // use (a copy or a rename onto it fails, and the run with it), and the
    // next run clears it first.
    Retried(until, [&] { return Gone(path); });
    ForgetOnStop(path);
}
