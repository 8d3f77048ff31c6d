// The files the run holds open, by their roles, and what can be done to a
// held file at once: close it, put a download's read-only attribute back,
// mark it for removal. Nothing here waits, so that a stop can use it all.
//
// Uses: Win32 only (the bottom of the layer).

#include "layer.h"

namespace {

// The one record of what the run holds: the console handler never looks at
// it, so the main thread alone reads and changes it.
HeldFiles held{{{INVALID_HANDLE_VALUE, nullptr}, {INVALID_HANDLE_VALUE, nullptr}, {INVALID_HANDLE_VALUE, nullptr}},
               false, false, 0};

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
    const std::string* const download = held.file[heldDownload].path;
    Release(heldDownload);
    if (download != nullptr && held.downloadReadOnly != 0) {
        SetFileAttributesA(download->c_str(), held.downloadReadOnly);
    }
    held.downloadReadOnly = 0;
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

bool NameGoesAtOnce(HANDLE file)
{
    FILE_DISPOSITION_INFO_EX now{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    return SetFileInformationByHandle(file, fileDispositionInfoEx, &now, sizeof now) != 0;
}

bool MarkForRemoval(HANDLE file)
{
    FILE_DISPOSITION_INFO onClose{TRUE};
    return NameGoesAtOnce(file) || SetFileInformationByHandle(file, FileDispositionInfo, &onClose, sizeof onClose);
}

LiftedReadOnly LiftReadOnly(HANDLE file, const std::string& path)
{
    LiftedReadOnly lifted{false, 0, 0, INVALID_HANDLE_VALUE};
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info)) {
        return lifted;
    }
    lifted = {true, info.dwFileAttributes, info.nNumberOfLinks, INVALID_HANDLE_VALUE};
    // The backup keeps the old launcher's attributes; read-only must not
    // keep it from going, nor another name of the file from staying
    // read-only: a handle of its own puts the attribute back once the name
    // is gone.
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        lifted.attributesHandle = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        SetFileAttributesA(path.c_str(), info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return lifted;
}

void PutReadOnlyBack(const LiftedReadOnly& lifted)
{
    if (lifted.attributesHandle == INVALID_HANDLE_VALUE) {
        return;
    }
    if (lifted.names > 1) {
        SetAttributes(lifted.attributesHandle, lifted.attributes);
    }
    CloseHandle(lifted.attributesHandle);
}
