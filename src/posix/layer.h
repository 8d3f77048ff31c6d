#pragma once

// What the files of the Linux platform layer use of each other, beyond
// platform.h, grouped by the file that holds it, from the bottom up:
// places, stops, clock, lock, files, swap, staging, start. Each file uses
// only those before it (and src/shared/, which uses the clock).

#include "platform.h"

#include <string>

#include <sys/stat.h>

// ---- places.cpp: where the run's names are resolved -------------------

// A path as a folder's descriptor and a name in it. Paths in the launcher's
// folder are taken relative to the descriptor the lock holds, so that only
// the name counts against the system's limits, not the whole path: a
// launcher whose path is near PATH_MAX still has room for its helpers.
struct Place {
    int folder;       // the locked folder, or AT_FDCWD
    const char* name; // points into the path given: lives as long as it
};

// Where path is: a name in the locked folder when path names a file directly
// in it, else path itself against the current directory. Allocates nothing,
// so that the stop path and the critical window may call it.
Place At(const std::string& path);

// The folder that holds path: "." for a bare name, "/" for one in the root.
std::string FolderOf(const std::string& path);

// fstatat on At(path), through a link or not. False, with errno set, when
// nothing can be told of it.
bool Status(const std::string& path, struct stat& info, bool followLink);

// From now on, At resolves names directly in oldFile's folder against
// folder, a descriptor of it that the caller keeps open until
// ClearLockedFolder. Set by the updaters' lock alone.
void SetLockedFolder(int folder, const std::string& oldFile);

// At resolves every path against the current directory again.
void ClearLockedFolder();

// The descriptor SetLockedFolder gave, or -1.
int LockedFolder();

// ---- stops.cpp: stop requests, held and acted on ----------------------

// True once a stop has been requested, held or not: long work (a copy)
// gives up, and StopIfRequested acts when it may.
bool Interrupted();

// True when a stop has been requested and is not held: StopIfRequested
// would end the process now.
bool StopDue();

// A helper file that has gone, or become the launcher, is no longer removed
// on a stop. Allocates nothing.
void ForgetOnStop(const std::string& path);

// For a child about to run another program: every signal's handler back to
// the default, and none blocked. System calls only, no memory: a vfork
// child may call it.
void DefaultSignalsInChild();

// ---- clock.cpp: nothing beyond platform.h (MicrosecondsNow, PauseUntil,
// LocalTimeText); GiveUpAt, GiveUpTime and PauseMilliseconds are in
// src/shared/run_clock.cpp.

// ---- lock.cpp: the updaters' lock --------------------------------------

// Closes the pipe of a background removal that PrepareBackgroundRemoval
// made ready and that was not told to remove: the remover, told nothing,
// leaves the file and lets go of the lock. Does nothing without one.
void CallOffBackgroundRemoval(UpdatersLock& lock);

// ---- files.cpp: who may remove a file ----------------------------------

enum RemovalRight {
    removalRefused, // unlink and rename would refuse
    removalAllowed, // they would take the file away
    removalUntold   // a sticky folder, neither it nor the file the user's: only trying tells
};

// Whether unlink and rename would take the file at path away (see
// files.cpp for the rules). removalUntold only where the file's or the
// folder's owner cannot be told from stat.
RemovalRight RightToRemove(const std::string& path);

// ---- swap.cpp: nothing beyond platform.h (RenameWithoutReplacing and the
// rest of the swap); MoveAside is in src/shared/aside.cpp.

// ---- staging.cpp, start.cpp: nothing beyond platform.h.
