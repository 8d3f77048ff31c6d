// The program check on what this system has: its executables must pass,
// its shared libraries must not; and so for the Windows programs and
// libraries that Wine and MinGW-w64 bring, where they are installed.

#include "program_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string ReadAt(int file, std::uint64_t offset, std::size_t length)
{
    std::string bytes(length, '\0');
    const ssize_t got = pread(file, &bytes[0], length, static_cast<off_t>(offset));
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::uint64_t Little(const std::string& bytes, std::size_t at, unsigned width)
{
    std::uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// Whether a little-endian ELF file names an interpreter: the ground truth
// for what under /usr/lib is a program despite its name (libc.so.6 prints
// its version when run), read here without the module under test.
bool HasInterpreter(int file, const std::string& header)
{
    const bool is64 = header[4] == 2;
    const unsigned word = is64 ? 8 : 4;
    const std::uint64_t tableAt = Little(header, 24 + word, word);
    const std::uint64_t entrySize = Little(header, 30 + 3 * word, 2);
    const std::uint64_t entries = Little(header, 32 + 3 * word, 2);
    const std::string table = ReadAt(file, tableAt, static_cast<std::size_t>(std::min<std::uint64_t>(entries * entrySize, 1 << 20)));
    for (std::uint64_t entry = 0; entrySize >= 4 && entry + 4 <= table.size(); entry += entrySize) {
        if (Little(table, entry, 4) == 3) {
            return true;
        }
    }
    return false;
}

// What the scan saw, and the files it judged wrongly.
struct Tally {
    int executables = 0;
    int libraries = 0;
    int otherMachines = 0;
    int notJudged = 0;
    std::vector<std::string> wrong;
};

bool Contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

// Counts an executable that passed or a library refused; names any other.
void Count(const std::string& place, bool executable, bool passes, Tally& tally)
{
    if (passes != executable) {
        tally.wrong.push_back(place + (executable ? ": an executable refused" : ": a library passed"));
    } else {
        (executable ? tally.executables : tally.libraries) += 1;
    }
}

// Judges one regular ELF file of this machine as the ground truth says:
// in /usr/bin and /usr/sbin an executable (ET_EXEC or ET_DYN, with the
// execute bit) must pass; under /usr/lib a ".so" without an interpreter is
// a library and must be refused; anything else is not judged.
void JudgeElf(const fs::path& path, int file, const struct stat& info, const std::string& ownHeader, Tally& tally)
{
    const std::string header = ReadAt(file, 0, 64);
    if (header.size() < 64 || header.compare(0, 4, "\x7f" "ELF") != 0) {
        return;
    }
    if (header.compare(4, 2, ownHeader, 4, 2) != 0 || header.compare(18, 2, ownHeader, 18, 2) != 0) {
        ++tally.otherMachines;
        return;
    }
    const std::string place = path.string();
    const std::uint64_t type = Little(header, 16, 2);
    const bool inBin = place.rfind("/usr/bin/", 0) == 0 || place.rfind("/usr/sbin/", 0) == 0;
    const bool executable = inBin && (type == 2 || type == 3) && (info.st_mode & S_IXUSR) != 0;
    const bool library = !inBin && Contains(path.filename().string(), ".so") && !HasInterpreter(file, header);
    if (!executable && !library) {
        ++tally.notJudged;
        return;
    }
    const ReadBytes read = [file](std::uint64_t offset, std::size_t length) { return ReadAt(file, offset, length); };
    const bool passes = ElfProgramKind(read, static_cast<std::uint64_t>(info.st_size), {ownHeader}) == wholeProgram;
    Count(place, executable, passes, tally);
}

// Judges one PE file by its name: a ".exe" must pass, a ".dll" must not.
// Wine's ntoskrnl.exe is the exception: the library that Wine's drivers
// import, loaded by winedevice.exe, its header says IMAGE_FILE_DLL, as a
// library's does.
void JudgePe(const fs::path& path, int file, const struct stat& info, Tally& tally)
{
    const std::string extension = path.extension().string();
    const bool named = extension == ".exe" || extension == ".EXE";
    const bool executable = named && path.filename() != "ntoskrnl.exe";
    if ((!named && extension != ".dll" && extension != ".DLL") || ReadAt(file, 0, 2) != "MZ") {
        return;
    }
    const ReadBytes read = [file](std::uint64_t offset, std::size_t length) { return ReadAt(file, offset, length); };
    const bool passes =
        PeProgramKind(read, static_cast<std::uint64_t>(info.st_size), {0x14c, 0x8664}) == wholeProgram;
    Count(path.string(), executable, passes, tally);
}

// Every regular file under root (symbolic links not followed, files over
// 256 MiB left out), judged as ELF files or as PE files.
void Scan(const fs::path& root, bool pe, const std::string& ownHeader, Tally& tally)
{
    std::error_code error;
    fs::recursive_directory_iterator entry(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
        const int file = open(entry->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (file < 0) {
            continue;
        }
        struct stat info;
        if (fstat(file, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= 256 * 1024 * 1024) {
            if (pe) {
                JudgePe(entry->path(), file, info, tally);
            } else {
                JudgeElf(entry->path(), file, info, ownHeader, tally);
            }
        }
        close(file);
    }
}

TEST(ProgramImageScan, SystemProgramsPassAndLibrariesDoNot)
{
    int self = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(self, 0);
    const std::string ownHeader = ReadAt(self, 0, 64);
    close(self);
    ASSERT_EQ(ownHeader.size(), 64u);

    Tally elf;
    for (const char* root : {"/usr/bin", "/usr/sbin", "/usr/lib"}) {
        Scan(root, false, ownHeader, elf);
    }
    Tally pe;
    std::vector<fs::path> windows{"/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/i386-linux-gnu/wine",
                                  "/usr/x86_64-w64-mingw32", "/usr/i686-w64-mingw32"};
    std::error_code error;
    for (fs::directory_iterator gcc("/usr/lib/gcc", error); !error && gcc != fs::directory_iterator();
         gcc.increment(error)) {
        if (Contains(gcc->path().filename().string(), "-w64-mingw32")) {
            windows.push_back(gcc->path());
        }
    }
    for (const fs::path& root : windows) {
        Scan(root, true, ownHeader, pe);
    }

    std::cout << elf.executables << " executables passed, " << elf.libraries << " libraries refused, "
              << elf.wrong.size() << " ELF files judged wrongly (" << elf.otherMachines
              << " of other machines skipped, " << elf.notJudged << " others not judged); " << pe.executables
              << " Windows executables passed, " << pe.libraries << " Windows libraries refused, " << pe.wrong.size()
              << " judged wrongly\n";
    for (const std::string& wrong : elf.wrong) {
        ADD_FAILURE() << wrong;
    }
    for (const std::string& wrong : pe.wrong) {
        ADD_FAILURE() << wrong;
    }
    if (elf.executables + elf.libraries + pe.executables + pe.libraries + elf.wrong.size() + pe.wrong.size() == 0) {
        GTEST_SKIP() << "no program or library found";
    }
}

} // namespace
