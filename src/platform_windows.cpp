// The platform layer on Windows, with the calls the program was made for:
// Sleep, the runtime's remove, CopyFileA and ShellExecuteA.

#include "platform.h"

#include <cstdio>
#include <ctime>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace {

// Set while a stop request may act; see DeferInterruptions.
HANDLE interruptionsAllowed = nullptr;

// Runs on a thread of its own when the console is closed or Ctrl+C or
// Ctrl+Break is pressed. Holding it back holds back the process's end.
BOOL WINAPI HoldStopRequest(DWORD)
{
    WaitForSingleObject(interruptionsAllowed, INFINITE);
    return FALSE; // on to the default handler, which ends the process
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A launcher that still runs cannot be opened for writing, though Windows
// would let it be renamed: look before moving it.
bool InUse(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError() == ERROR_SHARING_VIOLATION;
    }
    CloseHandle(file);
    return false;
}

// True when path is an ordinary file on a disk: not a folder, a device
// (NUL, CON, COM1) or a pipe.
bool IsRegularFile(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(file) == FILE_TYPE_DISK &&
                         GetFileInformationByHandle(file, &info) &&
                         !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(file);
    return regular;
}

// Writes the staged copy through to the disk, so that a power cut after the
// rename cannot leave an empty launcher under its name.
bool FlushToDisk(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

} // namespace

void SurviveFailedWrites()
{
    // A drive that is not ready fails the call instead of waiting on a
    // dialog box nobody may be there to answer.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void PauseMilliseconds(unsigned milliseconds)
{
    Sleep(milliseconds);
}

std::string LocalTimeText(std::int64_t timeNow)
{
    // The runtime's calendar runs from 1970 to the end of the year 3000; not
    // every runtime refuses a time outside it gracefully.
    const char* const unknownTime = "??? ??? ?? ??:??:?? ????";
    const std::int64_t lastSecondOf3000 = 32535215999;
    if (timeNow < 0 || timeNow > lastSecondOf3000) {
        return unknownTime;
    }
    const __time64_t seconds = timeNow;
    char buf[32];
    if (_ctime64_s(buf, sizeof buf, &seconds) != 0) {
        return unknownTime;
    }
    // The runtime's text ends in a newline.
    std::string text = buf;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

bool WaitForOtherUpdaters(const std::string& oldFile)
{
    // A named mutex for the launcher's folder: the system releases it when
    // its owner ends, however it ends, and it leaves no file behind.
    char fullPath[MAX_PATH * 4];
    char* fileName = nullptr;
    const DWORD length =
        GetFullPathNameA(oldFile.c_str(), static_cast<DWORD>(sizeof fullPath), fullPath, &fileName);
    if (length == 0 || length >= sizeof fullPath || fileName == nullptr) {
        return false;
    }
    // Paths that differ in case only name one folder. Object names are short
    // and hold no backslashes, so the name carries a hash of the path.
    std::string folder(fullPath, fileName);
    CharUpperBuffA(&folder[0], static_cast<DWORD>(folder.size()));
    unsigned long long hash = 14695981039346656037ULL;
    for (const char c : folder) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Local\\Kestrin updater %016llx", hash);
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        return false;
    }
    // WAIT_ABANDONED: the previous holder died; the lock is ours all the same.
    const DWORD waited = WaitForSingleObject(mutex, INFINITE);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

void DeferInterruptions()
{
    if (interruptionsAllowed == nullptr) {
        interruptionsAllowed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(HoldStopRequest, TRUE);
    }
    ResetEvent(interruptionsAllowed);
}

void AllowInterruptions()
{
    SetEvent(interruptionsAllowed);
}

AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile)
{
    const DWORD attributes = GetFileAttributesA(oldFile.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return IsMissing(GetLastError()) ? nothingThere : cannotMove;
    }
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (((attributes & FILE_ATTRIBUTE_DIRECTORY) && !link) || InUse(oldFile)) {
        return cannotMove;
    }
    // Without MOVEFILE_REPLACE_EXISTING the move never overwrites anything.
    return MoveFileExA(oldFile.c_str(), backupFile.c_str(), 0) ? movedAside : cannotMove;
}

bool PutBack(const std::string& backupFile, const std::string& oldFile)
{
    return MoveFileExA(backupFile.c_str(), oldFile.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool CopyIntoPlace(const std::string& newFile, const std::string& stagingFile,
                   const std::string& oldFile, const std::string& permissionsOf)
{
    if (!IsRegularFile(newFile)) {
        return false;
    }
    // The overwriting copy: a staging file left by a killed run is replaced.
    if (!CopyFileA(newFile.c_str(), stagingFile.c_str(), FALSE)) {
        RemoveHelperFile(stagingFile);
        return false;
    }
    bool placed = FlushToDisk(stagingFile);
    // The replaced launcher keeps its attributes (read-only, hidden), as a
    // launcher installed by hand would have them.
    const DWORD oldAttributes =
        permissionsOf.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(permissionsOf.c_str());
    if (placed && oldAttributes != INVALID_FILE_ATTRIBUTES) {
        const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE;
        placed = SetFileAttributesA(stagingFile.c_str(),
                                    (oldAttributes & kept) ? (oldAttributes & kept)
                                                           : FILE_ATTRIBUTE_NORMAL) != 0;
    }
    placed = placed && MoveFileExA(stagingFile.c_str(), oldFile.c_str(), MOVEFILE_WRITE_THROUGH);
    if (!placed) {
        RemoveHelperFile(stagingFile);
    }
    return placed;
}

void RemoveFile(const std::string& path)
{
    std::remove(path.c_str());
}

void RemoveHelperFile(const std::string& path)
{
    // The backup keeps the old launcher's attributes; read-only must not
    // keep it from going.
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

bool PathTaken(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameFile(const std::string& path, const std::string& otherPath)
{
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const std::string* paths[2] = {&path, &otherPath};
    for (int i = 0; i < 2; ++i) {
        const HANDLE file =
            CreateFileA(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool known = GetFileInformationByHandle(file, &info[i]) != 0;
        CloseHandle(file);
        if (!known) {
            return false;
        }
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

void StartProgram(const std::string& path)
{
    ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}
