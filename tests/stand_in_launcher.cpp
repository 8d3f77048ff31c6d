// Stands in for the launcher in the Windows end-to-end tests.
//
// Started with no arguments, as the updater starts it, it writes started.txt
// into its working folder: its version (the text after the last newline of
// its own file: the tests append one; in a signed file, before the
// signature), its working folder and its argument count. Then it keeps
// running a while, and writes finished.txt; but versions 10 and 11 end as
// soon as started.txt is written, with status 0 (a bootstrapper that has
// started the real launcher) or 1 (a launcher that hands over to a copy of
// itself already running).
//
// Started with a number, it is the launcher that has not closed yet: it
// writes running.txt, keeps running that many milliseconds, and as it closes
// writes into closed.txt the version its own path then holds.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

std::uint32_t Get(const std::string& bytes, std::size_t at, unsigned width)
{
    std::uint32_t value = 0;
    for (unsigned i = width; i-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

// A signed file's contents, without the certificate table that a signature
// appends and the zero bytes that align it.
std::string WithoutSignature(const std::string& bytes)
{
    const std::size_t optional = bytes.size() > 0x40 ? Get(bytes, 0x3c, 4) + 24 : bytes.size();
    const std::size_t directory = optional + 2 <= bytes.size()
                                      ? optional + (Get(bytes, optional, 2) == 0x20b ? 112 : 96) + 4 * 8
                                      : bytes.size();
    const std::size_t table = directory + 8 <= bytes.size() ? Get(bytes, directory, 4) : 0;
    if (table == 0 || table > bytes.size()) {
        return bytes;
    }
    const std::string contents = bytes.substr(0, table);
    return contents.substr(0, contents.find_last_not_of('\0') + 1);
}

// The text after the last newline of the file at its own path.
std::string OwnVersion()
{
    // Its own path may hold characters its code page lacks.
    wchar_t self[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::ostringstream content;
    content << std::ifstream(std::filesystem::path(self), std::ios::binary).rdbuf();
    const std::string bytes = WithoutSignature(content.str());
    return bytes.substr(bytes.rfind('\n') + 1);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc > 1) {
        std::ofstream("running.txt") << "running\n";
        Sleep(static_cast<DWORD>(std::atoi(argv[1])));
        std::ofstream("closed.txt") << OwnVersion();
        return 0;
    }
    const std::string version = OwnVersion();

    char folder[MAX_PATH * 4];
    GetCurrentDirectoryA(sizeof folder, folder);
    std::ofstream("started.tmp") << "version=" << version << "\ncwd=" << folder
                                 << "\nargs=" << argc - 1 << "\n";
    MoveFileA("started.tmp", "started.txt");
    if (version == "10" || version == "11") {
        return version == "11" ? 1 : 0;
    }
    Sleep(3000);
    std::ofstream("finished.txt") << "finished\n";
    return 0;
}
