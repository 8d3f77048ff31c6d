// Kestrin: puts a new version of a launcher in place of the old one and starts
// it again. Started as "Kestrin <oldfile> <newfile>" by a launcher that is
// closing; every step is reported on a timestamped console line.
//
// The old launcher is never lost: it is moved aside rather than deleted, the
// new one is copied beside it and renamed into place in one step, and any
// failure puts the old one back.

#include "log.h"
#include "platform.h"

#include <iostream>
#include <string>

namespace {

const int exitSuccess = 0;
const int exitUsage = 1;
const int exitUpdateFailed = 2;

// Long enough to read the error before a console window closes.
const unsigned errorPauseMilliseconds = 2000;

int FailUpdate(const std::string& message)
{
    Log("Error", message);
    PauseMilliseconds(errorPauseMilliseconds);
    return exitUpdateFailed;
}

// A run killed half way leaves its helper files behind. The launcher's path
// only ever holds a complete file, so when it is there, the leftovers are
// redundant; when it is not, the backup is the old launcher and goes back.
// Only safe while holding the updaters' lock: otherwise these could be the
// files of a run still in progress. A download that happens to bear a
// helper's name is no leftover.
void ClearLeftoversOfKilledRun(const std::string& oldFile, const std::string& newFile,
                               const std::string& backupFile, const std::string& stagingFile)
{
    if (PathTaken(stagingFile) && !SameFile(stagingFile, newFile)) {
        RemoveHelperFile(stagingFile);
    }
    if (PathTaken(backupFile) && !SameFile(backupFile, newFile) &&
        !PutBack(backupFile, oldFile) && PathTaken(oldFile)) {
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

    const std::string oldFile = argv[1];
    const std::string newFile = argv[2];
    // Beside the launcher, so that every move is a rename within one folder.
    const std::string backupFile = oldFile + "~kestrin-backup";
    const std::string stagingFile = oldFile + "~kestrin-staging";

    Log("Info", "Waiting for launcher to close...");
    PauseMilliseconds(500);

    const bool locked = WaitForOtherUpdaters(oldFile);
    DeferInterruptions();
    if (locked) {
        ClearLeftoversOfKilledRun(oldFile, newFile, backupFile, stagingFile);
    }

    Log("Delete", "Trying to remove old launcher: " + oldFile);
    const AsideResult aside = MoveAside(oldFile, backupFile);
    if (aside == cannotMove) {
        AllowInterruptions();
        return FailUpdate("Failed to remove old launcher!");
    }
    Log("Success", "Old launcher removed.");

    Log("Move", "Renaming " + newFile + " -> " + oldFile);
    const std::string permissionsOf = aside == movedAside ? backupFile : "";
    if (!CopyIntoPlace(newFile, stagingFile, oldFile, permissionsOf)) {
        if (aside == movedAside) {
            PutBack(backupFile, oldFile);
        }
        AllowInterruptions();
        return FailUpdate("Failed to move new launcher!");
    }
    RemoveFile(newFile);
    if (aside == movedAside) {
        RemoveHelperFile(backupFile);
    }
    AllowInterruptions();

    Log("Success", "New launcher renamed successfully.");
    Log("Done", "Update finished successfully!");
    std::cout << "\n=============================================\n";

    PauseMilliseconds(500);
    Log("Run", "Starting " + oldFile);
    PauseMilliseconds(1000);
    StartProgram(oldFile);
    return exitSuccess;
}
