// Kestrin: puts a new version of a launcher in place of the old one and starts
// it again. Started as "Kestrin <oldfile> <newfile>" by a launcher that is
// closing; every step is reported on a timestamped console line.
//
// The old launcher is never lost. While the launcher closes, the new one is
// copied beside it and flushed to the disk; then the two swap names, in one
// step where the system can, else by two renames between which alone the
// launcher's path is empty. Any failure puts the old launcher back, and a
// failure that can be foreseen (a download that could not be removed, a
// launcher that does not close) ends the run before the old one is touched.

#include "helper_files.h"
#include "kestrin_version.h"
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

// How long the run waits for what other programs hold: another updater's
// lock, a launcher that is slow to close, a scanner reading a file.
const std::int64_t patienceMicroseconds = 10000000;

// How long a started launcher is watched before it counts as having run.
// A program that cannot run ends within milliseconds: the loader cannot
// find a library, the interpreter is missing, the first instructions
// fault. A second covers a busy machine and Wine, whose start of a program
// takes a few hundred milliseconds; a launcher that runs is not kept
// waiting, as the watch only delays this program's own end.
const std::int64_t launcherWatchMicroseconds = 1000000;

int FailUpdate(UpdatersLock& lock, const std::string& message)
{
    // Nothing is left to guard: others need not wait for the pause.
    LetOthersIn(lock);
    Log("Error", message);
    PauseMilliseconds(errorPauseMilliseconds);
    return exitUpdateFailed;
}

// A download left as it was tells the launcher that no update happened:
// the old launcher goes back, or where there was none, the new one goes (to
// the staging name, removed with it). True when that was done.
bool UndoSwap(AsideResult aside, const std::string& oldFile, const std::string& backupFile,
              const std::string& stagingFile)
{
    // However long the removal waited, this gets time of its own.
    GiveUpAt(MicrosecondsNow() + patienceMicroseconds);
    return aside == movedAside ? PutBack(backupFile, oldFile) : RenameWithoutReplacing(oldFile, stagingFile);
}

// The download's name did not go, so no success is claimed: message names
// what became of it, and oldLauncherLine, where given, what became of the
// old launcher (a "Move" line where it went back, else an "Error" line).
// Left as it was, the download tells the launcher that no update happened
// (status 2). Marked for removal, it goes once the programs that hold it let
// go: the new launcher stays, not started, the old one at the backup
// (status 3).
int DownloadStayed(UpdatersLock& lock, DownloadState download, const std::string& message,
                   const std::string* oldLauncherLine, bool wentBack)
{
    LetOthersIn(lock);
    Log("Error", message);
    if (oldLauncherLine != nullptr) {
        Log(wentBack ? "Move" : "Error", *oldLauncherLine);
    }
    PauseMilliseconds(errorPauseMilliseconds);
    return download == downloadKept ? exitUpdateFailed : exitNotStarted;
}

// A run killed half way leaves its helper files behind. The staging file
// is never more than a copy. The backup is the old launcher until the new
// one has run: it goes back over whatever stands at the launcher's path,
// unless that would pass the checks as an update of it, and so is a
// launcher that started this run (or is the backup under a second name).
// A download that a killed probe left under its helper name goes back.
// Only safe while holding the updaters' lock: otherwise these could be the
// files of a run still in progress. Helper names never name newFile.
void ClearLeftoversOfKilledRun(const std::string& oldFile, const std::string& newFile,
                               const std::string& backupFile, const std::string& stagingFile,
                               const std::string& probeFile)
{
    if (FileThere(stagingFile)) {
        RemoveHelperFile(stagingFile);
    }
    if (FileThere(probeFile) && !RenameWithoutReplacing(probeFile, newFile)) {
        RemoveHelperFile(probeFile);
    }
    if (!FileThere(backupFile) || RenameWithoutReplacing(backupFile, oldFile) || !FileThere(oldFile)) {
        return;
    }
    if (SameFile(backupFile, oldFile) || PassesAsUpdateOf(oldFile, backupFile)) {
        RemoveHelperFile(backupFile);
    } else {
        PutBack(backupFile, oldFile);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    SurviveFailedWrites();

    std::cout << "=============================================\n";
    std::cout << "        >> Launcher Kestrin v" KESTRIN_VERSION_TEXT " <<\n";
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
    const std::string probeFile = HelperFile(newFile, oldFile, "probe");
    const std::string deleteMessage = "Trying to remove old launcher: " + oldFile;
    const std::string moveMessage = "Renaming " + newFile + " -> " + oldFile;
    const std::string keptAsideMessage = "Failed to move new launcher! The old launcher is " + backupFile;
    const std::string runMessage = "Starting " + oldFile;
    const std::string putBackMessage = "Old launcher put back: " + oldFile;
    const std::string notPutBackMessage = "Failed to put back old launcher! The old launcher is " + backupFile;
    const std::string keptMessage = "Failed to remove new launcher! It is still there: " + newFile;
    const std::string goingMessage = "Failed to remove new launcher! It goes once no program holds it: " + newFile;

    // The launcher closes meanwhile; the copy touches nothing of it.
    Log("Info", "Waiting for launcher to close...");
    const std::int64_t waitStarted = MicrosecondsNow();
    GiveUpAt(waitStarted + patienceMicroseconds);
    UpdatersLock lock = NamesAFile(oldFile) ? WaitForOtherUpdaters(oldFile) : UpdatersLock{noFolder, 0, 0};
    const bool mayProceed = lock.result == locked || lock.result == cannotLock;
    bool folderAllows = false;
    bool staged = false;
    std::string refusal;
    if (mayProceed) {
        if (lock.result == locked) {
            ClearLeftoversOfKilledRun(oldFile, newFile, backupFile, stagingFile, probeFile);
        }
        folderAllows = FolderAllowsUpdate(oldFile);
        // The launcher is never its own download, under whatever name: there
        // would be nothing to install, and removing the download would take
        // the launcher.
        staged = folderAllows && !SameFile(newFile, oldFile) &&
                 StageCopy(newFile, stagingFile, oldFile, probeFile, refusal);
    }
    PauseUntil(waitStarted + 500000);
    // Only a launcher about to be replaced is waited for.
    const bool closed = mayProceed && (!staged || WaitForLauncherToClose(oldFile));

    Log("Delete", deleteMessage);
    if (!closed || (!folderAllows && !NothingAt(oldFile))) {
        if (staged) {
            RemoveHelperFile(stagingFile);
        }
        return FailUpdate(lock, "Failed to remove old launcher!");
    }
    if (!staged) {
        // The old launcher was not touched, so it is not said to be removed.
        Log("Move", moveMessage);
        if (!refusal.empty()) {
            Log("Error", refusal);
        }
        return FailUpdate(lock, "Failed to move new launcher!");
    }

    HoldStopRequests();
    bool placed = SwapIntoPlace(stagingFile, oldFile, backupFile);
    const AsideResult aside = placed ? movedAside : MoveAside(oldFile, backupFile);
    const std::int64_t movedAt = SecondsNow();
    bool putBack = true;
    if (!placed && aside != cannotMove) {
        placed = RenameWithoutReplacing(stagingFile, oldFile);
        if (!placed && aside == movedAside) {
            // However long the rename was refused, the old launcher gets
            // time of its own to go back.
            GiveUpAt(MicrosecondsNow() + patienceMicroseconds);
            putBack = MoveBack(backupFile, oldFile);
        }
    }
    // Made to last and the download's name gone before a stop can act: a
    // download still there tells the launcher that no update happened. The
    // swap is made to last before the download goes: a power cut must not
    // leave the old launcher without the download. A stop from here on
    // leaves the backup, the old launcher, for the next run to judge.
    DownloadState download = downloadGone;
    bool undone = false;
    if (placed) {
        FlushFolder(oldFile);
        download = RemoveDownload(newFile, stagingFile);
        if (download == downloadKept) {
            undone = UndoSwap(aside, oldFile, backupFile, stagingFile);
            placed = !undone;
        }
        FlushFolder(oldFile);
    }
    ReleaseStopRequests();
    if (!placed) {
        RemoveHelperFile(stagingFile);
    }
    StopIfRequested();

    if (aside == cannotMove) {
        return FailUpdate(lock, "Failed to remove old launcher!");
    }
    // Where there was none, none was removed.
    if (aside != nothingThere) {
        Log("Success", "Old launcher removed.", movedAt);
    }
    Log("Move", moveMessage, movedAt);
    if (download != downloadGone) {
        const bool oldGoesBack = download == downloadKept && aside == movedAside;
        return DownloadStayed(lock, download, download == downloadKept ? keptMessage : goingMessage,
                              oldGoesBack ? (undone ? &putBackMessage : &notPutBackMessage) : nullptr, undone);
    }
    if (!placed) {
        return FailUpdate(lock, putBack ? "Failed to move new launcher!" : keptAsideMessage);
    }

    Log("Success", "New launcher renamed successfully.");
    Log("Done", "Update finished successfully!");
    std::cout << "\n=============================================\n";

    // The download's blocks are freed while the user waits anyway.
    const std::int64_t closedAt = MicrosecondsNow();
    FreeDownload(stagingFile);
    PauseUntil(closedAt + 500000);
    // Once the line says the launcher starts, a stop request waits until it
    // has, or the line that says it has not is out. Meanwhile the backup's
    // removal is made ready.
    HoldStopRequests();
    Log("Run", runMessage);
    const std::int64_t startAt = MicrosecondsNow() + 1000000;
    if (aside == movedAside) {
        PrepareBackgroundRemoval(lock, backupFile);
    }
    PauseUntil(startAt);
    const Launch launch = StartProgram(oldFile);
    StartResult start = launch.result;
    if (start == startedProgram) {
        // A stop may end the run while the new launcher is watched; the
        // backup then stays.
        ReleaseStopRequests();
        start = WatchLaunch(launch, MicrosecondsNow() + launcherWatchMicroseconds);
        HoldStopRequests();
    }
    if (start != startedProgram) {
        Log("Error", "Failed to start new launcher!");
    }
    // The old launcher is let go only once the new one has run. One that the
    // system does not take for a program, or that ended as a program that
    // cannot run does, gives way to the old one. Other updaters are kept
    // out until then, as they would clear the backup away, and until it is
    // gone; its blocks are freed without delaying the run.
    const bool givesWay = (start == notTakenAsProgram || start == endedByFault) && aside == movedAside;
    if (givesWay && PutBack(backupFile, oldFile)) {
        Log("Move", putBackMessage);
        // What the user had is started, not watched: there is nothing to
        // fall back to, and how soon it ends is its own affair.
        const Launch old = StartProgram(oldFile);
        if (old.result != startedProgram) {
            Log("Error", "Failed to start old launcher!");
        }
        LetRun(old);
    } else if (givesWay) {
        Log("Error", notPutBackMessage);
    } else if (start == startedProgram && aside == movedAside) {
        RemoveHelperFileInBackground(lock, backupFile);
    }
    LetOthersIn(lock);
    ReleaseStopRequests();
    StopIfRequested();
    if (start != startedProgram) {
        PauseMilliseconds(errorPauseMilliseconds);
        return exitNotStarted;
    }
    return exitSuccess;
}
