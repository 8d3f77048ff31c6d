// The platform layer on Windows, with the calls the program was made for:
// Sleep (as a wait that a stop request cuts short), the runtime's remove,
// CopyFileA (as CopyFileExA, for the same reason) and ShellExecuteA.

#include "platform.h"

#include <cstdio>
#include <ctime>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace {

// Set by the console control handler; the main thread acts on it.
HANDLE stopRequested = nullptr;

// The staging file while it exists, so that a stop can remove it.
std::string stagingToRemove;

// The updaters' lock, once held.
HANDLE updatersLock = nullptr;

// Set while stop requests are held.
bool holding = false;

// The thread that ran the handler for Ctrl+C or Ctrl+Break.
PVOID handlerThread = nullptr;

// Runs on a thread of its own when Ctrl+C or Ctrl+Break is pressed or the
// console closes. It only records the request: the main thread acts on it at
// its next safe point, so that no line is written twice and no file is left
// half changed. Returning would end the process at once after a close, so the
// handler waits there for the main thread to end it (Windows allows about
// five seconds; the window is two renames long).
BOOL WINAPI RecordStop(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        SetEvent(stopRequested);
        Sleep(INFINITE);
    }
    // The main thread lets this thread end before it ends the process: Wine
    // kills a process outright that ends while such a thread is starting.
    HANDLE self = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, SYNCHRONIZE,
                    FALSE, 0);
    if (HANDLE earlier = InterlockedExchangePointer(&handlerThread, self)) {
        CloseHandle(earlier);
    }
    SetEvent(stopRequested);
    return TRUE;
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

// What the system knows of the file or folder at path, without following a
// link at its end when openLink is set.
bool Identify(const std::string& path, BY_HANDLE_FILE_INFORMATION& info, bool openLink = false)
{
    const HANDLE file = CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | (openLink ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
        nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& one, const BY_HANDLE_FILE_INFORMATION& other)
{
    return one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
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

// The path the system gives the file or folder at path once every link and
// junction is followed; empty when it cannot.
std::string FinalPath(const std::string& path)
{
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "";
    }
    char finalPath[MAX_PATH * 4];
    const DWORD length = GetFinalPathNameByHandleA(file, finalPath, sizeof finalPath, 0);
    CloseHandle(file);
    return length > 0 && length < sizeof finalPath ? finalPath : "";
}

// A link to a file elsewhere, which the system would move in its place (Wine
// renames a Unix symbolic link's target): the file that opens at path is not
// the entry of that name in its folder.
bool LeadsElsewhere(const std::string& path, const std::string& folder)
{
    WIN32_FIND_DATAA entry;
    const HANDLE found = FindFirstFileA(path.c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(found);
    std::string expected = FinalPath(folder);
    if (!expected.empty() && expected.back() != '\\') {
        expected += '\\';
    }
    return lstrcmpiA(FinalPath(path).c_str(), (expected + entry.cFileName).c_str()) != 0;
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

DWORD CALLBACK CancelOnStop(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                            DWORD, HANDLE, HANDLE, LPVOID)
{
    return WaitForSingleObject(stopRequested, 0) == WAIT_OBJECT_0 ? PROGRESS_CANCEL
                                                                   : PROGRESS_CONTINUE;
}

// The full path of oldFile's folder, with its trailing separator; empty when
// it has none.
std::string FullFolderOf(const std::string& oldFile)
{
    char fullPath[MAX_PATH * 4];
    char* fileName = nullptr;
    const DWORD length =
        GetFullPathNameA(oldFile.c_str(), static_cast<DWORD>(sizeof fullPath), fullPath, &fileName);
    if (length == 0 || length >= sizeof fullPath || fileName == nullptr) {
        return "";
    }
    return std::string(fullPath, fileName);
}

} // namespace

void SurviveFailedWrites()
{
    // A drive that is not ready fails the call instead of waiting on a
    // dialog box nobody may be there to answer.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(RecordStop, TRUE);
}

void StopIfRequested()
{
    if (holding || WaitForSingleObject(stopRequested, 0) != WAIT_OBJECT_0) {
        return;
    }
    if (!stagingToRemove.empty()) {
        RemoveHelperFile(stagingToRemove);
    }
    if (HANDLE handler = InterlockedExchangePointer(&handlerThread, nullptr)) {
        WaitForSingleObject(handler, 1000);
        CloseHandle(handler);
    }
    // The status Windows gives a program that Ctrl+C ended.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

std::int64_t MicrosecondsNow()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency.QuadPart * 1000000 +
           now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

void PauseUntil(std::int64_t deadline)
{
    const std::int64_t left = deadline - MicrosecondsNow();
    const DWORD milliseconds = left > 0 ? static_cast<DWORD>((left + 999) / 1000) : 0;
    if (holding) {
        Sleep(milliseconds);
    } else {
        WaitForSingleObject(stopRequested, milliseconds);
    }
    StopIfRequested();
}

void PauseMilliseconds(unsigned milliseconds)
{
    PauseUntil(MicrosecondsNow() + static_cast<std::int64_t>(milliseconds) * 1000);
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

LockResult WaitForOtherUpdaters(const std::string& oldFile)
{
    // A named mutex for the launcher's folder: the system releases it when
    // its owner ends, however it ends, and it leaves no file behind. It is
    // named by the folder's identity, so that every spelling of its path
    // (another drive letter, a short name, \\?\) meets the same lock, and
    // lives in the global namespace, so that other sessions meet it too.
    BY_HANDLE_FILE_INFORMATION folder;
    if (!Identify(FullFolderOf(oldFile), folder) ||
        !(folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return noFolder;
    }
    char name[80];
    std::snprintf(name, sizeof name, "Global\\Kestrin updater %08lx-%08lx%08lx",
                  folder.dwVolumeSerialNumber, folder.nFileIndexHigh, folder.nFileIndexLow);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        mutex = CreateMutexA(nullptr, FALSE, name + sizeof "Global\\" - 1);
    }
    if (mutex == nullptr) {
        return cannotLock;
    }
    // Another updater holds it for a second or two. Whatever holds it longer
    // is no updater of ours, and must not hang the run.
    const HANDLE awaited[] = {mutex, stopRequested};
    const DWORD waited = WaitForMultipleObjects(2, awaited, FALSE, 10000);
    StopIfRequested();
    // WAIT_ABANDONED: the previous holder died; the lock is ours all the same.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED_0) {
        CloseHandle(mutex);
        return waited == WAIT_TIMEOUT ? lockTimedOut : cannotLock;
    }
    updatersLock = mutex;
    return locked;
}

void ReleaseOtherUpdaters()
{
    if (updatersLock != nullptr) {
        ReleaseMutex(updatersLock);
        CloseHandle(updatersLock);
        updatersLock = nullptr;
    }
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
            (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && !LeadsElsewhere(oldFile, FullFolderOf(oldFile))));
}

bool StageCopy(const std::string& newFile, const std::string& stagingFile,
               const std::string& permissionsOf)
{
    // The old launcher's only name: once it is moved aside, there is nothing
    // left to copy. A second hard link of it is a copy like any other.
    BY_HANDLE_FILE_INFORMATION source;
    BY_HANDLE_FILE_INFORMATION old;
    if (!IsRegularFile(newFile) || !Identify(newFile, source) ||
        (Identify(permissionsOf, old, true) && SameIdentity(source, old) && old.nNumberOfLinks == 1)) {
        return false;
    }
    // Never over an existing file: the helper's name is the run's own.
    if (!CopyFileExA(newFile.c_str(), stagingFile.c_str(), CancelOnStop, nullptr, nullptr,
                     COPY_FILE_FAIL_IF_EXISTS)) {
        if (GetLastError() != ERROR_FILE_EXISTS) {
            RemoveHelperFile(stagingFile);
        }
        return false;
    }
    stagingToRemove = stagingFile;
    // The copy takes a download's read-only attribute along, which would keep
    // it from being flushed. The replaced launcher keeps the old one's
    // attributes (read-only, hidden), as a launcher installed by hand would
    // have them.
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_ARCHIVE;
    const DWORD oldAttributes = GetFileAttributesA(permissionsOf.c_str());
    const DWORD attributes = oldAttributes != INVALID_FILE_ATTRIBUTES && (oldAttributes & kept)
                                 ? oldAttributes & kept
                                 : FILE_ATTRIBUTE_NORMAL;
    const bool staged = SetFileAttributesA(stagingFile.c_str(), FILE_ATTRIBUTE_NORMAL) &&
                        FlushToDisk(stagingFile) &&
                        SetFileAttributesA(stagingFile.c_str(), attributes) &&
                        WaitForSingleObject(stopRequested, 0) != WAIT_OBJECT_0;
    if (!staged) {
        RemoveHelperFile(stagingFile);
    }
    return staged;
}

void HoldStopRequests()
{
    // The console control handler only records a stop; until released, the
    // main thread does not look at it.
    holding = true;
}

void ReleaseStopRequests()
{
    holding = false;
}

AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile)
{
    const DWORD attributes = GetFileAttributesA(oldFile.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return IsMissing(GetLastError()) ? nothingThere : cannotMove;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || InUse(oldFile)) {
        return cannotMove;
    }
    return RenameWithoutReplacing(oldFile, backupFile) ? movedAside : cannotMove;
}

bool SwapIntoPlace(const std::string&, const std::string&, const std::string&)
{
    // Windows has no call that swaps two names.
    return false;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move never overwrites anything;
    // written through, it lasts through a power cut once it returns.
    const bool renamed = MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    if (renamed && from == stagingToRemove) {
        stagingToRemove.clear();
    }
    return renamed;
}

void FlushFolder(const std::string&)
{
    // Each rename was written through already.
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
    if (path == stagingToRemove) {
        stagingToRemove.clear();
    }
}

bool FileThere(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameFile(const std::string& path, const std::string& otherPath)
{
    BY_HANDLE_FILE_INFORMATION one;
    BY_HANDLE_FILE_INFORMATION other;
    return Identify(path, one) && Identify(otherPath, other) && SameIdentity(one, other);
}

bool StartProgram(const std::string& path)
{
    // A value above 32 means success.
    return reinterpret_cast<INT_PTR>(
               ShellExecuteA(nullptr, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}
