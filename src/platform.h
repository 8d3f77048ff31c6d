#pragma once

// The operating-system calls the update needs, as plain free functions, in
// the order the run calls them. Each platform builds them from a folder of
// its own, one file per concern (src/posix/, src/windows/: stops.cpp,
// clock.cpp, lock.cpp, files.cpp, staging.cpp, swap.cpp, start.cpp), and
// src/shared/ holds what both write alike; the build picks one folder, so
// the update itself reads the same everywhere.
//
// Strings: every path passed in must live until the end of the run (the
// run's own texts in main do): the layer keeps references to some of them
// (the helper files a stop removes, the files it holds on Windows).

#include <cstdint>
#include <string>

// Turns what would otherwise kill the process in the middle of an update into
// failures it can handle: a console that went away (a broken pipe, closed
// standard streams) and a file-size limit reached while copying. From here
// on, a request to stop (hang-up, interrupt, terminate, quit and the like,
// and on POSIX systems a fault's signal sent by another program; on Windows
// Ctrl+C, Ctrl+Break and the console's close) is recorded and acted on at the
// next safe point: a pause, a log line or StopIfRequested.
void SurviveFailedWrites();

// Ends the process, as the recorded stop request would have, if there is
// one and it is not held; the run's helper files, if any (see RemoveOnStop),
// are removed first. Returns otherwise.
void StopIfRequested();

// From now on, a stop request removes helperFile too before it ends the run.
// StageCopy does this for the staging file until it is renamed; once the new
// launcher is in place, a download that RemoveDownload moved aside takes its
// place. The backup never does: it is the old launcher until the new one has
// run.
void RemoveOnStop(const std::string& helperFile);

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

// Until deadline (on MicrosecondsNow's clock), the run waits for what other
// programs hold: the updaters' lock, a launcher still running and, on
// Windows, a file that a virus scanner, an indexer or a sync agent keeps from
// being opened, moved or removed for a moment (a sharing violation or
// "access denied", tried again after a pause that grows from 10 to 100 ms).
// Past it, each of these fails as it would at once.
void GiveUpAt(std::int64_t deadline);

// The deadline that GiveUpAt set.
std::int64_t GiveUpTime();

enum LockResult {
    locked,      // other updaters wait until LetOthersIn
    cannotLock,  // the folder can be changed but not locked (POSIX: not read)
    noFolder,    // oldFile's folder is not a folder
    lockTimedOut // something else held the lock until the deadline
};

// The updaters' lock as the run holds it: POSIX, the locked folder's
// descriptor and the pipe on which the background remover waits for its
// word (-1 for none); Windows, the mutex (0 for none).
struct UpdatersLock {
    LockResult result;
    std::intptr_t handle;
    std::intptr_t removal;
};

// Waits until no other updater is changing files in oldFile's folder, and
// keeps them out until LetOthersIn or the end of the process.
UpdatersLock WaitForOtherUpdaters(const std::string& oldFile);

// Waits until the launcher has closed: on Windows, until no program runs
// from oldFile or holds it without sharing, and from then on no other
// program can keep it from being moved; until the deadline, also until no
// other program has it open at all, and from then on none can open it, so
// that SwapIntoPlace can replace its name. False when the launcher did not
// close by the deadline. A running program can be replaced on POSIX systems: there,
// true at once.
bool WaitForLauncherToClose(const std::string& oldFile);

// Lets other updaters into the folder again, and (Windows) other programs at
// the files the run held. A background removal not asked for yet is called
// off. Done once; later calls do nothing.
void LetOthersIn(UpdatersLock& lock);

// False when files beside oldFile can be made but not renamed or removed
// (an append-only or immutable folder), or oldFile itself cannot be moved.
bool FolderAllowsUpdate(const std::string& oldFile);

// Copies the regular file newFile to stagingFile, which must not exist yet,
// checks that the copy may replace the launcher at permissionsOf (see
// MayReplace in program_image.h), and flushes it to the disk. Where only
// trying tells whether newFile may be removed (POSIX: a sticky folder,
// neither it nor newFile this user's), it is renamed to probeFile and straight back, stop
// requests held; a run killed between the two leaves it there for the
// next run to put back. The copy gets
// the permissions (and, for root, the owner and group where the system lets
// it) of permissionsOf where that exists, else newFile's own with its read
// bits made execute bits. newFile must be one that RemoveDownload will
// be able to remove: a download left beside an installed update would tell
// the launcher that no update happened. Returns false, with no staging file
// left, when any of it fails or a stop is requested meanwhile; until the
// staging file is renamed, a stop removes it. On Windows, a download that
// leads to a file in another folder or under another name (a link the
// system cannot open as a link) is refused, and one on another volume than
// oldFile's folder (its volume's serial number differs) is held so that no
// other program can open it, once none has it open (waited for until the
// deadline). A read-only one keeps its attribute. Also on Windows,
// where the launcher at permissionsOf carries a valid Authenticode
// signature, a copy not signed by the same publisher (see publisher.h) is
// refused, and refusal then says why, in a line for the user; it is left
// alone otherwise. Linux has no signatures of programs to hold a download to.
bool StageCopy(const std::string& newFile, const std::string& stagingFile,
               const std::string& permissionsOf, const std::string& probeFile, std::string& refusal);

// Holds every stop request that can be held until ReleaseStopRequests; it
// then acts at the next safe point. Used for the critical window, from the
// first rename of the launcher's path to the last, in which nothing writes
// to the console or allocates, and from the "Starting" line to the start.
// Meanwhile StopIfRequested returns, and pauses run to their end.
void HoldStopRequests();
void ReleaseStopRequests();

enum AsideResult {
    movedAside,   // oldFile is now at backupFile
    nothingThere, // there was no oldFile to move
    cannotMove    // oldFile is there and stays there
};

// Moves oldFile (a regular file or a symbolic link) to backupFile, which must
// not exist yet.
AsideResult MoveAside(const std::string& oldFile, const std::string& backupFile);

// Puts the staged copy at oldFile's path and the old launcher (a regular file
// or a symbolic link) at backupFile, which must not exist yet, in one step
// where the system can: on Linux by swapping two names; on Windows by giving
// the old launcher backupFile as a second name, then renaming the staged copy
// over oldFile (where the file system has hard links and no other program
// has the old launcher open). The launcher's path is then never empty.
// False, with nothing changed, where it cannot; MoveAside and
// RenameWithoutReplacing then do it in two steps. True means the new
// launcher is in place.
bool SwapIntoPlace(const std::string& stagingFile, const std::string& oldFile,
                   const std::string& backupFile);

// Renames from to to, unless something is at to already, or both name one
// file.
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

// Moves the old launcher that MoveAside moved to backupFile back to
// oldFile, where the new one could not take its place. POSIX: as
// RenameWithoutReplacing. Windows: past a file another program puts at its
// path meanwhile, the rename is retried until the deadline, and then
// replaces that file.
bool MoveBack(const std::string& backupFile, const std::string& oldFile);

// Makes the renames in oldFile's folder last through a power cut.
void FlushFolder(const std::string& oldFile);

enum DownloadState {
    downloadGone, // its name has gone
    downloadKept, // nothing was done to it: it stays as it was
    downloadGoing // (Windows) marked for removal, its name stays until the
                  // programs that hold it let go
};

// Removes the download's name once the new launcher is in place (StageCopy
// made sure that it can be); on Windows also a read-only one, whose other
// names stay read-only. On POSIX systems the file is renamed to spareName, a
// helper name beside the launcher that is free by then, and its blocks are
// left for FreeDownload to free; from another file system it is removed at
// once. On Windows it is removed; where its name would outlast the removal
// while another program reads the file (Windows before 10 version 1709,
// Wine), it is first renamed to spareName, and goes when that program lets
// go. One on another volume (which only trying tells where the volumes'
// serial numbers are equal) cannot be: it is removed once no other program
// has it open, waited for until the deadline, and else left as it was. The
// run keeps its last handle, whose closing frees the blocks, for
// FreeDownload, unless it lies on another volume. Returns what became of
// the download, its name checked (on Windows waited for until the deadline).
DownloadState RemoveDownload(const std::string& newFile, const std::string& spareName);

// Frees what RemoveDownload left, if anything: meant for a pause, where the
// user waits anyway.
void FreeDownload(const std::string& spareName);

// Removes a helper file of the run's own (a backup or a staging file), even
// one that the old launcher's attributes made read-only (another name of the
// same file stays read-only). On Windows its name is checked afterwards and
// waited for two seconds more, even past the deadline, which stays as it was
// for what follows.
void RemoveHelperFile(const std::string& path);

// Makes ready, while the user waits anyway, to remove helperFile later
// without the run waiting for its blocks to be freed (ext4: a tenth of a
// second at 256 MiB). On POSIX systems, where the run holds the updaters'
// lock, a process of its own waits for the word: it lets go of this
// program's output at once, and holds the lock until the file is gone, or
// until LetOthersIn or the end of this program calls the removal off.
// Nothing on Windows.
void PrepareBackgroundRemoval(UpdatersLock& lock, const std::string& helperFile);

// Removes a helper file as RemoveHelperFile does: through the process that
// PrepareBackgroundRemoval made ready for it, if there is one, else at once.
void RemoveHelperFileInBackground(UpdatersLock& lock, const std::string& path);

// True when a regular file (or a link, which a run may have moved aside) is
// at path. On Windows a link to a file in another folder does not count:
// the system would move or remove what it leads to.
bool FileThere(const std::string& path);

// True when nothing at all (no file, folder or link) is at path.
bool NothingAt(const std::string& path);

// True when both paths lead to one and the same file, as the system tells
// (on Windows never by equal numbers alone, which may repeat).
bool SameFile(const std::string& path, const std::string& otherPath);

enum StartResult {
    startedProgram,
    notTakenAsProgram, // the system does not take the file for a program it runs
    endedByFault,      // it started, and ended at once as a program that cannot run ends
    startFailed        // for another reason: no rights, an elevation declined
};

// A program that StartProgram started, for WatchLaunch: its process (POSIX:
// its id; Windows: a handle to it), or 0 where the system gave none, as
// for a document that another program opens.
struct Launch {
    StartResult result;
    std::intptr_t process;
};

// Starts the program at path with no arguments, in the current directory, as
// a process of its own that does not share this one's console streams. A
// file that the system takes for no program but that names no interpreter
// either is started as a shell starts it: by /bin/sh (POSIX).
Launch StartProgram(const std::string& path);

// Watches what StartProgram started until deadline, or until it shows that
// it runs: on Windows, a window waiting for input. endedByFault when it
// ended meanwhile as a program that could not run ends: POSIX, killed by
// SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS or SIGTRAP, or exit
// status 126 or 127 (the loader, env or the shell could not run it);
// Windows, an exit code that is an NTSTATUS error (0xC0000000 and above),
// also where a debugger that reports the crash holds the process past the
// deadline. Any other end, or none, is startedProgram; the program is
// never signalled, and nothing of it is left to this process. A stop
// request that is not held acts meanwhile. A launch that did not start is
// returned as it is.
StartResult WatchLaunch(const Launch& launch, std::int64_t deadline);

// Leaves what StartProgram started to run on its own, unwatched: however
// soon it ends, nothing of it is left to this process.
void LetRun(const Launch& launch);

// Puts the old launcher, moved aside to backupFile, back at oldFile's path in
// place of what is there, in one step, and makes that last.
bool PutBack(const std::string& backupFile, const std::string& oldFile);

// True when the file at path would pass the checks as a download replacing
// the launcher at launcherPath (see MayReplace in program_image.h).
bool PassesAsUpdateOf(const std::string& path, const std::string& launcherPath);
