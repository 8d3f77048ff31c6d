#pragma once

// The few operating-system calls the update needs, as plain free functions.
// Each platform has its own source file (platform_posix.cpp,
// platform_windows.cpp); the build picks one, so the update itself reads the
// same everywhere.

#include <cstdint>
#include <string>

// Turns what would otherwise kill the process in the middle of an update into
// failures it can handle: a console that went away (a broken pipe, closed
// standard streams) and a file-size limit reached while copying.
void SurviveFailedWrites();

// Waits the given number of milliseconds.
void PauseMilliseconds(unsigned milliseconds);

// The local time of timeNow (whole seconds since 1970-01-01 UTC) as
// "Www Mmm DD hh:mm:ss YYYY", with English names and a two-digit day.
std::string LocalTimeText(std::int64_t timeNow);

// Waits until no other updater is changing files in oldFile's folder, and keeps
// them out until this process ends. Returns false when the lock cannot be had;
// the update then goes on without it.
bool WaitForOtherUpdaters(const std::string& oldFile);

// While deferred, a request to stop (hang-up, interrupt, terminate; on Windows
// the console's close and break events) is kept until it is allowed again, so
// that it cannot leave the files half changed.
void DeferInterruptions();
void AllowInterruptions();

enum AsideResult {
    movedAside,   // oldFile is now at backupFile
    nothingThere, // there was no oldFile to move
    cannotMove    // oldFile is there and stays there
};

// Moves oldFile (a regular file or a symbolic link) to backupFile, which must
// not exist yet.
AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile);

// Puts a file moved aside back at oldFile's path, unless something is there.
bool PutBack(const std::string& backupFile, const std::string& oldFile);

// Copies the regular file newFile to stagingFile, flushes it to the disk and
// renames it to oldFile, which must be free. The copy gets the permissions of
// permissionsOf, or newFile's own when that is empty. Returns false, with no
// staging file left, when any of it fails.
bool CopyIntoPlace(const std::string& newFile, const std::string& stagingFile,
                   const std::string& oldFile, const std::string& permissionsOf);

// Removes a file; whether that worked is not reported.
void RemoveFile(const std::string& path);

// Removes a helper file of the run's own (a backup or a staging file), even
// one that the old launcher's attributes made read-only.
void RemoveHelperFile(const std::string& path);

// True when something, even a dangling link, is at path.
bool PathTaken(const std::string& path);

// True when both paths lead to one and the same file.
bool SameFile(const std::string& path, const std::string& otherPath);

// Starts the program at path with no arguments, in the current directory, as
// a process of its own that does not share this one's console streams; it is
// not waited for and its outcome is not reported.
void StartProgram(const std::string& path);
