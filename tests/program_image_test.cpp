// The program check, on files made here: each row describes a small ELF or
// PE file in a few words (or gives its bytes), or the kinds MayReplace
// weighs, and says what the check must find.

#include "program_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The words of a row's shape: "key=value" or "key" (as 1).
std::map<std::string, std::uint64_t> Words(const std::string& shape)
{
    std::map<std::string, std::uint64_t> words;
    std::istringstream in(shape);
    std::string word;
    while (in >> word) {
        const std::size_t equals = word.find('=');
        words[word.substr(0, equals)] =
            equals == std::string::npos ? 1 : std::stoull(word.substr(equals + 1), nullptr, 0);
    }
    return words;
}

std::uint64_t Word(const std::map<std::string, std::uint64_t>& words, const char* key, std::uint64_t otherwise)
{
    const auto found = words.find(key);
    return found != words.end() ? found->second : otherwise;
}

void Put(std::string& bytes, std::uint64_t at, unsigned width, std::uint64_t value, bool bigEndian = false)
{
    for (unsigned i = 0; i < width; ++i) {
        bytes[at + (bigEndian ? width - 1 - i : i)] = static_cast<char>(value >> (8 * i) & 0xff);
    }
}

// A small ELF file: header, program headers (PT_LOAD over the whole file,
// PT_INTERP, PT_DYNAMIC), the interpreter's name, the dynamic segment, the
// section names, and last three section headers: SHT_NULL, SHT_PROGBITS and
// the SHT_STRTAB of the names at index 2.
std::string ElfFile(const std::string& shape)
{
    const auto words = Words(shape);
    const bool is64 = Word(words, "bits", 64) == 64;
    const bool big = Word(words, "big", 0) != 0;
    const unsigned w = is64 ? 8 : 4;
    const bool interpreter = Word(words, "interp", 0) != 0;
    const bool dynamic = words.count("flags1") != 0 || words.count("dynamic") != 0;
    const std::uint64_t phnum = 1 + interpreter + dynamic;
    const std::uint64_t interpAt = (is64 ? 64 : 52) + phnum * (is64 ? 56 : 32);
    const std::uint64_t dynamicAt = interpAt + 16;
    const std::uint64_t dynamicSize = Word(words, "dynamic-size", 4 * 2 * w);
    const std::uint64_t namesAt = dynamicAt + dynamicSize;
    const std::uint64_t tableAt = namesAt + 24;
    const std::uint64_t shentsize = is64 ? 64 : 40;
    const std::uint64_t size = tableAt + 3 * shentsize;
    std::string elf(size, '\0');
    const auto put = [&](std::uint64_t at, unsigned width, std::uint64_t value) { Put(elf, at, width, value, big); };
    elf.replace(0, 7, std::string("\x7f" "ELF", 4) + char(is64 ? 2 : 1) + char(big ? 2 : 1) + '\1');
    put(16, 2, Word(words, "type", 2));
    put(18, 2, Word(words, "machine", is64 ? 62 : 3));
    put(24 + w, w, is64 ? 64 : 52);
    put(24 + 2 * w, w, Word(words, "no-sections", 0) ? 0 : tableAt);
    put(30 + 3 * w, 2, is64 ? 56 : 32);
    put(32 + 3 * w, 2, phnum);
    put(34 + 3 * w, 2, shentsize);
    put(36 + 3 * w, 2, words.count("first-count") ? 0 : 3);
    put(38 + 3 * w, 2, Word(words, "names", 2));
    std::uint64_t header = is64 ? 64 : 52;
    const auto segment = [&](unsigned type, std::uint64_t at, std::uint64_t length) {
        put(header, 4, type);
        put(header + w, w, at);
        put(header + 4 * w, w, length);
        header += is64 ? 56 : 32;
    };
    segment(1, 0, size + Word(words, "load-beyond", 0));
    if (interpreter) {
        segment(3, interpAt, 15);
        elf.replace(interpAt, 14, "/lib/ld.so.1\0\0", 14);
    }
    if (dynamic) {
        segment(2, dynamicAt, dynamicSize);
        // DT_DEBUG first, so that DT_FLAGS_1 is not the first entry.
        put(dynamicAt, w, 21);
        const std::uint64_t flagsAt = dynamicAt + (Word(words, "after-null", 0) ? 4 : 2) * w;
        put(flagsAt, w, words.count("flags1") ? 0x6ffffffb : 0);
        put(flagsAt + w, w, Word(words, "flags1", 0));
    }
    elf.replace(namesAt, 17, std::string("\0.text\0.shstrtab\0", 17));
    put(tableAt + 8 + 3 * w, w, Word(words, "first-count", 0));       // section 0's sh_size
    put(tableAt + 8 + 4 * w, 4, Word(words, "link", 0));              // section 0's sh_link
    put(tableAt + shentsize + 4, 4, 1);                                // SHT_PROGBITS
    put(tableAt + 2 * shentsize + 4, 4, Word(words, "names-type", 3)); // SHT_STRTAB
    put(tableAt + 2 * shentsize + 8 + 2 * w, w, namesAt);
    put(tableAt + 2 * shentsize + 8 + 3 * w, w, 17);
    elf.replace(size - Word(words, "zero-tail", 0), Word(words, "zero-tail", 0), Word(words, "zero-tail", 0), '\0');
    return elf.substr(0, size - Word(words, "cut", 0));
}

// A small PE file: DOS header, "PE\0\0" at 0x40, an optional header of the
// machine's kind, two sections of 0x200 bytes each from 0x400 (and empty
// ones after them up to "sections"), and where the shape says a
// certificate table of 16 bytes at the end.
std::string PeFile(const std::string& shape)
{
    const auto words = Words(shape);
    const unsigned machine = static_cast<unsigned>(Word(words, "machine", 0x8664));
    const bool plus = machine != 0x14c;
    const std::uint64_t optionalSize = plus ? 240 : 224;
    const std::uint64_t directories = 0x58 + (plus ? 112 : 96);
    const std::uint64_t sections = Word(words, "sections", 2);
    std::string pe(std::max<std::uint64_t>(0x800, 0x58 + optionalSize + sections * 40), '\0');
    pe.replace(0, 2, "MZ");
    Put(pe, 0x3c, 4, 0x40);
    pe.replace(0x40, 4, std::string("PE\0\0", 4));
    Put(pe, 0x44, 2, machine);
    Put(pe, 0x46, 2, sections);
    Put(pe, 0x54, 2, optionalSize);
    Put(pe, 0x56, 2, 0x0022 | (Word(words, "dll", 0) ? 0x2000 : 0));
    Put(pe, 0x58, 2, plus ? 0x20b : 0x10b);
    Put(pe, directories - 4, 4, 16);
    for (unsigned section = 0; section < 2; ++section) {
        const std::uint64_t entry = 0x58 + optionalSize + section * 40;
        Put(pe, entry + 16, 4, 0x200);
        Put(pe, entry + 20, 4, 0x400 + section * 0x200);
    }
    if (words.count("cert-length") != 0) {
        Put(pe, directories + 4 * 8, 4, pe.size());
        Put(pe, directories + 4 * 8 + 4, 4, 16);
        std::string certificate(16, '\0');
        Put(certificate, 0, 4, Word(words, "cert-length", 0));
        Put(certificate, 4, 2, Word(words, "cert-revision", 0x0200));
        Put(certificate, 6, 2, Word(words, "cert-type", 2));
        pe += certificate;
    }
    return pe.substr(0, pe.size() - Word(words, "cut", 0));
}

ProgramKind KindNamed(const std::string& name)
{
    return name == "whole" ? wholeProgram : name == "script" ? scriptProgram
                                          : name == "broken" ? brokenProgram
                                                             : notAProgram;
}

const char* NameOf(ProgramKind kind)
{
    return kind == wholeProgram ? "whole" : kind == scriptProgram ? "script"
                                         : kind == brokenProgram ? "broken"
                                                                 : "not a program";
}

enum Check { elfCheck, peCheck, replaceCheck };

struct Row {
    const char* name;
    Check check;
    // elfCheck, peCheck: the file's shape (or "text=" and its bytes);
    // replaceCheck: "download old" by kind names, "old" may be "none".
    const char* shape;
    const char* expected; // a kind's name, or "replaces" / "keeps"
};

const Row rows[] = {
    {"ElfExecutable", elfCheck, "", "whole"},
    {"ElfExecutable32OfOwnMachine", elfCheck, "bits=32 own32", "whole"},
    {"PieWithInterpreter", elfCheck, "type=3 interp dynamic", "whole"},
    {"StaticPie", elfCheck, "type=3 flags1=0x08000001", "whole"},
    {"LibraryWithoutEither", elfCheck, "type=3 dynamic", "broken"},
    {"LibraryWithOtherFlags", elfCheck, "type=3 flags1=0x00000001", "broken"},
    {"LibraryWithFlagsPastTheEnd", elfCheck, "type=3 flags1=0x08000000 after-null", "broken"},
    {"LibraryWithoutDynamicSegment", elfCheck, "type=3", "broken"},
    {"StaticPieWithHugeDynamicSegment", elfCheck, "type=3 flags1=0x08000000 dynamic-size=200000", "whole"},
    {"Library32", elfCheck, "bits=32 own32 type=3 dynamic", "broken"},
    {"StaticPie32", elfCheck, "bits=32 own32 type=3 flags1=0x08000000", "whole"},
    {"ObjectFile", elfCheck, "type=1", "broken"},
    {"SectionNamesZeroTail", elfCheck, "zero-tail=64", "broken"},
    {"SectionNamesZeroTail32", elfCheck, "bits=32 own32 zero-tail=40", "broken"},
    {"SectionNamesNotStrtab", elfCheck, "names-type=1", "broken"},
    {"SectionNamesIndexPastCount", elfCheck, "names=3", "broken"},
    {"SectionNamesUndefined", elfCheck, "names=0 zero-tail=64", "whole"},
    {"SectionNamesIndexInFirst", elfCheck, "names=0xffff link=2", "whole"},
    {"SectionNamesIndexInFirstWrong", elfCheck, "names=0xffff link=1", "broken"},
    {"SectionNamesIndexInFirstPastCount", elfCheck, "names=0xffff link=7", "broken"},
    {"SectionCountInFirst", elfCheck, "first-count=3", "whole"},
    {"SectionCountInFirstTooSmall", elfCheck, "first-count=2", "broken"},
    {"SectionCountInFirstPastEnd", elfCheck, "first-count=4", "broken"},
    {"NoSectionTable", elfCheck, "no-sections zero-tail=64", "whole"},
    {"SectionTableCut", elfCheck, "cut=10", "broken"},
    {"SegmentCutShort", elfCheck, "load-beyond=1", "broken"},
    {"ForeignMachine", elfCheck, "machine=183", "broken"},
    {"ForeignByteOrder", elfCheck, "big", "broken"},
    {"OtherClass", elfCheck, "bits=32 machine=62", "broken"},
    {"OldLaunchersMachine", elfCheck, "bits=32 old32", "whole"},
    {"OldLaunchersHeaderTooShort", elfCheck, "bits=32 old-short", "broken"},
    {"Script", elfCheck, "text=#!/bin/sh\n", "script"},
    {"Empty", elfCheck, "text=", "broken"},
    {"Page", elfCheck, "text=<html>", "not a program"},
    {"ElfMagicOnly", elfCheck, "text=\x7f" "ELF", "broken"},
    {"PeExecutable", peCheck, "", "whole"},
    {"PeExecutableX86", peCheck, "machine=0x14c", "whole"},
    {"PeDll", peCheck, "dll", "broken"},
    {"PeForeignMachine", peCheck, "machine=0x1c4", "broken"},
    {"PeSectionsCut", peCheck, "cut=0x100", "broken"},
    {"PeManySections", peCheck, "sections=96", "whole"},
    {"PeSectionTableTooLong", peCheck, "sections=2000", "broken"},
    {"PeSigned", peCheck, "cert-length=16", "whole"},
    {"PeSignedOldRevision", peCheck, "cert-length=8 cert-revision=0x0100 cert-type=1", "whole"},
    {"PeSignedZeros", peCheck, "cert-length=0 cert-revision=0 cert-type=0", "broken"},
    {"PeSignedBadRevision", peCheck, "cert-length=16 cert-revision=0x0300", "broken"},
    {"PeSignedLengthPastTable", peCheck, "cert-length=17", "broken"},
    {"PeSignedLengthTooShort", peCheck, "cert-length=7", "broken"},
    {"PeSignedBadType", peCheck, "cert-length=16 cert-type=5", "broken"},
    {"PeSignedTypeZero", peCheck, "cert-length=16 cert-type=0", "broken"},
    {"PeSignedCut", peCheck, "cert-length=16 cut=4", "broken"},
    {"PePage", peCheck, "text=<html>", "not a program"},
    {"PeEmpty", peCheck, "text=", "broken"},
    {"PeDosOnly", peCheck, "text=MZ", "broken"},
    {"ReplaceWithProgram", replaceCheck, "whole whole", "replaces"},
    {"ReplaceWithScript", replaceCheck, "script whole", "replaces"},
    {"ReplaceWithBroken", replaceCheck, "broken script", "keeps"},
    {"ReplaceProgramWithPage", replaceCheck, "not whole", "keeps"},
    {"ReplaceBrokenWithPage", replaceCheck, "not broken", "keeps"},
    {"ReplaceScriptWithPage", replaceCheck, "not script", "replaces"},
    {"ReplaceDocumentWithPage", replaceCheck, "not not", "replaces"},
    {"ReplaceNothingWithPage", replaceCheck, "not none", "keeps"},
};

// The machines a row's ELF file is judged against: an x86-64 header as this
// program's own, and the old launcher's where the shape gives one.
std::vector<std::string> ElfMachines(const std::string& shape)
{
    const auto words = Words(shape);
    std::vector<std::string> machines{ElfFile(words.count("own32") ? "bits=32" : "").substr(0, 64)};
    if (words.count("old32") != 0 || words.count("old-short") != 0) {
        machines.push_back(ElfFile("bits=32").substr(0, words.count("old32") ? 20 : 17));
    }
    return machines;
}

class ProgramImage : public testing::TestWithParam<Row> {};

TEST_P(ProgramImage, Judges)
{
    const Row& row = GetParam();
    const std::string shape = row.shape;
    std::string result;
    if (row.check == replaceCheck) {
        const std::string old = shape.substr(shape.find(' ') + 1);
        const bool replaces = MayReplace(KindNamed(shape.substr(0, shape.find(' '))), old != "none", KindNamed(old));
        result = replaces ? "replaces" : "keeps";
    } else {
        const bool text = shape.compare(0, 5, "text=") == 0;
        const std::string file = text ? shape.substr(5) : row.check == elfCheck ? ElfFile(shape) : PeFile(shape);
        // Every read within the file and bounded; none asks past its end.
        std::size_t largest = 0;
        const ReadBytes read = [&](std::uint64_t offset, std::size_t length) {
            largest = std::max(largest, length);
            return offset < file.size() ? file.substr(offset, length) : std::string();
        };
        const ProgramKind kind = row.check == elfCheck ? ElfProgramKind(read, file.size(), ElfMachines(text ? "" : shape))
                                                       : PeProgramKind(read, file.size(), {0x14c, 0x8664});
        EXPECT_LE(largest, programHeadBytes);
        result = NameOf(kind);
    }
    EXPECT_EQ(result, row.expected) << row.shape;
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgramImage, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

} // namespace
