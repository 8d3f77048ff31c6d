#include "program_image.h"

namespace {

// True when length bytes from offset lie within size bytes, without the sum
// overflowing whatever the file claims.
bool Within(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

// The length bytes at offset into bytes, when they are all in the file and
// few enough to read in one piece; false for anything else, so that no
// length the file gives is trusted.
bool ReadWhole(const ReadBytes& read, std::uint64_t size, std::uint64_t offset, std::uint64_t length,
               std::string& bytes)
{
    if (length > programHeadBytes || !Within(offset, length, size)) {
        return false;
    }
    bytes = read(offset, static_cast<std::size_t>(length));
    return bytes.size() == length;
}

// The unsigned number of width bytes at offset, in the byte order given.
// The caller has made sure that they lie within bytes.
std::uint64_t Number(const std::string& bytes, std::uint64_t offset, unsigned width, bool bigEndian)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[offset + (bigEndian ? i : width - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

bool StartsWith(const std::string& bytes, const char* magic, std::size_t length)
{
    return bytes.compare(0, length, magic, length) == 0;
}

// An ELF file's class and byte order, and the file as the checks read it.
struct Elf {
    const ReadBytes& read;
    std::uint64_t size;
    bool is64;
    bool bigEndian;
    unsigned word; // bytes in an address or an offset: 4 or 8
};

std::uint64_t Field(const Elf& elf, const std::string& bytes, std::uint64_t offset, unsigned width)
{
    return Number(bytes, offset, width, elf.bigEndian);
}

// Whether the header's class, byte order (e_ident[4], [5]) and machine
// (e_machine, at 18) are those of one of machines.
bool RunsOn(const std::string& header, const std::vector<std::string>& machines)
{
    for (const std::string& machine : machines) {
        if (header.size() >= 20 && machine.size() >= 20 && header.compare(4, 2, machine, 4, 2) == 0 &&
            header.compare(18, 2, machine, 18, 2) == 0) {
            return true;
        }
    }
    return false;
}

// What the program header table tells: whether the program names an
// interpreter, and where its dynamic segment is.
struct Segments {
    bool interpreter = false;
    bool dynamic = false;
    std::uint64_t dynamicAt = 0;
    std::uint64_t dynamicSize = 0;
};

// Reads the program header table into found; false where there is none, or
// a segment's bytes are not all in the file (a download cut short).
bool ReadSegments(const Elf& elf, const std::string& header, Segments& found)
{
    const std::uint64_t tableAt = Field(elf, header, 24 + elf.word, elf.word);
    const std::uint64_t entrySize = Field(elf, header, 30 + 3 * elf.word, 2);
    const std::uint64_t entries = Field(elf, header, 32 + 3 * elf.word, 2);
    std::string table;
    if (entrySize != (elf.is64 ? 56u : 32u) || entries == 0 ||
        !ReadWhole(elf.read, elf.size, tableAt, entries * entrySize, table)) {
        return false;
    }
    for (std::uint64_t entry = 0; entry < table.size(); entry += entrySize) {
        const std::uint64_t type = Field(elf, table, entry, 4);
        const std::uint64_t at = Field(elf, table, entry + elf.word, elf.word);
        const std::uint64_t length = Field(elf, table, entry + (elf.is64 ? 32 : 16), elf.word);
        if (!Within(at, length, elf.size)) {
            return false;
        }
        found.interpreter = found.interpreter || type == 3; // PT_INTERP
        if (type == 2 && !found.dynamic) {                   // PT_DYNAMIC
            found.dynamic = true;
            found.dynamicAt = at;
            found.dynamicSize = length;
        }
    }
    return true;
}

// Whether the dynamic segment marks a position-independent executable:
// DF_1_PIE in DT_FLAGS_1. A static-pie has no interpreter to tell it from a
// shared library; this flag does.
bool MarkedPie(const Elf& elf, const Segments& segments)
{
    std::string dynamic;
    const std::uint64_t length = segments.dynamicSize < programHeadBytes ? segments.dynamicSize : programHeadBytes;
    if (!segments.dynamic || !ReadWhole(elf.read, elf.size, segments.dynamicAt, length, dynamic)) {
        return false;
    }
    for (std::uint64_t entry = 0; entry + 2 * elf.word <= dynamic.size(); entry += 2 * elf.word) {
        const std::uint64_t tag = Field(elf, dynamic, entry, elf.word);
        if (tag == 0) { // DT_NULL
            break;
        }
        if (tag == 0x6ffffffb) { // DT_FLAGS_1
            return (Field(elf, dynamic, entry + elf.word, elf.word) & 0x08000000) != 0;
        }
    }
    return false;
}

// Whether the section header table lies within the file and, where the
// header names one, the section holding the sections' names is a string
// table. The table comes last in the file: where a download manager had
// made room for the whole file and the download stopped, it is zeros.
bool SectionNamesWritten(const Elf& elf, const std::string& header)
{
    const std::uint64_t tableAt = Field(elf, header, 24 + 2 * elf.word, elf.word);
    const std::uint64_t entrySize = Field(elf, header, 34 + 3 * elf.word, 2);
    std::uint64_t count = Field(elf, header, 36 + 3 * elf.word, 2);
    std::uint64_t names = Field(elf, header, 38 + 3 * elf.word, 2);
    if (tableAt == 0) {
        return true;
    }
    if (count == 0 || names == 0xffff) { // the real numbers are in section 0
        std::string first;
        if (entrySize != (elf.is64 ? 64u : 40u) || !ReadWhole(elf.read, elf.size, tableAt, entrySize, first)) {
            return false;
        }
        count = count != 0 ? count : Field(elf, first, elf.is64 ? 32 : 20, elf.word);
        names = names != 0xffff ? names : Field(elf, first, elf.is64 ? 40 : 24, 4);
    }
    // The whole table (one entry at least) within the file, without the
    // product overflowing.
    const std::uint64_t entries = count != 0 ? count : 1;
    if (tableAt > elf.size || (entrySize != 0 && entries > (elf.size - tableAt) / entrySize)) {
        return false;
    }
    if (names == 0) { // SHN_UNDEF: no section names to check
        return true;
    }
    std::string entry;
    return names < count && entrySize == (elf.is64 ? 64u : 40u) &&
           ReadWhole(elf.read, elf.size, tableAt + names * entrySize, entrySize, entry) &&
           Field(elf, entry, 4, 4) == 3; // SHT_STRTAB
}

} // namespace

ProgramKind ElfProgramKind(const ReadBytes& read, std::uint64_t size, const std::vector<std::string>& machines)
{
    if (size == 0) {
        return brokenProgram;
    }
    const std::string header = read(0, 64);
    if (StartsWith(header, "#!", 2)) {
        return scriptProgram;
    }
    if (!StartsWith(header, "\x7f" "ELF", 4)) {
        return notAProgram;
    }
    if (!RunsOn(header, machines)) {
        return brokenProgram;
    }
    const bool is64 = header[4] == 2;
    const Elf elf{read, size, is64, header[5] == 2, is64 ? 8u : 4u};
    if (header.size() < (is64 ? 64u : 52u)) {
        return brokenProgram;
    }
    // An executable (ET_EXEC) or a position-independent one (ET_DYN),
    // never a core file or an object; with something to load.
    const std::uint64_t type = Field(elf, header, 16, 2);
    Segments segments;
    if ((type != 2 && type != 3) || !ReadSegments(elf, header, segments) || !SectionNamesWritten(elf, header)) {
        return brokenProgram;
    }
    // A shared library is ET_DYN too: one that some program loads, not one
    // that starts by itself.
    if (type == 3 && !segments.interpreter && !MarkedPie(elf, segments)) {
        return brokenProgram;
    }
    return wholeProgram;
}

namespace {

// Whether the certificate table, certificateSize bytes at the file offset
// certificateAt, lies within the file and starts with a WIN_CERTIFICATE as
// a signature has it: dwLength, wRevision (WIN_CERT_REVISION_1_0 or _2_0),
// wCertificateType (WIN_CERT_TYPE_X509 to WIN_CERT_TYPE_TS_STACK_SIGNED).
bool CertificateWhole(const ReadBytes& read, std::uint64_t size, std::uint64_t certificateAt,
                      std::uint64_t certificateSize)
{
    std::string start;
    if (!Within(certificateAt, certificateSize, size) || !ReadWhole(read, size, certificateAt, 8, start)) {
        return false;
    }
    const std::uint64_t length = Number(start, 0, 4, false);
    const std::uint64_t revision = Number(start, 4, 2, false);
    const std::uint64_t type = Number(start, 6, 2, false);
    return length >= 8 && length <= certificateSize && (revision == 0x0100 || revision == 0x0200) && type >= 1 &&
           type <= 4;
}

// Whether every section's raw data, as the section table at tableAt says,
// lies within the file.
bool SectionsWithin(const ReadBytes& read, std::uint64_t size, std::uint64_t tableAt, std::uint64_t sections)
{
    std::string table;
    if (!ReadWhole(read, size, tableAt, sections * 40, table)) {
        return false;
    }
    for (std::uint64_t section = 0; section < table.size(); section += 40) {
        const std::uint64_t rawSize = Number(table, section + 16, 4, false);
        const std::uint64_t rawAt = Number(table, section + 20, 4, false);
        if (rawSize != 0 && rawAt != 0 && !Within(rawAt, rawSize, size)) {
            return false;
        }
    }
    return true;
}

// Whether the optional header, its magic at the start, is of the kind for
// the machine and its certificate table (if any) whole.
bool OptionalHeaderWhole(const ReadBytes& read, std::uint64_t size, const std::string& optional, unsigned machine)
{
    // PE32 (0x10b) for x86, PE32+ (0x20b) for 64-bit machines; the data
    // directories follow the fields of that kind.
    const std::uint64_t magic = Number(optional, 0, 2, false);
    const bool plus = machine != 0x14c;
    const std::uint64_t directoriesAt = plus ? 112 : 96;
    if (magic != (plus ? 0x20bu : 0x10bu) || optional.size() < directoriesAt) {
        return false;
    }
    // The certificate table (directory 4) is the one whose place is a file
    // offset, at the file's end: where a signed file is cut, it is not whole.
    const std::uint64_t directories = Number(optional, directoriesAt - 4, 4, false);
    if (directories > 4 && optional.size() >= directoriesAt + 5 * 8) {
        const std::uint64_t certificates = directoriesAt + 4 * 8;
        const std::uint64_t length = Number(optional, certificates + 4, 4, false);
        if (length != 0 && !CertificateWhole(read, size, Number(optional, certificates, 4, false), length)) {
            return false;
        }
    }
    return true;
}

} // namespace

ProgramKind PeProgramKind(const ReadBytes& read, std::uint64_t size, const std::vector<unsigned>& machines)
{
    if (size == 0) {
        return brokenProgram;
    }
    const std::string start = read(0, 64);
    if (!StartsWith(start, "MZ", 2)) {
        return notAProgram;
    }
    // The PE signature and file header (24 bytes) where e_lfanew says.
    std::string fileHeader;
    if (start.size() < 64 || !ReadWhole(read, size, Number(start, 0x3c, 4, false), 24, fileHeader) ||
        !StartsWith(fileHeader, "PE\0\0", 4)) {
        return brokenProgram;
    }
    const unsigned machine = static_cast<unsigned>(Number(fileHeader, 4, 2, false));
    const std::uint64_t sections = Number(fileHeader, 6, 2, false);
    const std::uint64_t optionalSize = Number(fileHeader, 20, 2, false);
    const std::uint64_t characteristics = Number(fileHeader, 22, 2, false);
    const std::uint64_t optionalAt = Number(start, 0x3c, 4, false) + 24;
    bool runs = false;
    for (const unsigned runnable : machines) {
        runs = runs || runnable == machine;
    }
    // IMAGE_FILE_EXECUTABLE_IMAGE set, IMAGE_FILE_DLL not.
    std::string optional;
    if (!runs || (characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0 || optionalSize < 2 ||
        !ReadWhole(read, size, optionalAt, optionalSize, optional) ||
        !OptionalHeaderWhole(read, size, optional, machine) ||
        !SectionsWithin(read, size, optionalAt + optionalSize, sections)) {
        return brokenProgram;
    }
    return wholeProgram;
}

bool MayReplace(ProgramKind download, bool hasOld, ProgramKind oldLauncher)
{
    switch (download) {
    case wholeProgram:
    case scriptProgram:
        return true;
    case brokenProgram:
        return false;
    case notAProgram:
        break;
    }
    return hasOld && oldLauncher != wholeProgram && oldLauncher != brokenProgram;
}
