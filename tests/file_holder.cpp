// Stands in, in the Windows end-to-end tests, for the programs that open
// files as they appear: virus scanners, indexers, sync agents.
//
//   file_holder FILE SHARING MILLISECONDS [FILE SHARING MILLISECONDS]...
//
// Writes holding.txt into its working folder, then opens FILE for reading
// as soon as it can, with the sharing SHARING ("r", "w", "d" for sharing
// reading, writing and removal, in any combination; "-" for none), and keeps
// it open for MILLISECONDS. It looks for the file that long at most. With
// "n" in SHARING, it opens only a new file at FILE (another than the one
// there when it starts, and with no other name). With "c", it opens
// nothing, but for MILLISECONDS puts an empty file at FILE whenever nothing
// is there, as a sync agent restoring what it takes for deleted would.
// Each further FILE is held likewise, at the same time.

#include <cstdlib>
#include <fstream>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// The file's index, or 0 when nothing can be opened at path; names counts
// its names.
ULONGLONG FileIndex(const char* path, DWORD* names = nullptr)
{
    const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (names != nullptr) {
        *names = known ? info.nNumberOfLinks : 0;
    }
    return known ? (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32 | info.nFileIndexLow) : 0;
}

} // namespace

struct Hold {
    const char* path;
    std::string sharing;
    DWORD milliseconds;
    ULONGLONG first;
};

DWORD WINAPI Run(void* argument)
{
    const Hold& hold = *static_cast<const Hold*>(argument);
    const char* const path = hold.path;
    const std::string& sharing = hold.sharing;
    const DWORD share = (sharing.find('r') != std::string::npos ? FILE_SHARE_READ : 0) |
                        (sharing.find('w') != std::string::npos ? FILE_SHARE_WRITE : 0) |
                        (sharing.find('d') != std::string::npos ? FILE_SHARE_DELETE : 0);
    const bool onlyNew = sharing.find('n') != std::string::npos;
    const DWORD milliseconds = hold.milliseconds;
    const DWORD lookUntil = GetTickCount() + milliseconds;
    if (sharing.find('c') != std::string::npos) {
        while (static_cast<LONG>(lookUntil - GetTickCount()) > 0) {
            const HANDLE made = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
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
        DWORD names = 0;
        if (!onlyNew || (FileIndex(path, &names) != hold.first && names == 1)) {
            file = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
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

int main(int argc, char* argv[])
{
    if (argc < 4 || (argc - 1) % 3 != 0) {
        return 2;
    }
    Hold holds[8];
    HANDLE threads[8];
    const int count = (argc - 1) / 3 < 8 ? (argc - 1) / 3 : 8;
    for (int i = 0; i < count; ++i) {
        holds[i] = {argv[1 + 3 * i], argv[2 + 3 * i], static_cast<DWORD>(std::atoi(argv[3 + 3 * i])),
                    FileIndex(argv[1 + 3 * i])};
    }
    std::ofstream("holding.txt") << argv[1] << "\n";
    for (int i = 0; i < count; ++i) {
        threads[i] = CreateThread(nullptr, 0, Run, &holds[i], 0, nullptr);
    }
    WaitForMultipleObjects(count, threads, TRUE, INFINITE);
    return 0;
}
