// The updaters' lock: a named mutex per launcher folder, so that two
// updaters never change one folder's files at once.
//
// Uses: files.cpp (the folder's identity), ../shared/run_clock.cpp (the
// run's deadline), clock.cpp, stops.cpp (a stop cuts the wait short),
// held.cpp (let go of with the lock), identity.h and Win32.

#include "layer.h"

#include <cstdio>
#include <cstring>

UpdatersLock WaitForOtherUpdaters(const std::string& oldFile)
{
    // A named mutex for the launcher's folder: the system releases it when
    // its owner ends, however it ends, and it leaves no file behind. It is
    // named by the folder's identity, so that every spelling of its path
    // (another drive letter, a short name, \\?\) meets the same lock, and
    // lives in the global namespace, so that other sessions meet it too.
    // The volume's serial number is left out of it: Wine shows one folder
    // with another serial through each drive letter. A folder on another
    // volume with the same file ID only shares the wait.
    const std::string folderPath = FullFolderOf(oldFile);
    const DWORD attributes = GetFileAttributesA(folderPath.c_str());
    const FileIdentity folder = IdentityAt(folderPath);
    if (!folder.known || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {noFolder, 0, 0};
    }
    char name[80] = "Global\\Kestrin updater ";
    for (const BYTE byte : folder.id.Identifier) {
        std::snprintf(name + std::strlen(name), sizeof name - std::strlen(name), "%02x", byte);
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        mutex = CreateMutexA(nullptr, FALSE, name + sizeof "Global\\" - 1);
    }
    if (mutex == nullptr) {
        return {cannotLock, 0, 0};
    }
    // Another updater holds it for a second or two. Whatever holds it longer
    // is no updater of ours, and must not hang the run.
    const HANDLE awaited[] = {mutex, StopEvent()};
    const std::int64_t left = GiveUpTime() - MicrosecondsNow();
    const DWORD waited = WaitForMultipleObjects(2, awaited, FALSE, left > 0 ? static_cast<DWORD>(left / 1000) : 0);
    StopIfRequested();
    // WAIT_ABANDONED: the previous holder died; the lock is ours all the same.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED_0) {
        CloseHandle(mutex);
        return {waited == WAIT_TIMEOUT ? lockTimedOut : cannotLock, 0, 0};
    }
    return {locked, reinterpret_cast<std::intptr_t>(mutex), 0};
}

void LetOthersIn(UpdatersLock& lock)
{
    LetGoOfAll();
    if (lock.handle != 0) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(lock.handle);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        lock.handle = 0;
    }
}
