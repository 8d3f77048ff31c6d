// The staged copy: the download copied beside the launcher, checked to be a
// program that may replace it, and flushed to the disk; the download held
// from then on, so that it can be removed once the new launcher is in place.
//
// Uses: program_image.h (the program check), signature.cpp (the publisher's
// signature), files.cpp, ../shared/run_clock.cpp (the run's deadline),
// clock.cpp (Retried), stops.cpp, identity.cpp (the volumes told apart),
// held.cpp and Win32.

#include "layer.h"

#include "program_image.h"
#include "windows/signature.h"

#include <vector>

namespace {

DWORD CALLBACK CancelOnStop(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                            LPVOID)
{
    return StopRequested() ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

// Up to length bytes of the open file at offset: fewer at its end.
std::string ReadAt(HANDLE file, std::uint64_t offset, std::size_t length)
{
    std::string bytes(length, '\0');
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &got, &at)) {
        got = 0;
    }
    bytes.resize(got);
    return bytes;
}

// The machines whose programs this system runs: x86 always, and the
// system's own (x64, ARM64).
std::vector<unsigned> RunnableMachines()
{
    std::vector<unsigned> machines{IMAGE_FILE_MACHINE_I386};
    using IsWow64Process2Call = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Call>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process2")));
    USHORT process = 0;
    USHORT native = 0;
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &process, &native)) {
        SYSTEM_INFO system;
        GetNativeSystemInfo(&system);
        native = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64   ? IMAGE_FILE_MACHINE_AMD64
                 : system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64 ? IMAGE_FILE_MACHINE_ARM64
                                                                                  : 0;
    }
    if (native == IMAGE_FILE_MACHINE_AMD64 || native == IMAGE_FILE_MACHINE_ARM64) {
        machines.push_back(native);
    }
    return machines;
}

ProgramKind KindOf(HANDLE file)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        return brokenProgram;
    }
    const ReadBytes read = [file](std::uint64_t offset, std::size_t length) { return ReadAt(file, offset, length); };
    return PeProgramKind(read, static_cast<std::uint64_t>(size.QuadPart), RunnableMachines());
}

// Whether the open file may replace the old launcher. One that cannot be
// read is taken for a program image.
bool MayInstall(HANDLE file, const std::string& oldFile)
{
    const HANDLE old = CreateFileA(oldFile.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool hasOld = old != INVALID_HANDLE_VALUE || !IsMissing(GetLastError());
    const ProgramKind oldKind = old != INVALID_HANDLE_VALUE ? KindOf(old) : wholeProgram;
    if (old != INVALID_HANDLE_VALUE) {
        CloseHandle(old);
    }
    return MayReplace(KindOf(file), hasOld, oldKind);
}

// A download that is a link is removed as a link (held with
// FILE_FLAG_OPEN_REPARSE_POINT). One that the system cannot open as a link
// leads to a file elsewhere, which is not the run's to change.
bool LeadsToAnotherFolder(const std::string& newFile)
{
    const HANDLE link = CreateFileA(newFile.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool elsewhere = link != INVALID_HANDLE_VALUE && LeadsElsewhere(newFile, link);
    if (link != INVALID_HANDLE_VALUE) {
        CloseHandle(link);
    }
    return elsewhere;
}

// Never over an existing file: the helper's name is the run's own. A
// download that another program holds for a moment is waited for.
bool Copied(const std::string& newFile, const std::string& stagingFile)
{
    return Retried(GiveUpTime(), [&] {
        if (CopyFileExA(newFile.c_str(), stagingFile.c_str(), CancelOnStop, nullptr, nullptr,
                        COPY_FILE_FAIL_IF_EXISTS)) {
            return true;
        }
        // Whatever a failed copy left is the run's own, unless the name was
        // taken before.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            DeleteFileA(stagingFile.c_str());
        }
        SetLastError(error);
        return false;
    });
}

// Holds the download with delete access, so that no other program can keep
// it once the new launcher is in place, where the staged copy is held. A
// read-only one keeps its attribute until its removal (where that fails,
// the old launcher goes back).
void HoldDownload(const std::string& newFile, const std::string& permissionsOf, bool staged)
{
    if (!staged) {
        return;
    }
    // One on another volume cannot be renamed out of the launcher's sight,
    // and its name would outlast its removal while another program reads
    // it: it is held alone, once no other program has it open, so that none
    // can until it is gone. Serial numbers that differ tell of another
    // volume (or, under Wine, of another drive letter). Equal ones tell
    // nothing, as serials repeat: RemoveDownload then tells by trying.
    const FileIdentity download = IdentityAt(newFile);
    const FileIdentity folder = IdentityAt(FullFolderOf(permissionsOf));
    Held().downloadAlone = !download.known || !folder.known || OnOtherVolumes(download, folder);
    const DWORD share = Held().downloadAlone ? 0 : shareAll;
    Hold(heldDownload, OpenRetried(GiveUpTime(), newFile, holdAccess, FILE_FLAG_OPEN_REPARSE_POINT, share), newFile);
}

} // namespace

bool StageCopy(const std::string& newFile, const std::string& stagingFile, const std::string& permissionsOf,
               const std::string&, std::string& refusal)
{
    if (!IsRegularFile(newFile) || LeadsToAnotherFolder(newFile)) {
        return false;
    }
    // A signed old launcher is hashed while the download is copied. One
    // that a program holds without sharing reading is waited for, as for
    // every step; one still unreadable then might be signed, and so takes
    // no download.
    const HANDLE old = OpenRetried(GiveUpTime(), permissionsOf, GENERIC_READ);
    const bool unreadable = old == INVALID_HANDLE_VALUE && !IsMissing(GetLastError());
    SignatureRead oldSignature;
    BeginReadingSignature(old, permissionsOf, unreadable, oldSignature);
    if (!Copied(newFile, stagingFile)) {
        FinishReadingSignature(oldSignature);
        return false;
    }
    RemoveOnStop(stagingFile);
    // The copy takes a download's read-only attribute along; it is lifted
    // for the flush, which needs to write. The replaced launcher keeps the
    // old one's attributes (read-only, hidden), as a launcher installed by
    // hand would have them. Held from here on, the staged copy cannot be
    // taken by a scanner that opens new files as they close.
    const DWORD kept =
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    const DWORD oldAttributes = GetFileAttributesA(permissionsOf.c_str());
    const DWORD attributes = oldAttributes != INVALID_FILE_ATTRIBUTES ? oldAttributes & kept : 0;
    bool staged = Retried(GiveUpTime(), [&] {
        return SetFileAttributesA(stagingFile.c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
    });
    Hold(heldStagedCopy,
         staged ? OpenRetried(GiveUpTime(), stagingFile, GENERIC_READ | GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES)
                : INVALID_HANDLE_VALUE,
         stagingFile);
    HoldDownload(newFile, permissionsOf, staged);
    const HANDLE copy = Held().file[heldStagedCopy].handle;
    staged = copy != INVALID_HANDLE_VALUE && Held().file[heldDownload].handle != INVALID_HANDLE_VALUE &&
             MayInstall(copy, permissionsOf) && FlushFileBuffers(copy) && SetAttributes(copy, attributes) &&
             !StopRequested();
    // A signed launcher gives way only to a program its publisher signed.
    staged = staged && SignedLikeOldLauncher(oldSignature, copy, stagingFile, refusal);
    FinishReadingSignature(oldSignature);
    if (!staged) {
        LetGoOfDownload();
        RemoveHelperFile(stagingFile);
    }
    return staged;
}

bool PassesAsUpdateOf(const std::string& path, const std::string& launcherPath)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool passes = MayInstall(file, launcherPath);
    CloseHandle(file);
    return passes;
}
