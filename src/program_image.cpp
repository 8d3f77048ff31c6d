#include "program_image.h"

namespace {

// True when length bytes from offset lie within size bytes, without the sum
// overflowing whatever the file claims.
bool Within(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

// The unsigned number of width bytes at offset, in the byte order given.
// The caller has made sure that they lie within head.
std::uint64_t Number(const std::string& head, std::uint64_t offset, unsigned width, bool bigEndian)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        const unsigned char byte = static_cast<unsigned char>(head[offset + (bigEndian ? i : width - 1 - i)]);
        value = value << 8 | byte;
    }
    return value;
}

bool StartsWith(const std::string& head, const char* magic, std::size_t length)
{
    return head.compare(0, length, magic, length) == 0;
}

} // namespace

ProgramKind ElfProgramKind(const std::string& head, std::uint64_t size, const std::string& ownHeader)
{
    if (size == 0) {
        return brokenProgram;
    }
    if (StartsWith(head, "#!", 2)) {
        return scriptProgram;
    }
    if (!StartsWith(head, "\x7f" "ELF", 4)) {
        return notAProgram;
    }
    // e_ident: class (32 or 64 bits) at 4, byte order at 5; e_machine at 18.
    if (head.size() < 20 || ownHeader.size() < 20 || head.compare(4, 2, ownHeader, 4, 2) != 0 ||
        head.compare(18, 2, ownHeader, 18, 2) != 0) {
        return brokenProgram;
    }
    const bool is64 = head[4] == 2;
    const bool bigEndian = head[5] == 2;
    const unsigned word = is64 ? 8 : 4;
    const std::uint64_t headerSize = is64 ? 64 : 52;
    const std::uint64_t entrySize = is64 ? 56 : 32;
    if (head.size() < headerSize) {
        return brokenProgram;
    }
    const auto field = [&](std::uint64_t offset, unsigned width) {
        return Number(head, offset, width, bigEndian);
    };
    // An executable (2) or a position-independent one (3), never a core
    // file or an object; with something to load.
    const std::uint64_t type = field(16, 2);
    const std::uint64_t tableAt = field(24 + word, word);
    const std::uint64_t sectionTableAt = field(24 + 2 * word, word);
    const std::uint64_t tableEntrySize = field(24 + 3 * word + 6, 2);
    const std::uint64_t entries = field(24 + 3 * word + 8, 2);
    const std::uint64_t sectionEntrySize = field(24 + 3 * word + 10, 2);
    const std::uint64_t sections = field(24 + 3 * word + 12, 2);
    if ((type != 2 && type != 3) || tableEntrySize != entrySize || entries == 0 ||
        !Within(tableAt, entries * entrySize, head.size())) {
        return brokenProgram;
    }
    // Every segment's bytes are in the file: a download cut short is not.
    for (std::uint64_t entry = tableAt; entry < tableAt + entries * entrySize; entry += entrySize) {
        if (!Within(field(entry + word, word), field(entry + (is64 ? 32 : 16), word), size)) {
            return brokenProgram;
        }
    }
    // The section header table comes last; with very many sections, the
    // first entry holds their count.
    const std::uint64_t sectionTableSize = (sections != 0 ? sections : 1) * sectionEntrySize;
    if (sectionTableAt != 0 && !Within(sectionTableAt, sectionTableSize, size)) {
        return brokenProgram;
    }
    return wholeProgram;
}

ProgramKind PeProgramKind(const std::string& head, std::uint64_t size,
                          const std::vector<unsigned>& machines)
{
    if (size == 0) {
        return brokenProgram;
    }
    if (!StartsWith(head, "MZ", 2)) {
        return notAProgram;
    }
    const auto field = [&](std::uint64_t offset, unsigned width) { return Number(head, offset, width, false); };
    if (head.size() < 64) {
        return brokenProgram;
    }
    // The PE signature and file header (24 bytes) where e_lfanew says.
    const std::uint64_t signatureAt = field(0x3c, 4);
    if (!Within(signatureAt, 24, head.size()) || head.compare(signatureAt, 4, std::string("PE\0\0", 4)) != 0) {
        return brokenProgram;
    }
    const unsigned machine = static_cast<unsigned>(field(signatureAt + 4, 2));
    const std::uint64_t sections = field(signatureAt + 6, 2);
    const std::uint64_t optionalSize = field(signatureAt + 20, 2);
    const std::uint64_t characteristics = field(signatureAt + 22, 2);
    const std::uint64_t optionalAt = signatureAt + 24;
    bool runs = false;
    for (const unsigned runnable : machines) {
        runs = runs || runnable == machine;
    }
    // IMAGE_FILE_EXECUTABLE_IMAGE set, IMAGE_FILE_DLL not.
    if (!runs || (characteristics & 0x0002) == 0 || (characteristics & 0x2000) != 0 ||
        !Within(optionalAt, optionalSize, head.size()) || optionalSize < 2) {
        return brokenProgram;
    }
    // PE32 (0x10b) for x86, PE32+ (0x20b) for 64-bit machines; the data
    // directories follow the fields of that kind.
    const std::uint64_t magic = field(optionalAt, 2);
    const bool plus = machine != 0x14c;
    const std::uint64_t directoriesAt = plus ? 112 : 96;
    if (magic != (plus ? 0x20bu : 0x10bu) || optionalSize < directoriesAt) {
        return brokenProgram;
    }
    // The certificate table (directory 4) is the one whose place is a file
    // offset, at the file's end: where a signed file is cut, it is not whole.
    const std::uint64_t directories = field(optionalAt + directoriesAt - 4, 4);
    if (directories > 4 && optionalSize >= directoriesAt + 5 * 8) {
        const std::uint64_t certificates = optionalAt + directoriesAt + 4 * 8;
        const std::uint64_t length = field(certificates + 4, 4);
        if (length != 0 && !Within(field(certificates, 4), length, size)) {
            return brokenProgram;
        }
    }
    const std::uint64_t sectionTable = optionalAt + optionalSize;
    if (!Within(sectionTable, sections * 40, head.size())) {
        return brokenProgram;
    }
    for (std::uint64_t section = sectionTable; section < sectionTable + sections * 40; section += 40) {
        const std::uint64_t rawSize = field(section + 16, 4);
        const std::uint64_t rawAt = field(section + 20, 4);
        if (rawSize != 0 && rawAt != 0 && !Within(rawAt, rawSize, size)) {
            return brokenProgram;
        }
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
