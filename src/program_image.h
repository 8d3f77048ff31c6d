#pragma once

// Whether a file is a program that this system can start, told from its
// first bytes and its size: a download cut short, an error page saved under
// the launcher's name or a build for another machine must never replace a
// launcher that works.

#include <cstdint>
#include <string>
#include <vector>

// How much of a file's start the checks read. Every header of a real
// program lies well within it; one that does not is taken for broken.
const std::size_t programHeadBytes = 64 * 1024;

enum ProgramKind {
    notAProgram,   // no program image at all: a page, an archive, a document
    scriptProgram, // a script that names its interpreter ("#!")
    brokenProgram, // empty, cut short, for another machine, or a library
    wholeProgram   // a whole program image of a kind this system starts
};

// An ELF program of the class, byte order and machine of ownHeader (the
// header of this program's own image), an executable or a position-
// independent one, with every segment and the section header table within
// size; or a script.
ProgramKind ElfProgramKind(const std::string& head, std::uint64_t size, const std::string& ownHeader);

// A PE program: "MZ", e_lfanew, "PE\0\0", an optional header of the kind
// its magic says, an executable and no DLL, for one of machines (IMAGE_FILE_
// MACHINE_* values), with every section's raw data and the certificate table
// (the signature at the end of a signed file) within size.
ProgramKind PeProgramKind(const std::string& head, std::uint64_t size,
                          const std::vector<unsigned>& machines);

// Whether a download of that kind may replace the old launcher: a program
// always, a broken one never, and anything else only where the old launcher
// is there and no program image either (a script, a document the shell
// opens), so that nothing tells what the download should be.
bool MayReplace(ProgramKind download, bool hasOld, ProgramKind oldLauncher);
