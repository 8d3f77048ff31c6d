// The updaters' lock: one run at a time changes files in a launcher's
// folder, and the folder's descriptor the lock holds is where the run's
// names are resolved meanwhile.
//
// Uses: FolderOf, SetLockedFolder, ClearLockedFolder (places);
// MicrosecondsNow (clock); GiveUpTime and PauseMilliseconds
// (src/shared/run_clock.cpp, over the clock).

#include "layer.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

UpdatersLock WaitForOtherUpdaters(const std::string& oldFile)
{
    // The lock is on the folder, which is there before, during and after the
    // update, and the system drops it when the process ends, however it ends.
    const std::string folderPath = FolderOf(oldFile);
    const int folder = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        struct stat info;
        return {errno == EACCES && stat(folderPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? cannotLock
                                                                                                 : noFolder,
                -1, -1};
    }
    // Another updater holds it for a second or two. Whatever holds it longer
    // is no updater of ours, and must not hang the run.
    while (flock(folder, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || MicrosecondsNow() >= GiveUpTime()) {
            close(folder);
            return {errno == EWOULDBLOCK ? lockTimedOut : cannotLock, -1, -1};
        }
        PauseMilliseconds(10);
    }
    SetLockedFolder(folder, oldFile);
    return {locked, folder, -1};
}

// A running program can be replaced here: nothing to wait for.
bool WaitForLauncherToClose(const std::string&)
{
    return true;
}

// Only a lock whose result is locked holds anything: main makes one of
// another result with no descriptors at all.
void CallOffBackgroundRemoval(UpdatersLock& lock)
{
    if (lock.result == locked && lock.removal >= 0) {
        close(static_cast<int>(lock.removal));
        lock.removal = -1;
    }
}

void LetOthersIn(UpdatersLock& lock)
{
    CallOffBackgroundRemoval(lock);
    if (lock.result == locked && lock.handle >= 0) {
        close(static_cast<int>(lock.handle));
        lock.handle = -1;
        ClearLockedFolder();
    }
}
