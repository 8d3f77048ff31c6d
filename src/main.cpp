// Kestrin: puts a new version of a launcher in place of the old one and starts
// it again. Started as "Kestrin <oldfile> <newfile>" by a launcher that is
// closing; every step is reported on a timestamped console line.
//
// The old launcher is never lost. While the launcher closes, the new one is
// copied beside it and flushed to the disk; then the two swap names, in one
// step where the system can, else by two renames between which alone the
// launcher's path is empty. Any failure puts the old launcher back.

#include "helper_files.h"
#include "log.h"
#include "platform.h"

#include <cstdint>
#include <iostream>
#include <string>

namespace {

const int exitSuccess = 0;
const int exitUsage = 1;
const int exitUpdateFailed = 2;
const int exitNotStarted = 3;

// Long enough to read the error before a console window closes.
const unsigned errorPauseMilliseconds = 2000;

int FailUpdate(const std::string& message)
{
    // Nothing is left to guard: other updaters need not wait for the pause.
    ReleaseOtherUpdaters();
    Log("Error", message);
    PauseMilliseconds(errorPauseMilliseconds);
    return exitUpdateFailed;
}

// A run killed half way leaves its helper files behind. The launcher's path
// only ever holds a complete file, so when it is there, the leftovers are
// redundant; when it is not, the backup is the old launcher and goes back.
// Only safe while holding the updaters' lock: otherwise these could be the
// files of a run still in progress. Helper names never name newFile.
void ClearLeftoversOfKilledRun(const std::string& oldFile, const std::string& backupFile,
                               const std::string& stagingFile)
{
    if (FileThere(stagingFile)) {
        RemoveHelperFile(stagingFile);
    }
    if (FileThere(backupFile) && !RenameWithoutReplacing(backupFile, oldFile) &&
        FileThere(oldFile)) {
        RemoveHelperFile(backupFile);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    SurviveFailedWrites();

    std::cout << "=============================================\n";
    std::cout << "        >> Launcher Kestrin v1.0 <<\n";
    std::cout << "=============================================\n\n";

    if (argc < 3) {
        Log("Error", "Usage: Kestrin.exe <oldfile> <newfile>");
        PauseMilliseconds(errorPauseMilliseconds);
        return exitUsage;
    }

    // Every text the run writes is made before the first file changes, so
    // that no failure to make one can stop the run half way.
    const std::string oldFile = argv[1];
    const std::string newFile = argv[2];
    const std::string backupFile = HelperFile(oldFile, newFile, "backup");
    const std::string stagingFile = HelperFile(oldFile, newFile, "staging");
    const std::string deleteMessage = "Trying to remove old launcher: " + oldFile;
    const std::string moveMessage = "Renaming " + newFile + " -> " + oldFile;
    const std::string runMessage = "Starting " + oldFile;

    // The launcher closes meanwhile; the copy touches nothing of it.
    Log("Info", "Waiting for launcher to close...");
    const std::int64_t launcherClosed = MicrosecondsNow() + 500000;
    const LockResult lock = NamesAFile(oldFile) ? WaitForOtherUpdaters(oldFile) : noFolder;
    const bool mayProceed = lock == locked || lock == cannotLock;
    bool folderAllows = false;
    bool staged = false;
    if (mayProceed) {
        if (lock == locked) {
            ClearLeftoversOfKilledRun(oldFile, backupFile, stagingFile);
        }
        folderAllows = FolderAllowsUpdate(oldFile);
        staged = folderAllows && StageCopy(newFile, stagingFile, oldFile);
    }
    PauseUntil(launcherClosed);

    Log("Delete", deleteMessage);
    if (!mayProceed || (!folderAllows && FileThere(oldFile))) {
        if (staged) {
            RemoveHelperFile(stagingFile);
        }
        return FailUpdate("Failed to remove old launcher!");
    }

    HoldStopRequests();
    bool placed = staged && SwapIntoPlace(stagingFile, oldFile, backupFile);
    const AsideResult aside = placed ? movedAside : MoveAside(oldFile, backupFile);
    const std::int64_t movedAt = SecondsNow();
    if (!placed && aside != cannotMove) {
        placed = staged && RenameWithoutReplacing(stagingFile, oldFile);
        if (!placed && aside == movedAside) {
            RenameWithoutReplacing(backupFile, oldFile);
        }
    }
    // Made to last, and the download gone, before a stop can act: a download
    // still there tells the launcher that no update happened.
    if (placed) {
        FlushFolder(oldFile);
        if (!SameFile(newFile, oldFile)) {
            RemoveFile(newFile);
        }
    }
    ReleaseStopRequests();
    if (!placed && staged) {
        RemoveHelperFile(stagingFile);
    }
    StopIfRequested();

    if (aside == cannotMove) {
        return FailUpdate("Failed to remove old launcher!");
    }
    Log("Success", "Old launcher removed.", movedAt);
    Log("Move", moveMessage, movedAt);
    if (!placed) {
        return FailUpdate("Failed to move new launcher!");
    }

    Log("Success", "New launcher renamed successfully.");
    Log("Done", "Update finished successfully!");
    std::cout << "\n=============================================\n";

    // The backup goes while the pause runs; it costs a large launcher's
    // freeing, not the user's time.
    const std::int64_t pauseEnds = MicrosecondsNow() + 500000;
    if (aside == movedAside) {
        RemoveHelperFile(backupFile);
    }
    ReleaseOtherUpdaters();
    PauseUntil(pauseEnds);
    // Once the line says the launcher starts, a stop request waits until it
    // has.
    HoldStopRequests();
    Log("Run", runMessage);
    PauseMilliseconds(1000);
    const bool started = StartProgram(oldFile);
    ReleaseStopRequests();
    StopIfRequested();
    if (!started) {
        Log("Error", "Failed to start new launcher!");
        PauseMilliseconds(errorPauseMilliseconds);
        return exitNotStarted;
    }
    return exitSuccess;
}
