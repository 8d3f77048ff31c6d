// Stands in, in the Windows end-to-end tests, for the programs that open
// files as they appear: virus scanners, indexers, sync agents.
//
//   file_holder FILE SHARING MILLISECONDS
//
// Writes holding.txt into its working folder, then opens FILE for reading
// as soon as it can, with the sharing SHARING ("r", "w", "d" for sharing
// reading, writing and removal, in any combination; "-" for none), and keeps
// it open for MILLISECONDS. It looks for the file that long at most. With
// "n" in SHARING, it opens only a new file at FILE (another than the one
// there when it starts). With "c", it opens nothing, but for MILLISECONDS
// puts an empty file at FILE whenever nothing is there, as a sync agent
// restoring what it takes for deleted would.

#include <cstdlib>
#include <fstream>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// The file's index, or 0 when nothing can be opened at path.
ULONGLONG FileIndex(const char* path)
{
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    return known ? (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        return 2;
    }
    const std::string sharing = argv[2];
    const DWORD share = (sharing.find('r') != std::string::npos ? FILE_SHARE_READ : 0) |
                        (sharing.find('w') != std::string::npos ? FILE_SHARE_WRITE : 0) |
                        (sharing.find('d') != std::string::npos ? FILE_SHARE_DELETE : 0);
    const bool onlyNew = sharing.find('n') != std::string::npos;
    const DWORD milliseconds = static_cast<DWORD>(std::atoi(argv[3]));
    const ULONGLONG first = FileIndex(argv[1]);
    std::ofstream("holding.txt") << argv[1] << "\n";
    const DWORD lookUntil = GetTickCount() + milliseconds;
    if (sharing.find('c') != std::string::npos) {
        while (static_cast<LONG>(lookUntil - GetTickCount()) > 0) {
            const HANDLE made = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, CREATE_NEW, 0, nullptr);
            if (made != INVALID_HANDLE_VALUE) {
                CloseHandle(made);
            }
            Sleep(1);
        }
        return 0;
    }
    HANDLE file = INVALID_HANDLE_VALUE;
    while (file == INVALID_HANDLE_VALUE && static_cast<LONG>(lookUntil - GetTickCount()) > 0) {
        if (!onlyNew || FileIndex(argv[1]) != first) {
            file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(1);
        }
    }
    if (file != INVALID_HANDLE_VALUE) {
        Sleep(milliseconds);
        CloseHandle(file);
    }
    return 0;
}
