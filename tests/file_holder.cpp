// Stands in, in the Windows end-to-end tests, for the programs that open
// files as they appear: virus scanners, indexers, sync agents.
//
//   file_holder FILE SHARING MILLISECONDS
//
// Writes holding.txt into its working folder, then opens FILE for reading
// as soon as it can, with the sharing SHARING ("r", "w", "d" for sharing
// reading, writing and removal, in any combination; "-" for none), and keeps
// it open for MILLISECONDS. It looks for the file that long at most.

#include <cstdlib>
#include <fstream>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

int main(int argc, char* argv[])
{
    if (argc != 4) {
        return 2;
    }
    const std::string sharing = argv[2];
    const DWORD share = (sharing.find('r') != std::string::npos ? FILE_SHARE_READ : 0) |
                        (sharing.find('w') != std::string::npos ? FILE_SHARE_WRITE : 0) |
                        (sharing.find('d') != std::string::npos ? FILE_SHARE_DELETE : 0);
    const DWORD milliseconds = static_cast<DWORD>(std::atoi(argv[3]));
    std::ofstream("holding.txt") << argv[1] << "\n";
    const DWORD lookUntil = GetTickCount() + milliseconds;
    HANDLE file = INVALID_HANDLE_VALUE;
    while (file == INVALID_HANDLE_VALUE && static_cast<LONG>(lookUntil - GetTickCount()) > 0) {
        file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
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
