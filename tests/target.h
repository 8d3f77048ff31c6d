#pragma once

// The build of the program that the end-to-end table runs: the Linux
// program itself, or the Windows program under Wine. CTest says which
// through the environment: KESTRIN_PROGRAM (a path ending in .exe means
// Windows), KESTRIN_WINE (the Wine loader), KESTRIN_STAND_IN (the Windows
// stand-in launcher), KESTRIN_HOLDER (a Windows program that holds files as
// scanners do), WINEPREFIX and KESTRIN_UNPRIVILEGED_WINEPREFIX.

#include <string>
#include <vector>

bool TargetIsWindows();
std::string ProgramUnderTest();

// The command that runs program with arguments, and the environment it
// runs in, for root or for the unprivileged user.
std::vector<std::string> TargetCommand(const std::string& program,
                                       const std::vector<std::string>& arguments);
std::vector<std::string> TargetEnvironment(bool unprivileged);

// A path of this machine as the program under test spells it (Z:\... under
// Wine), and the arguments of a case so spelled ("{dir}" for the folder).
std::string TargetPath(const std::string& path);
std::vector<std::string> TargetArguments(const std::vector<std::string>& arguments,
                                         const std::string& folder);

// The stand-in launcher of a version, padded to a large file if asked, and
// what it records when started in folder with no arguments (started.txt).
// It keeps running a while after that, but versions exitsAtOnce and
// exitsAtOnce + 1 end at once with status 0 and 1: a bootstrapper that has
// started the real launcher, and a launcher handing over to a running copy.
const int exitsAtOnce = 10;
std::string LauncherFile(int version, std::size_t padding = 0);
std::string StartRecord(int version, const std::string& folder);

// A program of the target's kind, made from a built one, in the form asked
// for: "program" (whole), "cut program" (its first half, on Linux without
// the section table that would tell too), "cut tail" (its last bytes cut:
// on Linux inside the section table, on Windows inside the certificate
// table of a signed image), "foreign program" (for a machine no system here
// runs), "unloadable program" (whole to the eye, but the system will not
// start it: on Linux a script whose interpreter is missing); on Linux
// "system program" (/bin/true); on Windows "gui program", "dll program" and
// "signed program" (a certificate table, but no signature Windows would
// take). The Windows forms are version 2.
//
// Programs that start and then fail, in forms on both systems:
// "crash at start" (its first instruction faults: on Linux a ud2 written
// over it, SIGILL, which unlike SIGSEGV the sanitizers' runtime does not
// turn into a report and status 1; on Windows an entry point at the
// headers, which are not executable: an access violation, 0xC0000005, at
// once where no debugger attaches, as start-wine sets Wine up);
// "tail never written" (a download preallocated and cut off: on Linux the
// first 30% kept and zeros after, SIGSEGV; on Windows zeros from the end of
// the headers on, which Wine runs into an access violation); "exits 0 at
// once" and "exits 1 at once" (the stand-in of version exitsAtOnce or
// exitsAtOnce + 1). On Linux only: "library" (a shared library, which
// SIGSEGV ends when run); "needs missing library" (a program whose shared
// library the loader cannot find: status 127); "crlf script" (the stand-in,
// version 2, with CR LF line ends, started by "#!/usr/bin/env sh": env
// finds no "sh\r", status 127); "script without #! 1" and "... 2" (the
// stand-in of that version without its "#!" line: the kernel will not run
// it, a shell will).
std::string ProgramFile(const std::string& form);

// A Windows program signed with Authenticode (SHA-256), as a publisher
// signs it, by a throwaway self-signed certificate whose subject is
// SignerSubject(who): one certificate for each who, made once per test
// process. Empty where this machine cannot sign (no openssl or
// osslsigncode).
std::string SignedBy(const std::string& program, const std::string& who);
std::string SignerSubject(const std::string& who);

// The program with one byte of its first section's contents changed: its
// signature, if any, no longer matches it.
std::string OneByteOfCodeChanged(std::string program);

// The report as the program writes it: CR LF line ends on Windows.
std::string TargetLineEnds(const std::string& report);

// How a run that a stop request ended shows: the signal on Linux; Windows
// ends such a run with STATUS_CONTROL_C_EXIT, of which Wine passes on the
// low byte.
const int windowsStopStatus = 0x3A;
