#pragma once

// The few operating-system calls the update needs, as plain free functions.
// Each platform has its own source file (platform_posix.cpp,
// platform_windows.cpp); the build picks one, so the update itself reads the
// same everywhere.

#include <cstdint>
#include <string>

// Turns what would otherwise kill the process in the middle of an update into
// failures it can handle: a console that went away (a broken pipe, closed
// standard streams) and a file-size limit reached while copying. From here
// on, a request to stop (hang-up, interrupt, terminate, quit and the like;
// on Windows Ctrl+C, Ctrl+Break and the console's close) is recorded and
// acted on at the next safe point: a pause, a log line or StopIfRequested.
void SurviveFailedWrites();

// Ends the process, as the recorded stop request would have, if there is
// one; the staging file, if any, is removed first. Returns otherwise.
void StopIfRequested();

// Microseconds from a fixed point in the past; never goes back.
std::int64_t MicrosecondsNow();

// Waits until MicrosecondsNow() reaches deadline, or less when a stop is
// requested, which then acts. Even a deadline already past is a point where
// a stop acts.
void PauseUntil(std::int64_t deadline);

// Waits the given number of milliseconds, likewise.
void PauseMilliseconds(unsigned milliseconds);

// The local time of timeNow (whole seconds since 1970-01-01 UTC) as
// "Www Mmm DD hh:mm:ss YYYY", with English names and a two-digit day.
std::string LocalTimeText(std::int64_t timeNow);

// True for a character that separates a path's folders ('/'; on Windows also
// '\\' and the ':' of a drive).
bool IsSeparator(char c);

// How long the longest name of a file beside oldFile may be, in bytes, for
// its path to stay within the system's limits.
std::size_t LongestNameBeside(const std::string& oldFile);

enum LockResult {
    locked,      // other updaters wait until ReleaseOtherUpdaters
    cannotLock,  // the folder can be changed but not locked (POSIX: not read)
    noFolder,    // oldFile's folder is not a folder
    lockTimedOut // something else has held the lock for seconds
};

// Waits, ten seconds at most, until no other updater is changing files in
// oldFile's folder, and keeps them out until ReleaseOtherUpdaters or the end
// of the process.
LockResult WaitForOtherUpdaters(const std::string& oldFile);
void ReleaseOtherUpdaters();

// False when files beside oldFile can be made but not renamed or removed
// (an append-only or immutable folder), or oldFile itself cannot be moved.
bool FolderAllowsUpdate(const std::string& oldFile);

// Copies the regular file newFile to stagingFile, which must not exist yet,
// and flushes it to the disk. The copy gets the permissions (and, for root,
// the owner) of permissionsOf where that exists, else newFile's own. A
// newFile that is oldFile's only name is refused: moving oldFile aside would
// take it away. Returns false, with no staging file left, when any of it
// fails or a stop is requested meanwhile; until the staging file is renamed,
// a stop removes it.
bool StageCopy(const std::string& newFile, const std::string& stagingFile,
               const std::string& permissionsOf);

// Holds every stop request that can be held until ReleaseStopRequests; it
// then acts at the next safe point. Used for the critical window, from the
// first rename of the launcher's path to the last, in which nothing writes
// to the console or allocates, and from the "Starting" line to the start.
void HoldStopRequests();
void ReleaseStopRequests();

enum AsideResult {
    movedAside,   // oldFile is now at backupFile
    nothingThere, // there was no oldFile to move
    cannotMove    // oldFile is there and stays there
};

// Moves oldFile (a regular file or a symbolic link) to backupFile, which must
// not exist yet. A launcher that still runs is not moved (Windows).
AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile);

// Puts the staged copy at oldFile's path and the old launcher (a regular file
// or a symbolic link) at backupFile, which must not exist yet, by swapping
// two names in one step where the system can (Linux): the launcher's path is
// then never empty. False, with nothing changed, where it cannot; MoveAside
// and RenameWithoutReplacing then do it in two steps. True means the new
// launcher is in place.
bool SwapIntoPlace(const std::string& stagingFile, const std::string& oldFile,
                   const std::string& backupFile);

// Renames from to to, unless something is at to already; in the window.
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

// Makes the renames in oldFile's folder last through a power cut.
void FlushFolder(const std::string& oldFile);

// Removes a file; whether that worked is not reported.
void RemoveFile(const std::string& path);

// Removes a helper file of the run's own (a backup or a staging file), even
// one that the old launcher's attributes made read-only.
void RemoveHelperFile(const std::string& path);

// True when a regular file (or a link, which a run may have moved aside) is
// at path.
bool FileThere(const std::string& path);

// True when both paths lead to one and the same file.
bool SameFile(const std::string& path, const std::string& otherPath);

// Starts the program at path with no arguments, in the current directory, as
// a process of its own that does not share this one's console streams; it is
// not waited for. False when it could not be started.
bool StartProgram(const std::string& path);
