// The files the run holds open, by their roles, and what can be done to a
// held file at once: close it, mark it for removal (a read-only one with
// its other names left read-only). Nothing here waits, so that a stop can
// use it all.
//
// Uses: Win32 only (the bottom of the layer).

#include "layer.h"

namespace {

// The one record of what the run holds: the console handler never looks at
// it, so the main thread alone reads and changes it.
HeldFiles held{{{INVALID_HANDLE_VALUE, nullptr}, {INVALID_HANDLE_VALUE, nullptr}, {INVALID_HANDLE_VALUE, nullptr}},
               false, false};

// FileDispositionInfoEx, which MinGW-w64 declares for newer targets only.
const auto fileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

} // namespace

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool HeldForAMoment(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

HeldFiles& Held()
{
    return held;
}

void Hold(HeldRole role, HANDLE handle, const std::string& path)
{
    held.file[role] = {handle, &path};
}

bool HeldAt(const std::string& path, HeldRole& role)
{
    for (const HeldRole each : {heldOldLauncher, heldStagedCopy, heldDownload}) {
        if (held.file[each].path != nullptr && *held.file[each].path == path) {
            role = each;
            return true;
        }
    }
    return false;
}

void Release(HeldRole role)
{
    HeldFile& file = held.file[role];
    if (file.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(file.handle);
    }
    file = {INVALID_HANDLE_VALUE, nullptr};
    if (role == heldOldLauncher) {
        held.oldAlone = false;
    }
}

void LetGoOfDownload()
{
    // Only its removal lifts a read-only attribute, and puts it back should
    // the file stay: nothing is left to undo here.
    Release(heldDownload);
    held.downloadAlone = false;
}

void LetGoOfAll()
{
    Release(heldOldLauncher);
    Release(heldStagedCopy);
    LetGoOfDownload();
}

bool SetAttributes(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO info{};
    info.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != 0;
}

HANDLE OpenToRemove(const std::string& path)
{
    return CreateFileA(path.c_str(), holdAccess, shareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

bool RemovedAtOnce(HANDLE file)
{
    // The attribute is ignored only where the file has it: a system that
    // does not know that flag (before Windows 10 version 1809) refuses the
    // whole call.
    BY_HANDLE_FILE_INFORMATION info;
    const bool readOnly =
        GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    const DWORD flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                        (readOnly ? FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE : 0);
    FILE_DISPOSITION_INFO_EX now{flags};
    return SetFileInformationByHandle(file, fileDispositionInfoEx, &now, sizeof now) != 0;
}

bool MarkForRemoval(HANDLE file)
{
    FILE_DISPOSITION_INFO onClose{TRUE};
    return RemovedAtOnce(file) || SetFileInformationByHandle(file, FileDispositionInfo, &onClose, sizeof onClose);
}

bool MarkForRemovalKeepingAttributes(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) {
        return MarkForRemoval(file);
    }
    if (RemovedAtOnce(file)) {
        return true;
    }
    // Wine opens no file for FILE_WRITE_ATTRIBUTES that the user may not
    // write, but changes attributes through any handle: the held one then.
    const HANDLE reopened =
        ReOpenFile(file, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll, FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE attributes = reopened != INVALID_HANDLE_VALUE ? reopened : file;
    const bool lifted = SetAttributes(attributes, info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    const bool marked = lifted && MarkForRemoval(file);
    const DWORD error = GetLastError();
    // The file's other names show the attribute too: it goes back on them,
    // and on a file left unmarked, before the run's last handle closes.
    if (lifted && (!marked || info.nNumberOfLinks > 1)) {
        SetAttributes(attributes, info.dwFileAttributes);
    }
    if (reopened != INVALID_HANDLE_VALUE) {
        CloseHandle(reopened);
    }
    SetLastError(error);
    return marked;
}
