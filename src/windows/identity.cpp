// Files, folders and volumes told apart by what the system says of them.
//
// Uses: Win32 only (beside held.cpp at the bottom of the layer; declared in
// identity.h, which layer.h includes).

#include "windows/identity.h"

#include <cstring>
#include <vector>

namespace {

const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FileCaseSensitiveInfo and its flag for a case-sensitive folder, which
// MinGW-w64 declares for newer targets only.
const auto fileCaseSensitiveInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(23);
const ULONG caseSensitiveFolder = 0x1;

// The same file or folder as file, opened again for removal with the
// sharing given. The link itself where file is open on one.
HANDLE OpenedForRemoval(HANDLE file, DWORD share)
{
    return ReOpenFile(file, DELETE, share, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

enum Sharing { oneFile, twoFiles, sharingUntold };

// What the system's sharing says of one and other: while one is open for
// removal without sharing it, other cannot be opened for removal if it is
// the same file. Untold where other is refused even without that (another
// program holds it without sharing removal, or removal is not allowed).
Sharing SharingSays(HANDLE one, HANDLE other)
{
    const HANDLE alone = OpenedForRemoval(other, shareAll);
    if (alone == INVALID_HANDLE_VALUE) {
        return sharingUntold;
    }
    CloseHandle(alone);
    const HANDLE holding = OpenedForRemoval(one, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (holding == INVALID_HANDLE_VALUE) {
        return sharingUntold;
    }
    const HANDLE again = OpenedForRemoval(other, shareAll);
    const DWORD error = GetLastError();
    CloseHandle(holding);
    if (again != INVALID_HANDLE_VALUE) {
        CloseHandle(again);
        return twoFiles;
    }
    return error == ERROR_SHARING_VIOLATION ? oneFile : sharingUntold;
}

// The text in the code page of the "A" calls as UTF-16; empty when it is
// no such text.
std::wstring Wide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) {
        return L"";
    }
    std::vector<wchar_t> wide(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return std::wstring(wide.begin(), wide.end());
}

// True when the folder at folderPath holds an entry spelled exactly name. A
// file system that ignores case answers with the entry's own spelling.
bool HoldsExactly(const std::string& folderPath, const std::string& name)
{
    WIN32_FIND_DATAA entry;
    const HANDLE found = FindFirstFileA((folderPath + name).c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(found);
    return name == entry.cFileName;
}

} // namespace

FileIdentity IdentityOf(HANDLE file)
{
    FileIdentity identity{};
    FILE_ID_INFO id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
        identity.known = true;
        identity.volume = id.VolumeSerialNumber;
        identity.id = id.FileId;
    } else if (GetFileInformationByHandle(file, &info)) {
        identity.known = true;
        identity.volume = info.dwVolumeSerialNumber;
        const ULONGLONG index = static_cast<ULONGLONG>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        std::memcpy(identity.id.Identifier, &index, sizeof index);
    }
    return identity;
}

bool OnOtherVolumes(const FileIdentity& one, const FileIdentity& other)
{
    return one.known && other.known && one.volume != other.volume;
}

bool SameFileOpen(HANDLE one, HANDLE other)
{
    const FileIdentity first = IdentityOf(one);
    const FileIdentity second = IdentityOf(other);
    if (!first.known || !second.known ||
        std::memcmp(first.id.Identifier, second.id.Identifier, sizeof first.id.Identifier) != 0) {
        return false;
    }
    // The numbers match, and the serials may or may not: files on two
    // volumes may share both, and under Wine one file shows another serial
    // through each drive letter.
    const Sharing said = SharingSays(one, other);
    if (said != sharingUntold) {
        return said == oneFile;
    }
    const std::string path = FinalPathOf(one);
    return !path.empty() && path == FinalPathOf(other);
}

std::string FinalPathOf(HANDLE file)
{
    char finalPath[MAX_PATH * 4];
    const DWORD length = GetFinalPathNameByHandleA(file, finalPath, sizeof finalPath, 0);
    return length > 0 && length < sizeof finalPath ? finalPath : "";
}

bool CaseSensitiveAt(HANDLE folder)
{
    DWORD flags = 0;
    if (GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_CASE_SENSITIVE_SEARCH) != 0) {
        return true;
    }
    ULONG folderFlags = 0;
    return GetFileInformationByHandleEx(folder, fileCaseSensitiveInfo, &folderFlags, sizeof folderFlags) &&
           (folderFlags & caseSensitiveFolder) != 0;
}

bool SameName(const std::string& one, const std::string& other, bool caseSensitive)
{
    if (one == other || caseSensitive) {
        return one == other;
    }
    // As NTFS and FAT compare names: each character by the system's table
    // of capitals, whatever the user's language.
    const std::wstring first = Wide(one);
    const std::wstring second = Wide(other);
    return !first.empty() && !second.empty() &&
           CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

bool HoldsBothNames(const std::string& folderPath, const std::string& one, const std::string& other)
{
    return one != other && HoldsExactly(folderPath, one) && HoldsExactly(folderPath, other);
}

Placement PlacementOf(HANDLE file, HANDLE folder, const std::string& folderPath, const std::string& name)
{
    const std::string path = FinalPathOf(file);
    const std::size_t cut = path.find_last_of('\\');
    if (path.empty() || cut == std::string::npos || folder == INVALID_HANDLE_VALUE) {
        return placementUnknown;
    }
    // The folder is opened by the system's own path to it, separator kept,
    // so that a drive's root is its root folder and not the drive.
    const HANDLE parent = CreateFileA(path.substr(0, cut + 1).c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) {
        return placementUnknown;
    }
    const bool sameFolder = SameFileOpen(parent, folder);
    CloseHandle(parent);
    if (!sameFolder) {
        return elsewhere;
    }
    const std::string ownName = path.substr(cut + 1);
    const bool caseSensitive = CaseSensitiveAt(folder) || HoldsBothNames(folderPath, name, ownName);
    return SameName(name, ownName, caseSensitive) ? inTheFolder : elsewhere;
}
