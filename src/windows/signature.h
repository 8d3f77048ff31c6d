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

// The old launcher's signature, read on a thread of its own while the
// download is copied: where it is signed, both files are hashed whole, and
// the two hashes then take the time of one on a machine with two cores.
// Owned by the caller from BeginReadingSignature to FinishReadingSignature,
// which every path must reach: the thread writes into it until then.
struct SignatureRead {
    bool certificates = false; // a certificate table, so maybe a signature
    HANDLE thread = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string path;
    SignatureFacts facts;
};

// Begins reading the signature of the launcher open at file (with read
// access; the read owns the handle from here), found at path.
// INVALID_HANDLE_VALUE where none could be opened: there is no launcher, or
// if cannotBeRead, one that cannot be read. One whose header shows no
// certificate table (most launchers) is told at once, by its first 4 KiB,
// and no thread is started.
void BeginReadingSignature(HANDLE file, const std::string& path, bool cannotBeRead, SignatureRead& read);

// Waits for the read to end (a hash cannot be called off) and returns what
// it found. Once ended, the read returns the same again.
SignatureFacts FinishReadingSignature(SignatureRead& read);

// False, with refusal saying why, where the old launcher cannot be read, or
// its signature names its publisher and the staged copy, open at staged
// (with read access) under stagedPath, is not signed by that publisher.
// Ends the old launcher's read. The staged copy is hashed only where the
// old launcher carries a signature, beside its hash.
bool SignedLikeOldLauncher(SignatureRead& oldLauncher, HANDLE staged, const std::string& stagedPath,
                           std::string& refusal);
