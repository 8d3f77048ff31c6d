#include "target.h"

#include "expected_report.h"
#include "scratch_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

std::string Environment(const char* name, const std::string& otherwise = "")
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

// The Linux stand-in reports how it was started into started.txt in its
// working folder (with the signals it was started with blocked or ignored),
// then keeps running a while, so that the test can tell whether the
// updater's output ended before it did.
std::string ShellLauncher(int version)
{
    return "#!/bin/sh\n"
           "export LC_ALL=C\n"
           "out=$(readlink /proc/$$/fd/1)\n"
           "session=$(tr '\\n' ' ' < /proc/$$/stat | sed 's/.*) //' | cut -d' ' -f4)\n"
           "if [ \"$session\" = \"$$\" ]; then session=own; else session=shared; fi\n"
           "blocked=$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status)\n"
           "ignored=$(sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status)\n"
           "printf 'version=" +
           std::to_string(version) +
           "\\ncwd=%s\\nargs=%s\\nout=%s\\nsession=%s\\nblocked=%s\\nignored=%s\\n' \"$(pwd)\" \"$#\" \"$out\""
           " \"$session\" \"$blocked\" \"$ignored\" > started.tmp\n"
           "mv started.tmp started.txt\n"
           "sleep 3\n"
           ": > finished.txt\n";
}

void Put(std::string& bytes, std::size_t at, unsigned width, std::uint32_t value)
{
    for (unsigned i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xff);
    }
}

std::uint32_t Get(const std::string& bytes, std::size_t at, unsigned width)
{
    std::uint32_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// Where the last of a 64-bit program's segments ends in the file: a cut
// before it leaves the program without bytes it loads. Half the file would
// not do for a build that carries its debug information after them (the
// sanitizers' Debug build), whose first half is a whole program.
std::size_t SegmentsEnd(const std::string& elf)
{
    const std::size_t table = Get(elf, 32, 4);  // e_phoff
    const std::size_t entrySize = Get(elf, 54, 2); // e_phentsize
    std::size_t end = 0;
    for (std::size_t i = 0; i < Get(elf, 56, 2); ++i) { // e_phnum
        const std::size_t entry = table + i * entrySize;
        end = std::max<std::size_t>(end, Get(elf, entry + 8, 4) + Get(elf, entry + 32, 4)); // p_offset + p_filesz
    }
    return end;
}

} // namespace

bool TargetIsWindows()
{
    const std::string program = ProgramUnderTest();
    return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

std::string ProgramUnderTest()
{
    return Environment("KESTRIN_PROGRAM", KESTRIN_PROGRAM);
}

std::vector<std::string> TargetCommand(const std::string& program,
                                       const std::vector<std::string>& arguments)
{
    std::vector<std::string> command;
    if (TargetIsWindows()) {
        command = {Environment("KESTRIN_WINE", "wine"), TargetPath(program)};
    } else {
        command = {program};
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::vector<std::string> TargetEnvironment(bool unprivileged)
{
    std::vector<std::string> environment;
    for (const char* name : {"PATH", "TZ", "LANG", "WINESERVER"}) {
        if (std::getenv(name) != nullptr) {
            environment.push_back(std::string(name) + "=" + std::getenv(name));
        }
    }
    if (TargetIsWindows()) {
        // Wine refuses a prefix that belongs to another user.
        const std::string prefix = unprivileged ? Environment("KESTRIN_UNPRIVILEGED_WINEPREFIX")
                                                : Environment("WINEPREFIX");
        environment.push_back("WINEPREFIX=" + prefix);
        environment.push_back("WINEDEBUG=-all");
        environment.push_back("HOME=" + (unprivileged ? prefix : Environment("HOME", "/")));
    }
    return environment;
}

std::string TargetPath(const std::string& path)
{
    if (!TargetIsWindows()) {
        return path;
    }
    return Replace(!path.empty() && path[0] == '/' ? "Z:" + path : path, "/", "\\");
}

std::vector<std::string> TargetArguments(const std::vector<std::string>& arguments,
                                         const std::string& folder)
{
    std::vector<std::string> spelled;
    for (const std::string& argument : arguments) {
        spelled.push_back(TargetPath(Replace(Replace(argument, "{null}", TargetIsWindows() ? "NUL" : "/dev/zero"),
                                             "{dir}", folder)));
    }
    return spelled;
}

std::string LauncherFile(int version, std::size_t padding)
{
    static const std::string standIn = ReadFile(Environment("KESTRIN_STAND_IN"));
    const std::string pad(padding, '#');
    return TargetIsWindows() ? standIn + pad + "\n" + std::to_string(version)
                             : ShellLauncher(version) + pad + (padding > 0 ? "\n" : "");
}

std::string ProgramFile(const std::string& form)
{
    if (!TargetIsWindows()) {
        std::string elf = ReadFile(ProgramUnderTest());
        if (form == "foreign program") {
            Put(elf, 18, 2, Get(elf, 18, 2) == 183 ? 62 : 183); // AArch64, or x86-64 there
        }
        if (form == "cut program") {
            // e_shoff and e_shnum, as a 64-bit program has them.
            elf.replace(40, 8, 8, '\0');
            elf.replace(60, 2, 2, '\0');
        }
        return form == "cut program"          ? elf.substr(0, SegmentsEnd(elf) / 2)
               : form == "cut tail"           ? elf.substr(0, elf.size() - 10)
               : form == "unloadable program" ? "#!/nonexistent/interpreter\n"
               : form == "system program"     ? ReadFile("/bin/true")
                                              : elf;
    }
    std::string pe = LauncherFile(2);
    const std::size_t optional = Get(pe, 0x3c, 4) + 24;
    if (form == "cut program") {
        return pe.substr(0, pe.size() / 2);
    }
    if (form == "foreign program") {
        Put(pe, optional - 20, 2, 0x1c4); // 32-bit ARM
    } else if (form == "dll program") {
        Put(pe, optional - 2, 2, Get(pe, optional - 2, 2) | 0x2000);
    } else if (form == "gui program") {
        Put(pe, optional + 68, 2, 2);
    } else if (form == "unloadable program") {
        Put(pe, optional + 56, 4, 0); // SizeOfImage
    } else if (form == "signed program" || form == "cut tail") {
        // A certificate table where a signature puts it, 8-aligned at the
        // end; its last bytes still name the version.
        pe.resize((pe.size() - 2 + 7) / 8 * 8, '\0');
        const std::string certificate = std::string("\x40\0\0\0\0\x02\x02\0", 8) + std::string(54, 'c') + "\n2";
        const std::size_t directory = optional + (Get(pe, optional, 2) == 0x20b ? 112 : 96) + 4 * 8;
        Put(pe, directory, 4, static_cast<std::uint32_t>(pe.size()));
        Put(pe, directory + 4, 4, static_cast<std::uint32_t>(certificate.size()));
        pe += certificate;
        if (form == "cut tail") {
            pe.resize(pe.size() - 30);
        }
    }
    return pe;
}

std::string StartRecord(int version, const std::string& folder)
{
    if (TargetIsWindows()) {
        return "version=" + std::to_string(version) + "\r\ncwd=" + TargetPath(folder) + "\r\nargs=0\r\n";
    }
    return "version=" + std::to_string(version) + "\ncwd=" + folder +
           "\nargs=0\nout=/dev/null\nsession=own\nblocked=0000000000000000\nignored=0000000000000000\n";
}

std::string TargetLineEnds(const std::string& report)
{
    return TargetIsWindows() ? Replace(report, "\n", "\r\n") : report;
}
