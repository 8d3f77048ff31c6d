#include "target.h"

#include "expected_report.h"
#include "scratch_folder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>

namespace {

std::string Environment(const char* name, const std::string& otherwise = "")
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

// The Linux stand-in reports how it was started into started.txt in its
// working folder (with the signals it was started with blocked or ignored),
// then keeps running a while, so that the test can tell whether the
// updater's output ended before it did; versions exitsAtOnce and
// exitsAtOnce + 1 end at once instead.
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
           "mv started.tmp started.txt\n" +
           (version == exitsAtOnce       ? "exit 0\n"
            : version == exitsAtOnce + 1 ? "exit 1\n"
                                         : "sleep 3\n: > finished.txt\n");
}

// The stand-in without its first line, the one that names its interpreter.
std::string WithoutFirstLine(const std::string& script)
{
    return script.substr(script.find('\n') + 1);
}

// Little-endian numbers of up to 8 bytes, as the headers of both systems'
// programs hold them.
void Put(std::string& bytes, std::size_t at, unsigned width, std::uint64_t value)
{
    for (unsigned i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xff);
    }
}

std::uint64_t Get(const std::string& bytes, std::size_t at, unsigned width)
{
    std::uint64_t value = 0;
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
    const std::size_t table = Get(elf, 32, 8);     // e_phoff
    const std::size_t entrySize = Get(elf, 54, 2); // e_phentsize
    std::size_t end = 0;
    for (std::size_t i = 0; i < Get(elf, 56, 2); ++i) { // e_phnum
        const std::size_t entry = table + i * entrySize;
        end = std::max<std::size_t>(end, Get(elf, entry + 8, 8) + Get(elf, entry + 32, 8)); // p_offset + p_filesz
    }
    return end;
}

// Where in the file of a 64-bit ELF program the code at its entry point
// is: in the loadable segment whose addresses hold it.
std::size_t EntryOffset(const std::string& elf)
{
    const std::uint64_t entry = Get(elf, 24, 8);
    for (std::size_t i = 0; i < Get(elf, 56, 2); ++i) {
        const std::size_t segment = Get(elf, 32, 8) + i * Get(elf, 54, 2);
        const std::uint64_t address = Get(elf, segment + 16, 8);
        if (Get(elf, segment, 4) == 1 && entry >= address && entry - address < Get(elf, segment + 32, 8)) {
            return Get(elf, segment + 8, 8) + (entry - address);
        }
    }
    throw std::runtime_error("no segment of the program holds its entry point");
}

// The Linux program under test, in the forms made from it.
std::string ElfForm(const std::string& form)
{
    std::string elf = ReadFile(ProgramUnderTest());
    if (form == "foreign program") {
        Put(elf, 18, 2, Get(elf, 18, 2) == 183 ? 62 : 183); // AArch64, or x86-64 there
    } else if (form == "cut program") {
        // e_shoff and e_shnum, as a 64-bit program has them.
        elf.replace(40, 8, 8, '\0');
        elf.replace(60, 2, 2, '\0');
        elf.resize(SegmentsEnd(elf) / 2);
    } else if (form == "cut tail") {
        elf.resize(elf.size() - 10);
    } else if (form == "crash at start") {
        // ud2, which the processor refuses: SIGILL. A bad address would give
        // SIGSEGV, which the sanitizers' runtime turns into a report and
        // status 1; it leaves SIGILL alone.
        elf.replace(EntryOffset(elf), 2, "\x0f\x0b");
    } else if (form == "tail never written") {
        const std::size_t written = elf.size() * 3 / 10;
        elf.replace(written, std::string::npos, elf.size() - written, '\0');
    }
    return elf;
}

std::string LinuxProgramFile(const std::string& form)
{
    const std::string withoutInterpreter = "script without #! ";
    if (form.compare(0, withoutInterpreter.size(), withoutInterpreter) == 0) {
        return WithoutFirstLine(ShellLauncher(std::stoi(form.substr(withoutInterpreter.size()))));
    }
    if (form == "crlf script") {
        // As an editor on Windows saves it: env looks for a program "sh\r".
        return "#!/usr/bin/env sh\r\n" + Replace(WithoutFirstLine(ShellLauncher(2)), "\n", "\r\n");
    }
    return form == "unloadable program"      ? "#!/nonexistent/interpreter\n"
           : form == "system program"        ? ReadFile("/bin/true")
           : form == "library"               ? ReadFile(KESTRIN_TEST_LIBRARY)
           : form == "needs missing library" ? ReadFile(KESTRIN_NEEDS_LIBRARY)
                                             : ElfForm(form);
}

// The Windows stand-in (version 2) in the forms made from it.
std::string PeForm(const std::string& form)
{
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
    } else if (form == "crash at start") {
        Put(pe, optional + 16, 4, 0); // AddressOfEntryPoint: its headers
    } else if (form == "tail never written") {
        const std::size_t headers = Get(pe, optional + 60, 4); // SizeOfHeaders
        pe.replace(headers, std::string::npos, pe.size() - headers, '\0');
    } else if (form == "signed program" || form == "cut tail") {
        // A certificate table where a signature puts it, 8-aligned at the
        // end, after the version (the stand-in reads it before the table).
        pe.resize((pe.size() + 7) / 8 * 8, '\0');
        const std::string certificate = std::string("\x40\0\0\0\0\x02\x02\0", 8) + std::string(56, 'c');
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
    if (form == "exits 0 at once" || form == "exits 1 at once") {
        return LauncherFile(exitsAtOnce + (form == "exits 1 at once" ? 1 : 0));
    }
    return TargetIsWindows() ? PeForm(form) : LinuxProgramFile(form);
}

std::string SignerSubject(const std::string& who)
{
    return "CN=Kestrin test publisher " + who;
}

std::string SignedBy(const std::string& program, const std::string& who)
{
    // The certificates live as long as the process.
    static const std::string keys = [] {
        static std::string folder = MakeScratchFolder();
        std::atexit([] { RemoveScratchFolder(folder); });
        return folder;
    }();
    static std::map<std::string, bool> made;
    const std::string key = "'" + keys + "/" + who + ".key'";
    const std::string certificate = "'" + keys + "/" + who + ".pem'";
    const std::string quiet = " > /dev/null 2>&1";
    if (made.count(who) == 0) {
        const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout " + key + " -out " +
                                 certificate + " -subj '/" + SignerSubject(who) +
                                 "' -addext extendedKeyUsage=codeSigning" + quiet;
        made[who] = std::system(make.c_str()) == 0;
    }
    const std::string input = keys + "/unsigned.exe";
    const std::string output = keys + "/signed.exe";
    PutFile(input, program, 0644);
    std::remove(output.c_str());
    const std::string sign = "osslsigncode sign -h sha256 -certs " + certificate + " -key " + key + " -in '" +
                             input + "' -out '" + output + "'" + quiet;
    return made[who] && std::system(sign.c_str()) == 0 ? ReadFile(output) : "";
}

std::string OneByteOfCodeChanged(std::string program)
{
    if (program.size() < 0x40) {
        return program;
    }
    const std::size_t header = Get(program, 0x3c, 4);
    const std::size_t sections = header + 24 + Get(program, header + 20, 2);
    const std::size_t code = Get(program, sections + 20, 4); // PointerToRawData
    program[code + 16] = static_cast<char>(program[code + 16] ^ 1);
    return program;
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
