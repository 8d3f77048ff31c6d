// The Windows platform layer's own parts, below what the end-to-end table
// sees: the retry on a file that another program holds (clock.cpp), letting
// go of what the run holds (held.cpp) and the removal of a helper file
// (files.cpp). Runs under Wine.

#include "windows/layer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A new empty folder of this test's own.
std::string MakeFolder()
{
    static unsigned made = 0;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string folder = std::string(temp) + "kestrin layer " + std::to_string(GetCurrentProcessId()) + "-" +
                               std::to_string(++made) + "\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

void PutFile(const std::string& path, bool readOnly)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "v1", 2, &written, nullptr);
    CloseHandle(file);
    if (readOnly) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
    }
}

bool IsReadOnly(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// No handle to the file is open with access that excludes no sharing.
bool HeldByNobody(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

void RemoveFolder(const std::string& folder, const std::vector<std::string>& names)
{
    for (const std::string& name : names) {
        SetFileAttributesA((folder + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA((folder + name).c_str());
    }
    RemoveDirectoryA(folder.c_str());
}

TEST(Retried, TriesAgainOnlyWhileAProgramHoldsTheFileAndTheBoundHoldsOut)
{
    const DWORD held = ERROR_SHARING_VIOLATION;
    const struct {
        const char* name;
        std::vector<DWORD> failures; // the errors of the failed attempts, before one that succeeds
        bool pastTheBound;
        bool succeeds;
        unsigned attempts;
        DWORD lastError; // after a failure
    } cases[] = {
        {"at once", {}, false, true, 1, 0},
        {"a sharing violation, waited out", {held, held}, false, true, 3, 0},
        {"access denied (a file pending removal), waited out", {ERROR_ACCESS_DENIED}, false, true, 2, 0},
        {"another error ends it", {ERROR_FILE_NOT_FOUND, held}, false, false, 1, ERROR_FILE_NOT_FOUND},
        {"past the bound, a held file fails as at once", {held, held, held}, true, false, 1, held},
    };
    for (const auto& c : cases) {
        const std::int64_t until = MicrosecondsNow() + (c.pastTheBound ? -1 : 10000000);
        unsigned attempts = 0;
        const bool succeeded = Retried(until, [&] {
            if (attempts < c.failures.size()) {
                SetLastError(c.failures[attempts++]);
                return false;
            }
            ++attempts;
            return true;
        });
        EXPECT_EQ(succeeded, c.succeeds) << c.name;
        EXPECT_EQ(attempts, c.attempts) << c.name;
        if (!c.succeeds) {
            EXPECT_EQ(GetLastError(), c.lastError) << c.name;
        }
    }
}

TEST(HeldFiles, LettingGoClosesEveryRoleAndLeavesTheDownloadAsItWas)
{
    const struct {
        const char* name;
        HeldRole role;
        bool readOnly;  // the file is read-only, and held so
        bool alone;     // held so that no other program can open it
    } cases[] = {
        {"the old launcher, held alone", heldOldLauncher, false, true},
        {"the staged copy", heldStagedCopy, false, false},
        {"a read-only download", heldDownload, true, false},
        {"a download on another volume, held alone", heldDownload, false, true},
    };
    for (const auto& c : cases) {
        const std::string folder = MakeFolder();
        const std::string path = folder + "held.exe";
        PutFile(path, c.readOnly);
        Hold(c.role, CreateFileA(path.c_str(), holdAccess, c.alone ? 0 : shareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
             path);
        (c.role == heldOldLauncher ? Held().oldAlone : Held().downloadAlone) = c.alone;
        ASSERT_NE(Held().file[c.role].handle, INVALID_HANDLE_VALUE) << c.name;
        EXPECT_FALSE(HeldByNobody(path)) << c.name;

        LetGoOfAll();
        HeldRole role = c.role;
        EXPECT_FALSE(HeldAt(path, role)) << c.name;
        EXPECT_TRUE(HeldByNobody(path)) << c.name;
        EXPECT_EQ(IsReadOnly(path), c.readOnly) << c.name;
        EXPECT_FALSE(Held().oldAlone || Held().downloadAlone) << c.name;
        RemoveFolder(folder, {"held.exe"});
    }
}

TEST(RemoveHelperFile, RemovesTheNameAndLeavesAnotherNameAsItWas)
{
    const struct {
        const char* name;
        bool readOnly;   // the helper file keeps the old launcher's read-only attribute
        bool otherName;  // the file has another name, which stays
        bool held;       // the run holds it as its staged copy
    } cases[] = {
        {"a plain helper file", false, false, false},
        {"a read-only one", true, false, false},
        {"a read-only one with another name", true, true, false},
        {"one with another name", false, true, false},
        {"the held staged copy", false, false, true},
        {"a read-only held staged copy", true, false, true},
    };
    for (const auto& c : cases) {
        const std::string folder = MakeFolder();
        const std::string path = folder + "launcher.exe~kestrin-backup";
        const std::string other = folder + "launcher.exe";
        PutFile(path, c.readOnly);
        if (c.otherName) {
            ASSERT_TRUE(CreateHardLinkA(other.c_str(), path.c_str(), nullptr)) << c.name;
        }
        if (c.held) {
            Hold(heldStagedCopy, OpenToRemove(path), path);
        }

        RemoveHelperFile(path);
        EXPECT_TRUE(NothingAt(path)) << c.name;
        HeldRole role = heldStagedCopy;
        EXPECT_FALSE(HeldAt(path, role)) << c.name;
        EXPECT_EQ(FileThere(other), c.otherName) << c.name;
        if (c.otherName) {
            EXPECT_EQ(IsReadOnly(other), c.readOnly) << c.name;
        }
        RemoveFolder(folder, {"launcher.exe~kestrin-backup", "launcher.exe"});
    }
}

} // namespace
