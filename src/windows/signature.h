#pragma once

// What Windows says about a program's Authenticode signature, and whether a
// staged copy may replace a signed launcher (see publisher.h for the rule).

#include "publisher.h"

#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The signature of the file open at file (with read access), found at path.
// Hashes the whole file. No network, no dialog: revocation is not checked,
// and a chain is built from what the system holds. notSigned where the
// system has no wintrust.dll, or file is INVALID_HANDLE_VALUE.
SignatureFacts ReadSignature(HANDLE file, const std::string& path);

// False, with refusal saying why, where the launcher at oldFile carries a
// signature that names its publisher and the staged copy, open at staged
// (with read access) under stagedPath, is not signed by that publisher.
// The staged copy is hashed only where the old launcher names one.
bool SignedLikeOldLauncher(const std::string& oldFile, HANDLE staged, const std::string& stagedPath,
                           std::string& refusal);
