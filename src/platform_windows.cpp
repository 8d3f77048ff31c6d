// The platform layer on Windows, with the calls the program was made for:
// Sleep (as a wait that a stop request cuts short), the runtime's remove,
// CopyFileA (as CopyFileExA, for the same reason) and ShellExecuteA.

#include "platform.h"

#include "program_image.h"

#include <cstdio>
#include <ctime>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace {

// Set by the console control handler; the main thread acts on it.
HANDLE stopRequested = nullptr;

// The helper file a stop removes: the staging file while it exists, the
// backup once the new launcher is in place.
const std::string* helperToRemove = nullptr;

// Until when what other programs hold is waited for.
std::int64_t deadline = 0;

// Files the run holds open with delete access, so that no other program can
// open them without sharing their removal, and so keep them from being
// moved or removed: the old launcher from when it has closed, the staged
// copy from when it is written, the download from when it is copied. The
// path each has now is kept beside it (a pointer to one of the run's texts).
struct HeldFile {
    HANDLE handle;
    const std::string* path;
};
HeldFile heldOld{INVALID_HANDLE_VALUE, nullptr};
HeldFile heldStaging{INVALID_HANDLE_VALUE, nullptr};
HeldFile heldDownload{INVALID_HANDLE_VALUE, nullptr};
const DWORD holdAccess = DELETE | FILE_READ_ATTRIBUTES;

// Set while the old launcher is held alone: no other program can open it,
// so that its name can be replaced in one step (a file that is open, under
// any of its names, cannot be replaced).
bool oldHeldAlone = false;

// Set while the download is held alone, as one on another volume is: its
// name then goes with the run's handle.
bool downloadHeldAlone = false;

// The attributes of a read-only download, which the run lifts before the
// launchers change places and puts back should the download stay; else 0.
DWORD downloadReadOnly = 0;

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
// five seconds; the window is a few renames long, unless another program
// holds a file for a moment).
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

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Tries attempt until it succeeds, or fails for another reason than a
// program that holds the file for a moment (a sharing violation, or "access
// denied", which is also what a file pending deletion answers), or the
// deadline has passed. The pauses grow from 10 to 100 ms; a stop request
// acts in them, unless held.
template <typename Attempt>
bool Retried(Attempt attempt)
{
    for (unsigned pause = 10;; pause = pause < 50 ? pause * 2 : 100) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
            MicrosecondsNow() >= deadline) {
            SetLastError(error);
            return false;
        }
        PauseMilliseconds(pause);
    }
}

// Does step with at least that many microseconds to wait out other
// programs, even past the deadline; the run's deadline is then as it was,
// so that the extra time never lengthens the wait for anything after.
template <typename Step>
void WithTimeOfItsOwn(std::int64_t microseconds, Step step)
{
    const std::int64_t runDeadline = deadline;
    const std::int64_t until = MicrosecondsNow() + microseconds;
    deadline = deadline > until ? deadline : until;
    step();
    deadline = runDeadline;
}

HANDLE OpenRetried(const std::string& path, DWORD access, DWORD flags = 0, DWORD share = shareAll)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    Retried([&] {
        file = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return file;
}

void Release(HeldFile& held)
{
    if (held.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(held.handle);
    }
    held = {INVALID_HANDLE_VALUE, nullptr};
    if (&held == &heldOld) {
        oldHeldAlone = false;
    }
}

// A download that stays is left as it was, read-only if it was.
void LetGoOfDownload()
{
    const std::string* const download = heldDownload.path;
    Release(heldDownload);
    if (download != nullptr && downloadReadOnly != 0) {
        SetFileAttributesA(download->c_str(), downloadReadOnly);
    }
    downloadReadOnly = 0;
    downloadHeldAlone = false;
}

// True once nothing is at path; else false as though another program held
// the name, so that Retried waits for it to go.
bool Gone(const std::string& path)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    return NothingAt(path);
}

HeldFile* HeldAt(const std::string& path)
{
    for (HeldFile* held : {&heldOld, &heldStaging, &heldDownload}) {
        if (held->path != nullptr && *held->path == path) {
            return held;
        }
    }
    return nullptr;
}

bool SetAttributes(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO info{};
    info.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != 0;
}

// FileDispositionInfoEx, which MinGW-w64 declares for newer targets only.
const auto fileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Marks the held file for removal: its name goes at once where the system
// can (Windows 10 version 1709 and later, even while other programs read the
// file), else once every handle to it has closed. Its blocks are freed as
// the last handle closes.
bool MarkForRemoval(const HeldFile& held)
{
    FILE_DISPOSITION_INFO_EX now{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    FILE_DISPOSITION_INFO onClose{TRUE};
    return Retried([&] {
        return SetFileInformationByHandle(held.handle, fileDispositionInfoEx, &now, sizeof now) ||
               SetFileInformationByHandle(held.handle, FileDispositionInfo, &onClose, sizeof onClose);
    });
}

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
    const HANDLE file = OpenRetried(path, GENERIC_READ);
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

// The full path of the folder of the file at path, with its trailing
// separator; empty when it has none.
std::string FullFolderOf(const std::string& path)
{
    char fullPath[MAX_PATH * 4];
    char* fileName = nullptr;
    const DWORD length =
        GetFullPathNameA(path.c_str(), static_cast<DWORD>(sizeof fullPath), fullPath, &fileName);
    if (length == 0 || length >= sizeof fullPath || fileName == nullptr) {
        return "";
    }
    return std::string(fullPath, fileName);
}

// The path the system gives the file or folder that file is open on; empty
// when it cannot.
std::string FinalPathOf(HANDLE file)
{
    char finalPath[MAX_PATH * 4];
    const DWORD length = GetFinalPathNameByHandleA(file, finalPath, sizeof finalPath, 0);
    return length > 0 && length < sizeof finalPath ? finalPath : "";
}

// The same for the file or folder at path once every link and junction is
// followed.
std::string FinalPath(const std::string& path)
{
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "";
    }
    const std::string finalPath = FinalPathOf(file);
    CloseHandle(file);
    return finalPath;
}

// A link to a file elsewhere, which the system would move or remove in its
// place: the file that opens at path (through file, where given, opened
// with FILE_FLAG_OPEN_REPARSE_POINT) is not the entry of that name in its
// folder. Windows opens a symbolic link itself with that flag; Wine opens a
// Unix symbolic link's target all the same, and renames and removes the
// target, never the link.
bool LeadsElsewhere(const std::string& path, HANDLE file = INVALID_HANDLE_VALUE)
{
    WIN32_FIND_DATAA entry;
    const HANDLE found = FindFirstFileA(path.c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(found);
    std::string expected = FinalPath(FullFolderOf(path));
    const std::string actual = file != INVALID_HANDLE_VALUE ? FinalPathOf(file) : FinalPath(path);
    // Where the system cannot tell (some network redirectors and virtual
    // file systems), there is nothing to judge by: the file is taken as it is.
    if (expected.empty() || actual.empty()) {
        return false;
    }
    if (expected.back() != '\\') {
        expected += '\\';
    }
    return lstrcmpiA(actual.c_str(), (expected + entry.cFileName).c_str()) != 0;
}

DWORD CALLBACK CancelOnStop(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD,
                            DWORD, HANDLE, HANDLE, LPVOID)
{
    return WaitForSingleObject(stopRequested, 0) == WAIT_OBJECT_0 ? PROGRESS_CANCEL
                                                                   : PROGRESS_CONTINUE;
}

// Up to length bytes of the open file at offset: fewer at its end.
std::string ReadAt(HANDLE file, std::uint64_t offset, std::size_t length)
{
    std::string bytes(length, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, &at)) {
        got = 0;
    }
    bytes.resize(got);
    return bytes;
}

// The machines whose programs this system runs: x86 always, and the
// system's own (x64, ARM64).
std::vector<unsigned> RunnableMachines()
{
    std::vector<unsigned> machines{IMAGE_FILE_MACHINE_I386};
    using IsWow64Process2Call = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0;
    USHORT native = 0;
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &process, &native)) {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        native = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? IMAGE_FILE_MACHINE_AMD64
                 : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? IMAGE_FILE_MACHINE_ARM64
                                                                                  : 0;
    }
    if (native == IMAGE_FILE_MACHINE_AMD64 || native == IMAGE_FILE_MACHINE_ARM64) {
        machines.push_back(native);
    }
    return machines;
}

ProgramKind KindOf(HANDLE file)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        return brokenProgram;
    }
    const ReadBytes read = [file](std::uint64_t offset, std::size_t length) { return ReadAt(file, offset, length); };
    return PeProgramKind(read, static_cast<std::uint64_t>(size.QuadPart), RunnableMachines());
}

// Whether the open file may replace the old launcher. One that cannot be
// read is taken for a program image.
bool MayInstall(HANDLE file, const std::string& oldFile)
{
    const HANDLE old = CreateFileA(oldFile.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool hasOld = old != INVALID_HANDLE_VALUE || !IsMissing(GetLastError());
    const ProgramKind oldKind = old != INVALID_HANDLE_VALUE ? KindOf(old) : wholeProgram;
    if (old != INVALID_HANDLE_VALUE) {
        CloseHandle(old);
    }
    return MayReplace(KindOf(file), hasOld, oldKind);
}

} // namespace

void SurviveFailedWrites()
{
    // A drive that is not ready fails the call instead of waiting on a
    // dialog box nobody may be there to answer. A program that crashes ends
    // at once instead of waiting on the system's crash report: the started
    // launcher inherits this, so that a new launcher that faults at its start
    // is seen to end within the watch.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
    stopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(RecordStop, TRUE);
}

void StopIfRequested()
{
    if (holding || WaitForSingleObject(stopRequested, 0) != WAIT_OBJECT_0) {
        return;
    }
    // What is left to do waits out a file held by another program, briefly,
    // but acts on no stop request again.
    holding = true;
    deadline = MicrosecondsNow();
    if (helperToRemove != nullptr) {
        RemoveHelperFile(*helperToRemove);
    }
    LetOthersIn();
    if (HANDLE handler = InterlockedExchangePointer(&handlerThread, nullptr)) {
        WaitForSingleObject(handler, 1000);
        CloseHandle(handler);
    }
    // The status Windows gives a program that Ctrl+C ended.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

void RemoveOnStop(const std::string& helperFile)
{
    helperToRemove = &helperFile;
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

void GiveUpAt(std::int64_t giveUpAt)
{
    deadline = giveUpAt;
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
    const std::int64_t left = deadline - MicrosecondsNow();
    const DWORD waited = WaitForMultipleObjects(2, awaited, FALSE, left > 0 ? static_cast<DWORD>(left / 1000) : 0);
    StopIfRequested();
    // WAIT_ABANDONED: the previous holder died; the lock is ours all the same.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED_0) {
        CloseHandle(mutex);
        return waited == WAIT_TIMEOUT ? lockTimedOut : cannotLock;
    }
    updatersLock = mutex;
    return locked;
}

bool WaitForLauncherToClose(const std::string& oldFile)
{
    // Launchers (and the helper processes they start from their own file)
    // may take seconds to close, and a virus scanner looks at the image of a
    // program as it ends.
    while (FileThere(oldFile) && InUse(oldFile)) {
        if (MicrosecondsNow() >= deadline) {
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
    heldOld = {OpenRetried(oldFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT, 0), &oldFile};
    oldHeldAlone = heldOld.handle != INVALID_HANDLE_VALUE;
    if (!oldHeldAlone) {
        heldOld = {OpenRetried(oldFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT), &oldFile};
    }
    return heldOld.handle != INVALID_HANDLE_VALUE;
}

void LetOthersIn()
{
    Release(heldOld);
    Release(heldStaging);
    LetGoOfDownload();
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
            (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && !LeadsElsewhere(oldFile)));
}

bool StageCopy(const std::string& newFile, const std::string& stagingFile,
               const std::string& permissionsOf, const std::string&)
{
    if (!IsRegularFile(newFile)) {
        return false;
    }
    // A download that is a link is removed as a link (held with
    // FILE_FLAG_OPEN_REPARSE_POINT). One that the system cannot open as a
    // link leads to a file elsewhere, which is not the run's to change.
    const HANDLE link = CreateFileA(newFile.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool elsewhere = link != INVALID_HANDLE_VALUE && LeadsElsewhere(newFile, link);
    if (link != INVALID_HANDLE_VALUE) {
        CloseHandle(link);
    }
    if (elsewhere) {
        return false;
    }
    // Never over an existing file: the helper's name is the run's own. A
    // download that another program holds for a moment is waited for.
    const bool copied = Retried([&] {
        if (CopyFileExA(newFile.c_str(), stagingFile.c_str(), CancelOnStop, nullptr, nullptr,
                        COPY_FILE_FAIL_IF_EXISTS)) {
            return true;
        }
        // Whatever a failed copy left is the run's own, unless the name was
        // taken before.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            DeleteFileA(stagingFile.c_str());
        }
        SetLastError(error);
        return false;
    });
    if (!copied) {
        return false;
    }
    RemoveOnStop(stagingFile);
    // The copy takes a download's read-only attribute along; it is lifted
    // for the flush, which needs to write. The replaced launcher keeps the
    // old one's attributes (read-only, hidden), as a launcher installed by
    // hand would have them. Held from here on, the staged copy cannot be
    // taken by a scanner that opens new files as they close.
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_ARCHIVE;
    const DWORD oldAttributes = GetFileAttributesA(permissionsOf.c_str());
    const DWORD attributes = oldAttributes != INVALID_FILE_ATTRIBUTES ? oldAttributes & kept : 0;
    bool staged = Retried([&] { return SetFileAttributesA(stagingFile.c_str(), FILE_ATTRIBUTE_NORMAL) != 0; });
    heldStaging = {staged ? OpenRetried(stagingFile, GENERIC_READ | GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES)
                          : INVALID_HANDLE_VALUE,
                   &stagingFile};
    // The download is held with delete access from here on, so that no
    // other program can keep it once the new launcher is in place. A
    // read-only one could not be removed: its attribute is lifted first.
    const DWORD downloadAttributes = GetFileAttributesA(newFile.c_str());
    const bool readOnly = downloadAttributes != INVALID_FILE_ATTRIBUTES &&
                          (downloadAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (staged && readOnly &&
        Retried([&] { return SetFileAttributesA(newFile.c_str(), downloadAttributes & ~FILE_ATTRIBUTE_READONLY) != 0; })) {
        downloadReadOnly = downloadAttributes;
    }
    const bool removable = !readOnly || downloadReadOnly != 0;
    heldDownload.path = &newFile;
    if (staged && removable) {
        // One on another volume cannot be renamed out of the launcher's
        // sight, and its name would outlast its removal while another
        // program reads it: it is held alone, once no other program has it
        // open, so that none can until it is gone.
        BY_HANDLE_FILE_INFORMATION download;
        BY_HANDLE_FILE_INFORMATION folder;
        downloadHeldAlone = !Identify(newFile, download) || !Identify(FullFolderOf(permissionsOf), folder) ||
                            download.dwVolumeSerialNumber != folder.dwVolumeSerialNumber;
        heldDownload.handle = OpenRetried(newFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT,
                                          downloadHeldAlone ? 0 : shareAll);
    }
    staged = heldStaging.handle != INVALID_HANDLE_VALUE && heldDownload.handle != INVALID_HANDLE_VALUE &&
             MayInstall(heldStaging.handle, permissionsOf) && FlushFileBuffers(heldStaging.handle) && SetAttributes(heldStaging.handle, attributes) &&
             WaitForSingleObject(stopRequested, 0) != WAIT_OBJECT_0;
    if (!staged) {
        LetGoOfDownload();
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
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return cannotMove;
    }
    return RenameWithoutReplacing(oldFile, backupFile) ? movedAside : cannotMove;
}

// Holds the old launcher again as the others are held, so that it can be
// moved aside.
void ShareHeldOld()
{
    const std::string* const path = heldOld.path;
    Release(heldOld);
    heldOld = {OpenRetried(*path, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT), path};
}

bool SwapIntoPlace(const std::string& stagingFile, const std::string& oldFile,
                   const std::string& backupFile)
{
    // Windows has no call that swaps two names, but the old launcher can
    // have a second name, and a rename can replace a name in one step: the
    // launcher's path is then never empty. Where the file system has no
    // hard links (FAT32, exFAT, some network shares), or another program
    // has the old launcher open, the caller moves it aside in two steps.
    if (heldOld.path != &oldFile || !oldHeldAlone) {
        return false;
    }
    if (!CreateHardLinkA(backupFile.c_str(), oldFile.c_str(), nullptr)) {
        ShareHeldOld();
        return false;
    }
    // A read-only file cannot be replaced; the attribute is lifted from the
    // old launcher (under both its names) and kept on the backup. Changing
    // attributes is no use of the file that its holder's sharing forbids.
    BY_HANDLE_FILE_INFORMATION old;
    const DWORD attributes = GetFileInformationByHandle(heldOld.handle, &old) ? old.dwFileAttributes : 0;
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
        SetFileAttributesA(oldFile.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    // The old launcher must be open nowhere for its name to be replaced,
    // not even here. The staged copy shares everything with the rename.
    Release(heldOld);
    const bool placed = Retried([&] {
        return MoveFileExA(stagingFile.c_str(), oldFile.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
    if (readOnly) {
        SetFileAttributesA((placed ? backupFile : oldFile).c_str(), attributes);
    }
    if (!placed) {
        // Nothing changed but the second name, which goes again; the old
        // launcher is held as before, to be moved aside.
        RemoveHelperFile(backupFile);
        heldOld.path = &oldFile;
        ShareHeldOld();
        return false;
    }
    Release(heldStaging);
    if (helperToRemove != nullptr && *helperToRemove == stagingFile) {
        helperToRemove = nullptr;
    }
    return true;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move never overwrites anything;
    // written through, it lasts through a power cut once it returns. A file
    // the run holds shares everything with the move.
    // The old launcher going back (held under the backup's name) waits out a
    // program that puts a file at its path, as it would one holding a file.
    const bool puttingBack = heldOld.path == &from;
    // Two names of one file: Wine would "rename" one onto the other as
    // POSIX does, and keep both.
    if (SameFile(from, to)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
    }
    bool renamed = Retried([&] {
        if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        const bool taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
        SetLastError(puttingBack && taken ? ERROR_SHARING_VIOLATION : error);
        return false;
    });
    // Still taken past that: the launcher's path is the old launcher's,
    // whatever else was put there.
    renamed = renamed || (puttingBack && MoveFileExA(from.c_str(), to.c_str(),
                                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    if (renamed && helperToRemove != nullptr && from == *helperToRemove) {
        helperToRemove = nullptr;
    }
    if (HeldFile* const held = renamed ? HeldAt(from) : nullptr) {
        // Once in place, the new launcher is no longer held: it is to be
        // started. The others are held again under their new names, before
        // the old handle lets go (Wine removes a file through a handle only
        // by the name it was opened with).
        if (held == &heldStaging) {
            Release(heldStaging);
        } else {
            const HANDLE again = CreateFileA(to.c_str(), holdAccess, shareAll, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            CloseHandle(held->handle);
            *held = {again, &to};
        }
    }
    return renamed;
}

void FlushFolder(const std::string&)
{
    // Each rename was written through already.
}

void RemoveDownload(const std::string& newFile, const std::string& spareName)
{
    if (heldDownload.path != &newFile) {
        std::remove(newFile.c_str());
        return;
    }
    // Where a name outlasts its removal while another program reads the
    // file, the download's name is first moved out of the launcher's sight.
    // One held alone has no reader to outlast. It lies on another volume,
    // where it cannot take the spare name: its name goes with its handle,
    // which is let go of at once.
    FILE_DISPOSITION_INFO_EX now{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    const bool nameGoesNow =
        !downloadHeldAlone &&
        (SetFileInformationByHandle(heldDownload.handle, fileDispositionInfoEx, &now, sizeof now) ||
         RenameWithoutReplacing(newFile, spareName));
    // Its last handle, whose closing frees the blocks, is kept for
    // FreeDownload where the name has gone already.
    if (!MarkForRemoval(heldDownload) || !nameGoesNow) {
        Release(heldDownload);
    }
    downloadHeldAlone = false;
    downloadReadOnly = 0;
    // Status 0 says that the download is gone: its name is checked.
    Retried([&] { return Gone(newFile); });
}

void FreeDownload(const std::string&)
{
    // A program that reads the download keeps it until it lets go.
    Release(heldDownload);
}

void PrepareBackgroundRemoval(const std::string&)
{
}

void RemoveHelperFileInBackground(const std::string& path)
{
    RemoveHelperFile(path);
}

void RemoveHelperFile(const std::string& path)
{
    // A helper file that another program holds is waited for two seconds
    // more, even past the deadline; one held longer still is left for the
    // next run to clear.
    WithTimeOfItsOwn(2000000, [&] {
        HeldFile* held = HeldAt(path);
        HeldFile opened{INVALID_HANDLE_VALUE, &path};
        if (held == nullptr) {
            opened.handle = OpenRetried(path, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT);
            held = &opened;
        }
        BY_HANDLE_FILE_INFORMATION info;
        if (held->handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(held->handle, &info)) {
            // The backup keeps the old launcher's attributes; read-only must
            // not keep it from going, nor another name of the file from
            // staying read-only.
            const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
            const HANDLE attributes =
                readOnly ? CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr)
                         : INVALID_HANDLE_VALUE;
            if (readOnly) {
                SetFileAttributesA(path.c_str(), info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            }
            MarkForRemoval(*held);
            if (attributes != INVALID_HANDLE_VALUE) {
                if (info.nNumberOfLinks > 1) {
                    SetAttributes(attributes, info.dwFileAttributes);
                }
                CloseHandle(attributes);
            }
        }
        Release(*held);
        // A file that another program still reads, sharing its removal,
        // keeps its name until that program lets go (Windows before 10
        // version 1709, Wine): the name is checked, and waited for.
        Retried([&] { return Gone(path); });
    });
    if (helperToRemove != nullptr && path == *helperToRemove) {
        helperToRemove = nullptr;
    }
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
    BY_HANDLE_FILE_INFORMATION one;
    BY_HANDLE_FILE_INFORMATION other;
    return Identify(path, one) && Identify(otherPath, other) && SameIdentity(one, other);
}

Launch StartProgram(const std::string& path)
{
    // The shell's "open", without the error box that would wait for a click
    // where nobody may be there to give it. A scanner that looks at the new
    // launcher as it appears is waited out for two seconds, whatever the
    // run's bound: stop requests wait meanwhile.
    const std::int64_t bound = deadline;
    deadline = MicrosecondsNow() + 2000000;
    SHELLEXECUTEINFOA start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC | SEE_MASK_NOCLOSEPROCESS;
    start.lpVerb = "open";
    start.lpFile = path.c_str();
    start.nShow = SW_SHOWNORMAL;
    const bool started = Retried([&] { return ShellExecuteExA(&start) != FALSE; });
    const DWORD error = GetLastError();
    deadline = bound;
    // What the loader says of an image it will not run: no program, a
    // damaged one, or one for another machine.
    switch (started ? ERROR_SUCCESS : error) {
    case ERROR_SUCCESS:
        return {startedProgram, reinterpret_cast<std::intptr_t>(start.hProcess)};
    case ERROR_BAD_FORMAT:
    case ERROR_INVALID_MODULETYPE:
    case ERROR_INVALID_EXE_SIGNATURE:
    case ERROR_EXE_MARKED_INVALID:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return {notTakenAsProgram, 0};
    default:
        return {startFailed, 0};
    }
}

namespace {

// How long a debugger that reports a crash (Wine's prints a backtrace) may
// hold the crashed launcher before it is taken as running after all.
const std::int64_t crashReportMicroseconds = 30000000;

// How often the watch looks for such a debugger.
const DWORD debuggerLookMilliseconds = 50;

DWORD MillisecondsUntil(std::int64_t deadline)
{
    const std::int64_t left = deadline - MicrosecondsNow();
    return left > 0 ? static_cast<DWORD>((left + 999) / 1000) : 0;
}

bool BeingDebugged(HANDLE process)
{
    BOOL debugged = FALSE;
    return CheckRemoteDebuggerPresent(process, &debugged) && debugged;
}

} // namespace

StartResult WatchLaunch(const Launch& launch, std::int64_t deadline)
{
    const HANDLE launcher = reinterpret_cast<HANDLE>(launch.process);
    if (launch.result != startedProgram || launcher == nullptr) {
        return launch.result;
    }
    // A window waiting for input has run. A console program has no input
    // queue, and the call fails at once; Wine's also returns as the program
    // ends. Then the launcher's end, or a stop request, is waited for.
    const bool idle = WaitForInputIdle(launcher, MillisecondsUntil(deadline)) == 0;
    const HANDLE awaited[] = {launcher, stopRequested};
    const DWORD count = holding ? 1 : 2;
    // A crash that a debugger reports keeps its process open meanwhile: Wine
    // starts its own where the system would end the process at once. Once
    // one is seen, the end is waited for well past the watch.
    DWORD woken = WAIT_TIMEOUT;
    bool reported = false;
    for (std::int64_t until = idle ? 0 : deadline; woken == WAIT_TIMEOUT;) {
        const DWORD slice = MillisecondsUntil(until);
        woken = WaitForMultipleObjects(count, awaited, FALSE, slice < debuggerLookMilliseconds ? slice : debuggerLookMilliseconds);
        if (woken == WAIT_TIMEOUT && !reported && BeingDebugged(launcher)) {
            reported = true;
            until = MicrosecondsNow() + crashReportMicroseconds;
        } else if (woken == WAIT_TIMEOUT && MicrosecondsNow() >= until) {
            break;
        }
    }
    DWORD code = STILL_ACTIVE;
    const bool ended = WaitForSingleObject(launcher, 0) == WAIT_OBJECT_0 && GetExitCodeProcess(launcher, &code);
    CloseHandle(launcher);
    StopIfRequested();
    return ended && code >= 0xC0000000 ? endedByFault : startedProgram;
}

bool PutBack(const std::string& backupFile, const std::string& oldFile)
{
    // The launcher that would not start may have the old one's read-only
    // attribute, which a replacing move refuses.
    SetFileAttributesA(oldFile.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!Retried([&] {
            return MoveFileExA(backupFile.c_str(), oldFile.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        })) {
        return false;
    }
    Release(heldOld);
    if (helperToRemove != nullptr && backupFile == *helperToRemove) {
        helperToRemove = nullptr;
    }
    return true;
}

bool PassesAsUpdateOf(const std::string& path, const std::string& launcherPath)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool passes = MayInstall(file, launcherPath);
    CloseHandle(file);
    return passes;
}
