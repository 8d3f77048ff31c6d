#pragma once

// Whether a file is a program that this system can start, told from bytes
// read where its headers say and from its size: a download cut short or
// never written to its end, an error page saved under the launcher's name, a
// library or a build for another machine must never replace a launcher that
// works.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The most the checks read in one piece: a header, a table of program or
// section headers, a dynamic segment. Every one of a real program fits; a
// table that claims more is taken for broken, a dynamic segment is read that
// far.
const std::size_t programHeadBytes = 64 * 1024;

// Reads up to length bytes at offset of the file being judged: fewer at its
// end, none past it.
using ReadBytes = std::function<std::string(std::uint64_t offset, std::size_t length)>;

enum ProgramKind {
    notAProgram,   // no program image at all: a page, an archive, a document
    scriptProgram, // a script that names its interpreter ("#!")
    brokenProgram, // empty, cut short, for another machine, or a library
    wholeProgram   // a whole program image of a kind this system starts
};

// An ELF program of size bytes, read through read:
// - of the class (e_ident[4]), byte order (e_ident[5]) and machine
//   (e_machine, at 18) of one of machines, each an ELF header, its first 20
//   bytes at least (shorter ones are ignored): this program's own image, and
//   the old launcher where that is an ELF file;
// - an executable (ET_EXEC) or a position-independent one (ET_DYN with a
//   PT_INTERP program header, or without one but with DF_1_PIE in the
//   DT_FLAGS_1 of its PT_DYNAMIC segment: a static-pie); any other ET_DYN is
//   a shared library;
// - with a program header table and every segment's bytes within size;
// - where it has a section header table (e_shoff not 0): the table within
//   size and, unless e_shstrndx is SHN_UNDEF, the section that names the
//   sections there and of type SHT_STRTAB; a file whose tail was never
//   written has zeros there (e_shstrndx SHN_XINDEX: the index is section 0's
//   sh_link; e_shnum 0: the count is section 0's sh_size).
// A file that starts with "#!" is a script; an empty one is broken; one that
// is not ELF, not a program.
ProgramKind ElfProgramKind(const ReadBytes& read, std::uint64_t size, const std::vector<std::string>& machines);

// A PE program of size bytes, read through read: "MZ", e_lfanew, "PE\0\0",
// an optional header of the kind its magic says, an executable and no DLL,
// for one of machines (IMAGE_FILE_MACHINE_* values), with every section's
// raw data within size; and where it has a certificate table (the signature
// at the end of a signed file, data directory 4, whose place is a file
// offset), that table within size and starting with a WIN_CERTIFICATE whose
// dwLength is 8 at least and the table's size at most, whose wRevision is
// 0x0100 or 0x0200 and whose wCertificateType is 1 to 4: a signed download
// never written to its end has zeros there.
ProgramKind PeProgramKind(const ReadBytes& read, std::uint64_t size, const std::vector<unsigned>& machines);

// Whether a download of that kind may replace the old launcher: a program
// always, a broken one never, and anything else only where the old launcher
// is there and no program image either (a script, a document the shell
// opens), so that nothing tells what the download should be.
bool MayReplace(ProgramKind download, bool hasOld, ProgramKind oldLauncher);
