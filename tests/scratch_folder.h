#pragma once

// Temporary folders for the end-to-end runs, and what is in them.

#include <map>
#include <string>

// A new empty folder, with a space in its name so that every absolute path
// in the tests has one, open to every user so that an unprivileged run can
// reach into it. In the temporary folder unless parent is given.
std::string MakeScratchFolder(const std::string& parent = "");

// Removes the folder with everything in it, immutable files and mounts
// included.
void RemoveScratchFolder(const std::string& folder);

void PutFile(const std::string& path, const std::string& content, unsigned mode);
std::string ReadFile(const std::string& path);

// Makes path a new folder holding a file system of its own, of that size.
// Returns false where mounting is not allowed (it needs root).
bool MountTmpfs(const std::string& path, int mebibytes = 64);

// Sets or clears an attribute that even root cannot override: immutable
// (FS_IMMUTABLE_FL) or append-only (FS_APPEND_FL). Returns false where the
// file system has no such attribute.
bool SetFileFlag(const std::string& path, int flag, bool on);

// Every entry below folder by relative path, described as "0755:<content>"
// for regular files (contents named by nameOf where it knows them, and
// "@<uid>" after them where root does not own them), "dir", "fifo" or
// "link:<target>".
using Listing = std::map<std::string, std::string>;
Listing ListFolder(const std::string& folder, const std::map<std::string, std::string>& nameOf);
