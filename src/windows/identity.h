#pragma once

// What tells files, folders and volumes apart on Windows: what the system
// says of open files, never how a path or a number looks. Paths differ in
// case where the file system tells case apart (Wine's drives, folders made
// case-sensitive for WSL); serial numbers repeat (0 on many virtual and
// network drives, cloned disks), and under Wine one file system may show a
// serial of its own through each drive letter.

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

struct FileIdentity {
    bool known;       // the system answered
    ULONGLONG volume; // the volume's serial number; 0 where it has none
    FILE_ID_128 id;   // 128 bits where the system has them, else the 64-bit index
};

// The identity of the open file or folder: FileIdInfo where the system has
// it (Windows 8 and later), else the serial number and 64-bit index.
FileIdentity IdentityOf(HANDLE file);

// True when two identities name files on two volumes: a volume has one
// serial number, so serials that differ say so. Equal ones prove nothing.
bool OnOtherVolumes(const FileIdentity& one, const FileIdentity& other);

// True when one and other are open on one file or folder. Equal numbers are
// not enough, as they may repeat: the system's sharing decides (while one
// is open for removal without sharing it, the other cannot be opened for
// removal), or, where the sharing cannot be tried, the system's full paths
// of the two must be the same text.
bool SameFileOpen(HANDLE one, HANDLE other);

// The path the system gives the file or folder that file is open on, as
// "\\?\C:\..." or "\\?\UNC\..."; empty when it cannot.
std::string FinalPathOf(HANDLE file);

// True where the file system tells names apart by case in the open folder:
// the volume searches with case (FILE_CASE_SENSITIVE_SEARCH), or the folder
// is marked case-sensitive (Windows 10 version 1803 and later).
bool CaseSensitiveAt(HANDLE folder);

// Whether two names are one name to a file system that does, or does not,
// tell case apart. Names are in the code page of the "A" calls.
bool SameName(const std::string& one, const std::string& other, bool caseSensitive);

// True when the folder at folderPath (ending in a separator) holds entries
// under both names, each spelled exactly so: then the file system tells
// them apart, whatever its volume says (Wine's drives claim to ignore case).
bool HoldsBothNames(const std::string& folderPath, const std::string& one, const std::string& other);

enum Placement {
    inTheFolder,     // file is the entry named name in folder
    elsewhere,       // file lies in another folder, or under another name
    placementUnknown // the system cannot tell (some redirectors)
};

// Where the open file lies, as against the entry name in the open folder
// at folderPath (ending in a separator): the folder the system puts the file
// in must be that folder, told by identity, and the file's own name must be
// name, compared as that folder's file system compares names.
Placement PlacementOf(HANDLE file, HANDLE folder, const std::string& folderPath, const std::string& name);
