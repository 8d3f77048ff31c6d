#pragma once

// What the files of the platform layer on Windows give one another, file by
// file from the bottom up: each file uses only what is declared above its
// own part here (and platform.h's functions of those files), so that no two
// of them depend on each other. The order:
//   held.cpp    the files the run holds, and what can be done to them at once
//   identity.cpp files, folders and volumes told apart (declared in
//               identity.h, which this file includes)
//   stops.cpp   console events, holding them, acting on a stop
//   clock.cpp   time, pauses, Retried
//   ../shared/run_clock.cpp  the run's deadline (GiveUpAt, GiveUpTime)
//   files.cpp   identity, links, who may remove, helper files
//   lock.cpp    the updaters' lock
//   signature.cpp the Authenticode signatures (own header: signature.h)
//   staging.cpp the copy, its flush, the program check on it
//   swap.cpp    renames, the swap, the put-back, removing the download
//   ../shared/aside.cpp      MoveAside
//   start.cpp   starting the new launcher and watching it, the backup's removal

#include "platform.h"

#include <cstdint>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "windows/identity.h"

// ---- held.cpp ------------------------------------------------------------

// Every kind of sharing: the run never keeps another program from reading,
// writing or removing a file, except where it holds one alone on purpose.
const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How the run holds a file that no other program is to move or remove: with
// delete access, which a program that opens it must share.
const DWORD holdAccess = DELETE | FILE_READ_ATTRIBUTES;

// True for the errors that mean there is nothing at a path.
bool IsMissing(DWORD error);

// True for the errors of a file that another program holds for a moment: a
// sharing violation, or "access denied", which is also what a file pending
// deletion answers.
bool HeldForAMoment(DWORD error);

// The files the run holds open with delete access, so that no other program
// can open them without sharing their removal, and so keep them from being
// moved or removed, each by its role in the run.
enum HeldRole {
    heldOldLauncher, // from when it has closed until it is put back or let go
    heldStagedCopy,  // from when it is written until it takes the launcher's path
    heldDownload,    // from when it is copied until it is gone or let go
    heldRoles
};

// A held file and the path it has now (one of the run's texts, which live
// until its end); {INVALID_HANDLE_VALUE, nullptr} when none is held.
// A path without a handle is a file the run means to hold and could not (yet).
struct HeldFile {
    HANDLE handle;
    const std::string* path;
};

struct HeldFiles {
    HeldFile file[heldRoles];
    // Set while the old launcher is held alone: no other program can open
    // it, so that its name can be replaced in one step (a file that is
    // open, under any of its names, cannot be replaced).
    bool oldAlone;
    // Set while the download is held alone, as one on another volume is:
    // its name then goes with the run's handle.
    bool downloadAlone;
};

// The run's one record of what it holds. Owned by held.cpp; the files above
// change it through the calls below, or directly where a step sets a flag.
HeldFiles& Held();

// Records handle (which may be INVALID_HANDLE_VALUE) as held in role under
// path, in place of what was there (which the caller has let go of).
void Hold(HeldRole role, HANDLE handle, const std::string& path);

// The role of the held file at path (compared as text), if one is.
bool HeldAt(const std::string& path, HeldRole& role);

// Closes the file held in role, if any, and forgets it; the old launcher is
// then no longer held alone.
void Release(HeldRole role);

// Lets go of the download; one that stays is left as it was, read-only if
// it was (only its removal lifts that attribute, and puts it back should
// the file stay).
void LetGoOfDownload();

// Lets go of every held file, the download as LetGoOfDownload does.
void LetGoOfAll();

// Sets the attributes of the open file (0: none, a normal file).
bool SetAttributes(HANDLE file, DWORD attributes);

// Opens path, without following a link at its end, as a helper file is
// held to be removed: once, with no wait.
HANDLE OpenToRemove(const std::string& path);

// Marks the open file (opened with delete access) for removal so that its
// name goes at once, even while other programs read the file, and a
// read-only one without its attribute lifted, where the system can (Windows
// 10 version 1709 and later, 1809 for a read-only file; not Wine): once,
// with no wait. Its blocks are freed as the last handle closes. False, with
// nothing changed, where the system cannot.
bool RemovedAtOnce(HANDLE file);

// Marks the open file (opened with delete access) for removal, once, with no
// wait: as RemovedAtOnce where the system can, else its name goes once
// every handle to it has closed. On failure, GetLastError says why.
bool MarkForRemoval(HANDLE file);

// The same for a file that may be read-only, with nothing outside the
// update changed: where the system cannot ignore the attribute, it is
// lifted for the marking only, and put back through a handle of the run's
// own before the last one closes where the file has other names (which
// show it too), or stays unmarked. On failure, GetLastError says why.
bool MarkForRemovalKeepingAttributes(HANDLE file);

// ---- stops.cpp -----------------------------------------------------------

// True once a stop has been requested, held or not.
bool StopRequested();

// True while stop requests are held (HoldStopRequests).
bool StopsHeld();

// An event set when a stop is requested, for waits that a stop cuts short.
HANDLE StopEvent();

// A stop no longer removes path, if it was the helper file registered by
// RemoveOnStop (compared as text): it was renamed or removed.
void ForgetOnStop(const std::string& path);

// ---- clock.cpp -----------------------------------------------------------

// Milliseconds from now until deadline (on MicrosecondsNow's clock), rounded
// up; 0 once it has passed.
DWORD MillisecondsUntil(std::int64_t deadline);

// After an attempt that failed, with GetLastError saying why: false, the
// error as the last error again, when it failed for another reason than a
// program that holds the file for a moment (HeldForAMoment) or until has
// passed. Else pauses for pause milliseconds, a stop request acting meanwhile
// unless held, makes pause grow towards 100 ms and returns true.
bool PausedToRetry(std::int64_t until, unsigned& pause);

// Tries attempt until it succeeds, or fails for another reason than a
// program that holds the file for a moment, or until (on MicrosecondsNow's
// clock) has passed; attempt leaves GetLastError saying why it failed. The
// pauses grow from 10 to 100 ms; a stop request acts in them, unless held.
template <typename Attempt>
bool Retried(std::int64_t until, Attempt attempt)
{
    unsigned pause = 10;
    while (!attempt()) {
        if (!PausedToRetry(until, pause)) {
            return false;
        }
    }
    return true;
}

// ---- files.cpp -----------------------------------------------------------

// Opens path as CreateFileA does (OPEN_EXISTING), retried until until.
HANDLE OpenRetried(std::int64_t until, const std::string& path, DWORD access, DWORD flags = 0,
                   DWORD share = shareAll);

// True once nothing is at path; else false as though another program held
// the name, so that Retried waits for it to go.
bool Gone(const std::string& path);

// The file or folder at path, opened to be told apart from others (links
// followed); INVALID_HANDLE_VALUE where nothing opens there.
HANDLE OpenToIdentify(const std::string& path);

// What the system says of the file or folder at path (see identity.h);
// known false where nothing opens there.
FileIdentity IdentityAt(const std::string& path);

// True when path is an ordinary file on a disk: not a folder, a device
// (NUL, CON, COM1) or a pipe. Another program that holds it is waited for
// until the run's deadline.
bool IsRegularFile(const std::string& path);

// The full path of the folder of the file at path, with its trailing
// separator; empty when it has none.
std::string FullFolderOf(const std::string& path);

// A link to a file elsewhere, which the system would move or remove in its
// place: the file that opens at path (through file, where given, opened
// with FILE_FLAG_OPEN_REPARSE_POINT) is not the entry of that name in its
// folder: it lies in another folder, or under another name. The folders are
// told apart by identity, the names as their file system compares them.
// Where the system cannot tell, false.
bool LeadsElsewhere(const std::string& path, HANDLE file = INVALID_HANDLE_VALUE);

// Holds the file held in role alone from here on: once no other program has
// it open (waited for until until), none can open it but to remove it.
// False, the file held as before, where one keeps it open past that.
bool HoldAlone(std::int64_t until, HeldRole role);
