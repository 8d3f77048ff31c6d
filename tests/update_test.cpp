// End-to-end runs of the built program in scratch folders, for the Linux
// program and for the Windows program under Wine alike: what it writes, what
// the files hold afterwards, how it ends, and what it starts.

#include "expected_report.h"
#include "run_program.h"
#include "scratch_folder.h"
#include "target.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <tuple>
#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const bool windows = TargetIsWindows();
const std::string v1 = LauncherFile(1);
const std::string v2 = LauncherFile(2);
// Large enough that copying and flushing it takes a noticeable while.
const std::string big = LauncherFile(3, 32 << 20);
// Programs made from built ones, in the forms the program must tell apart.
const std::vector<std::string> programForms =
    windows ? std::vector<std::string>{"cut program", "cut tail", "foreign program", "unloadable program",
                                       "gui program", "dll program", "signed program", "crash at start",
                                       "tail never written", "exits 0 at once", "exits 1 at once"}
            : std::vector<std::string>{"program", "cut program", "cut tail", "foreign program", "unloadable program",
                                       "system program", "crash at start", "tail never written", "exits 0 at once",
                                       "exits 1 at once", "library", "needs missing library", "crlf script",
                                       "script without #! 1", "script without #! 2"};
// Signed with throwaway certificates of two publishers, A and B (Windows):
// the launchers, one of them changed after signing, and Kestrin.exe itself.
const std::map<std::string, std::string> signedContents =
    windows ? std::map<std::string, std::string>{{"v1 signed by A", SignedBy(v1, "A")},
                                                 {"v2 signed by A", SignedBy(v2, "A")},
                                                 {"v2 signed by B", SignedBy(v2, "B")},
                                                 {"v2 signed by A, changed", OneByteOfCodeChanged(SignedBy(v2, "A"))},
                                                 {"Kestrin signed by A", SignedBy(ReadFile(ProgramUnderTest()), "A")}}
            : std::map<std::string, std::string>{};
const bool canSign = std::all_of(signedContents.begin(), signedContents.end(),
                                 [](const auto& entry) { return !entry.second.empty(); });
const std::map<std::string, std::string> contentNames = [] {
    std::map<std::string, std::string> names{{v1, "v1"}, {v2, "v2"}, {big, "big"}};
    for (const std::string& form : programForms) {
        names.emplace(ProgramFile(form), form);
    }
    for (const auto& [name, content] : signedContents) {
        names.emplace(content, name);
    }
    return names;
}();

enum Platforms { both, posixOnly, windowsOnly };

struct UpdateCase {
    std::string name;
    // Makes the files the run starts with; false when this machine cannot.
    std::function<bool(const std::string& folder)> prepare;
    std::vector<std::string> arguments; // "{dir}" stands for the folder
    Outcome outcome;
    Listing filesAfter; // empty: only that nothing was lost
    int launchedVersion; // 0 for none; -1 where it is not checked
    Platforms on = both;
    RunOptions run{};
    bool needsRoot = false;
    int runsAtOnce = 1;      // updaters started together; one of them succeeds
    bool runAgain = false;   // a second run finishes what a killed first one began
    // A Windows program running beside the run, started in the folder before
    // it: the old launcher with how long it takes to close, or the file
    // holder ("{holder}") with its file, sharing and time (see file_holder.cpp).
    std::vector<std::string> alongside{};
    bool lockHeld = false;   // another program holds a lock on the folder
    std::string refusal{};   // the Error line that says why the download was refused
    // Drive letters of the Wine prefix mapped to folders in the case's
    // folder for the run: letter and folder. Each case has letters of its own.
    std::vector<std::pair<std::string, std::string>> drives{};
};

// Names the case in test reports instead of dumping its bytes.
void PrintTo(const UpdateCase& c, std::ostream* out)
{
    *out << c.name;
}

// The content a case names: "v1", "v2", "big", or the text itself.
const std::string& Content(const std::string& name)
{
    const auto known = std::find_if(contentNames.begin(), contentNames.end(),
                                    [&](const auto& entry) { return entry.second == name; });
    return known != contentNames.end() ? known->first : name;
}

// Every case starts from files named this way: the launcher's executable and
// the downloaded update, without the execute bit.
std::function<bool(const std::string&)> Files(const std::string& oldName, const std::string& oldContent,
                                              const std::string& newName, const std::string& newContent,
                                              unsigned oldMode = 0755, unsigned newMode = 0644)
{
    return [=](const std::string& folder) {
        for (const auto& [name, content, mode] : {std::make_tuple(oldName, oldContent, oldMode),
                                                  std::make_tuple(newName, newContent, newMode)}) {
            if (!name.empty()) {
                fs::create_directories(fs::path(folder + "/" + name).parent_path());
                PutFile(folder + "/" + name, Content(content), mode);
            }
        }
        return true;
    };
}
const auto Standard = Files("launcher.exe", "v1", "launcher.new", "v2");
const auto BigUpdate = Files("launcher.exe", "v1", "launcher.new", "big");
const auto OnlyOld = Files("launcher.exe", "v1", "", "");
// A standard start, then more.
std::function<bool(const std::string&)> And(std::function<bool(const std::string&)> first,
                                            std::function<bool(const std::string&)> then)
{
    return [=](const std::string& folder) { return first(folder) && then(folder); };
}

const std::vector<std::string> standardArguments{"launcher.exe", "launcher.new"};
const Listing standardFiles{{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:v2"}};
const Listing updatedFiles{{"launcher.exe", "0755:v2"}};
const Listing oldKept{{"launcher.exe", "0755:v1"}};

UpdateCase On(Platforms platforms, UpdateCase c)
{
    c.on = platforms;
    return c;
}

UpdateCase AsNobody(UpdateCase c)
{
    c.run.asUnprivilegedUser = true;
    c.needsRoot = true;
    return c;
}

UpdateCase Alongside(UpdateCase c, std::vector<std::string> program)
{
    c.alongside = std::move(program);
    c.on = windowsOnly;
    return c;
}

UpdateCase OnDrives(UpdateCase c, std::vector<std::pair<std::string, std::string>> drives)
{
    c.drives = std::move(drives);
    c.on = windowsOnly;
    return c;
}

UpdateCase WithOutput(UpdateCase c, OutputKind output)
{
    c.run.output = output;
    return c;
}

// The signal goes to the program once the line is out and the time has
// passed; the report is then checked up to that line.
UpdateCase Signalled(UpdateCase c, const std::string& afterLineWith, int milliseconds, int signalNumber)
{
    c.run.actAfterLineWith = afterLineWith;
    c.run.actAfterMilliseconds = milliseconds;
    c.run.signalNumber = signalNumber;
    return c;
}

// Takes a write lease on path in a process of its own, which gives it up a
// moment after another process asks for the file. False where leases are
// not to be had.
bool HoldLeaseBriefly(const std::string& path)
{
    int ready[2];
    if (pipe(ready) != 0) {
        return false;
    }
    if (fork() == 0) {
        sigset_t breaking;
        sigemptyset(&breaking);
        sigaddset(&breaking, SIGIO);
        sigprocmask(SIG_BLOCK, &breaking, nullptr);
        const int file = open(path.c_str(), O_RDWR);
        const char leased = fcntl(file, F_SETLEASE, F_WRLCK) == 0;
        (void)!write(ready[1], &leased, 1);
        if (leased && sigwaitinfo(&breaking, nullptr) == SIGIO) {
            usleep(300000);
            fcntl(file, F_SETLEASE, F_UNLCK);
        }
        _exit(0);
    }
    close(ready[1]);
    char leased = 0;
    const bool held = read(ready[0], &leased, 1) == 1 && leased;
    close(ready[0]);
    return held;
}

std::function<bool(const std::string&)> MountTmpfsAt(const std::string& name)
{
    return [=](const std::string& folder) { return MountTmpfs(folder + "/" + name); };
}

std::vector<UpdateCase> AllCases()
{
    const auto ownedByNobody = [](const std::string& folder) {
        return chown(folder.c_str(), unprivilegedId, unprivilegedId) == 0;
    };
    const auto flagged = [](const std::string& path, int flag) {
        return [=](const std::string& folder) { return SetFileFlag(folder + "/" + path, flag, true); };
    };
    // The longest name a file may have: 255 bytes, and on Windows as long as
    // a path may be without asking for long paths, which Wine does not give.
    const std::size_t longest = windows ? 259 - (fs::temp_directory_path().string().size() + 23) : 255;
    const std::string longName(longest - 4, 'n');

    std::vector<UpdateCase> cases{
        {"Succeeds", Standard, standardArguments, updated, updatedFiles, 2},
        {"AbsolutePathsAndExtraArgumentsIgnored", Standard,
         {"{dir}/launcher.exe", "{dir}/launcher.new", "{dir}/launcher.new", "--force"}, updated,
         updatedFiles, 2},
        {"UsageWithoutArguments", Standard, {}, usageError, standardFiles, 0},
        {"UsageWithOneArgument", Standard, {"launcher.exe"}, usageError, standardFiles, 0},
        // Whoever may read the download may run the new launcher.
        {"OldLauncherMissing", Files("", "", "launcher.new", "v2", 0, 0640), standardArguments, installed,
         {{"launcher.exe", "0750:v2"}}, 2},
        {"SpacesParenthesesAndAmpersand",
         Files("Program Files (x86)/My & Co/launcher.exe", "v1", "Program Files (x86)/My & Co/new (2).exe", "v2"),
         {"{dir}/Program Files (x86)/My & Co/launcher.exe", "{dir}/Program Files (x86)/My & Co/new (2).exe"},
         updated,
         {{"Program Files (x86)", "dir"}, {"Program Files (x86)/My & Co", "dir"},
          {"Program Files (x86)/My & Co/launcher.exe", "0755:v2"}},
         2},
        {"ParentReferences", And(Standard, Files("sub/x", "", "", "")),
         {"sub/../launcher.exe", "./sub/../launcher.new"}, updated,
         {{"launcher.exe", "0755:v2"}, {"sub", "dir"}, {"sub/x", "0755:"}}, 2},
        // Names no single-byte code page holds: the Windows program declares
        // UTF-8 as its code page, so its arguments and file calls carry them whole.
        {"PathsBeyondTheCodePage",
         Files(u8"J\u00fcrgen \u042e\u0440\u0438\u0439/launcher.exe", "v1", u8"J\u00fcrgen \u042e\u0440\u0438\u0439/\u65b0\u7248.exe", "v2"),
         {u8"J\u00fcrgen \u042e\u0440\u0438\u0439/launcher.exe", u8"J\u00fcrgen \u042e\u0440\u0438\u0439/\u65b0\u7248.exe"},
         updated, {{u8"J\u00fcrgen \u042e\u0440\u0438\u0439", "dir"}, {u8"J\u00fcrgen \u042e\u0440\u0438\u0439/launcher.exe", "0755:v2"}}, -1},
        On(posixOnly, {"NewlinesAndForeignBytes", Files("launcher\nv1\xff", "v1", "new\n\xfe", "v2"),
                       {"launcher\nv1\xff", "new\n\xfe"}, updated, {{"launcher\nv1\xff", "0755:v2"}}, 2}),
        // A script named with a leading dash is taken for options by its
        // interpreter, so only the update itself is checked.
        {"LeadingDashes", Files("-launcher", "v1", "--new", "v2"), {"-launcher", "--new"}, updated,
         {{"-launcher", "0755:v2"}}, -1},
        {"ReadOnlyLauncherStaysReadOnly", Files("launcher.exe", "v1", "launcher.new", "v2", 0555),
         standardArguments, updated, {{"launcher.exe", "0555:v2"}}, 2},
        On(posixOnly, {"SetUserIdNotPassedOn", Files("launcher.exe", "v1", "launcher.new", "v2", 06755),
                       standardArguments, updated, updatedFiles, 2}),
        // A name of the longest length allowed: the helper files' names are
        // shortened to fit beside it.
        {"LongestName", Files(longName + ".exe", "v1", "launcher.new", "v2"), {longName + ".exe", "launcher.new"},
         updated, {{longName + ".exe", "0755:v2"}}, -1},
        // A path of the longest length allowed (PATH_MAX less its NUL), made
        // of slashes: the helper files' paths would be longer still.
        On(posixOnly, {"LongestPath", Standard, {"." + std::string(4082, '/') + "launcher.exe", "launcher.new"},
                       updated, updatedFiles, -1}),
        On(posixOnly, {"OldLauncherIsALink", And(Files("target", "v1", "launcher.new", "v2"), [](const std::string& folder) {
                           fs::create_symlink("target", folder + "/launcher.exe");
                           return true;
                       }),
                       standardArguments, updated, {{"launcher.exe", "0755:v2"}, {"target", "0755:v1"}}, 2}),
        // Wine would move the link's target; the link is refused instead.
        On(windowsOnly, {"OldLauncherIsALink", And(Files("other/target", "v1", "launcher.new", "v2"), [](const std::string& folder) {
                             fs::create_symlink("other/target", folder + "/launcher.exe");
                             return true;
                         }),
                         standardArguments, removeFailed,
                         {{"launcher.exe", "link:other/target"}, {"other", "dir"}, {"other/target", "0755:v1"}, {"launcher.new", "0644:v2"}}, 0}),
        // The launcher is never its own download, under any name.
        {"HardLinksToOneFile", And(OnlyOld, [](const std::string& folder) {
             fs::create_hard_link(folder + "/launcher.exe", folder + "/launcher.new");
             return true;
         }),
         standardArguments, moveFailed, {{"launcher.exe", "0755:v1"}, {"launcher.new", "0755:v1"}}, 0},
        {"OwnDownloadWithASecondLink", And(OnlyOld, [](const std::string& folder) {
             fs::create_directory(folder + "/other");
             fs::create_hard_link(folder + "/launcher.exe", folder + "/other/launcher.exe");
             return true;
         }),
         {"launcher.exe", "./launcher.exe"}, moveFailed,
         {{"launcher.exe", "0755:v1"}, {"other", "dir"}, {"other/launcher.exe", "0755:v1"}}, 0},
        // The copy cannot be a rename or a clone across file systems.
        {"NewLauncherOnAnotherFileSystem",
         And(OnlyOld, [](const std::string& folder) {
             return MountTmpfs(folder + "/other fs") && Files("", "", "other fs/launcher.new", "v2")(folder);
         }),
         {"launcher.exe", "other fs/launcher.new"}, updated, {{"launcher.exe", "0755:v2"}, {"other fs", "dir"}}, 2},
        {"NewLauncherNamedLikeTheStagingFile", Files("launcher.exe", "v1", "launcher.exe~kestrin-staging", "v2"),
         {"launcher.exe", "launcher.exe~kestrin-staging"}, updated, updatedFiles, 2},
        {"NewLauncherNamedLikeTheBackup", Files("launcher.exe", "v1", "launcher.exe~kestrin-backup", "v2"),
         {"launcher.exe", "launcher.exe~kestrin-backup"}, updated, updatedFiles, 2},
        {"LeftoverBackupPutBackFirst", Files("launcher.exe~kestrin-backup", "v1", "launcher.new", "v2"),
         standardArguments, updated, updatedFiles, 2},
        // A backup left by a run stopped after the swap is the old launcher
        // until the new one has run: it goes back over a stranger's file at
        // the launcher's path, and goes only beside a launcher that passes
        // the checks as its update (one that started this run has run).
        // (Back, the old program refuses an error page that the stranger's
        // file would have let in.)
        {"LeftoverBackupBesideAStrangersFile",
         And(Files("launcher.exe", "stranger", "launcher.new", "<html>502</html>"),
             Files("launcher.exe~kestrin-backup", windows ? "v1" : "program", "", "")),
         standardArguments, moveFailed,
         {{"launcher.exe", windows ? "0755:v1" : "0755:program"}, {"launcher.new", "0644:<html>502</html>"}}, 0},
        {"LeftoverBackupBesideALauncherThatRan", And(Files("launcher.exe", "v2", "", ""), Files("launcher.exe~kestrin-backup", "v1", "", "")),
         standardArguments, moveFailed, {{"launcher.exe", "0755:v2"}}, 0},
        {"LeftoverStagingRemoved", And(Standard, Files("launcher.exe~kestrin-staging", "half", "", "")),
         standardArguments, updated, updatedFiles, 2},
        // Left by a run killed before the launchers swapped: a second name of
        // the old launcher, which alone goes, the launcher staying read-only.
        {"LeftoverBackupIsASecondName", And(Files("launcher.exe", "v1", "launcher.new", "v2", 0555), [](const std::string& folder) {
             fs::create_hard_link(folder + "/launcher.exe", folder + "/launcher.exe~kestrin-backup");
             return true;
         }),
         standardArguments, updated, {{"launcher.exe", "0555:v2"}}, 2},
        // A leftover at a helper's name that links into another folder: Wine
        // would move or remove what it leads to, so it is left alone.
        On(windowsOnly, {"LeftoverBackupLinksElsewhere", And(Files("", "", "launcher.new", "v2"), And(Files("other/target", "v1", "", ""), [](const std::string& folder) {
                             fs::create_symlink("other/target", folder + "/launcher.exe~kestrin-backup");
                             return true;
                         })),
                         standardArguments, installed,
                         {{"launcher.exe", "0755:v2"}, {"launcher.exe~kestrin-backup", "link:other/target"}, {"other", "dir"}, {"other/target", "0755:v1"}}, 2}),
        // Only files a run could have made are taken for its leftovers.
        {"FolderNamedLikeTheBackupLeftAlone", And(Files("", "", "launcher.new", "v2", 0, 0755), Files("launcher.exe~kestrin-backup/x", "", "", "")),
         standardArguments, installed,
         {{"launcher.exe", "0755:v2"}, {"launcher.exe~kestrin-backup", "dir"}, {"launcher.exe~kestrin-backup/x", "0755:"}}, 2},
        {"NewLauncherMissing", OnlyOld, standardArguments, moveFailed, oldKept, 0},
        {"NewLauncherIsAFolder", And(OnlyOld, Files("launcher.new/x", "", "", "")), standardArguments, moveFailed,
         {{"launcher.exe", "0755:v1"}, {"launcher.new", "dir"}, {"launcher.new/x", "0755:"}}, 0},
        On(posixOnly, {"NewLauncherIsAFifo", And(OnlyOld, [](const std::string& folder) {
                           return mkfifo((folder + "/launcher.new").c_str(), 0644) == 0;
                       }),
                       standardArguments, moveFailed, {{"launcher.exe", "0755:v1"}, {"launcher.new", "fifo"}}, 0}),
        {"NewLauncherIsADevice", OnlyOld, {"launcher.exe", "{null}"}, moveFailed, oldKept, 0},
        {"SameFileTwice", OnlyOld, {"launcher.exe", "launcher.exe"}, moveFailed, oldKept, 0},
        On(posixOnly, {"NewLauncherLinksToOld", And(OnlyOld, [](const std::string& folder) {
                           fs::create_symlink("launcher.exe", folder + "/launcher.new");
                           return true;
                       }),
                       standardArguments, moveFailed, {{"launcher.exe", "0755:v1"}, {"launcher.new", "link:launcher.exe"}}, 0}),
        {"OldLauncherIsAFolder", Files("launcher.exe/x", "", "launcher.new", "v2"), standardArguments, removeFailed,
         {{"launcher.exe", "dir"}, {"launcher.exe/x", "0755:"}, {"launcher.new", "0644:v2"}}, 0},
        {"OldPathTooLong", Standard, {std::string(5000, 'a'), "launcher.new"}, removeFailed, standardFiles, 0},
        // One byte longer than LongestPath: the launcher could be replaced,
        // but not started by that path.
        On(posixOnly, {"OldPathOfPathMaxBytes", Standard, {"." + std::string(4083, '/') + "launcher.exe", "launcher.new"},
                       removeFailed, standardFiles, 0}),
        {"OldLauncherImmutable", And(Standard, flagged("launcher.exe", FS_IMMUTABLE_FL)), standardArguments,
         removeFailed, standardFiles, 0},
        // Files can be made in such a folder but neither renamed nor removed.
        On(posixOnly, {"AppendOnlyFolderWithoutLauncher", And(Files("app/x", "", "launcher.new", "v2"), flagged("app", FS_APPEND_FL)),
                       {"app/launcher.exe", "launcher.new"}, moveFailed,
                       {{"app", "dir"}, {"app/x", "0755:"}, {"launcher.new", "0644:v2"}}, 0}),
        On(posixOnly, {"AppendOnlyFolderWithLauncher", And(Files("app/launcher.exe", "v1", "launcher.new", "v2"), flagged("app", FS_APPEND_FL)),
                       {"app/launcher.exe", "launcher.new"}, removeFailed,
                       {{"app", "dir"}, {"app/launcher.exe", "0755:v1"}, {"launcher.new", "0644:v2"}}, 0}),
    };
    // Paths that cannot name a file are refused before anything is touched.
    for (const std::string& odd : {std::string(""), std::string("sub/"), std::string("."), std::string("sub/.."),
                                   std::string("launcher.exe/"), std::string("launcher.new/launcher.exe")}) {
        cases.push_back({"OddOldPath" + std::to_string(cases.size()),
                         And(Standard, Files("sub/launcher.exe~kestrin-staging", "someone's", "~kestrin-backup", "someone's")),
                         {odd, "launcher.new"}, removeFailed,
                         {{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:v2"}, {"sub", "dir"},
                          {"sub/launcher.exe~kestrin-staging", "0755:someone's"}, {"~kestrin-backup", "0644:someone's"}},
                         0});
    }
    // A file-size limit fails the copy half way, as a full disk would, and so
    // does a full disk (Wine dies of the limit's signal, which a Windows
    // program cannot ignore).
    UpdateCase sizeLimit = On(posixOnly, {"FileSizeLimitWhileCopying", BigUpdate, standardArguments, moveFailed,
                                          {{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:big"}}, 0});
    sizeLimit.run.fileSizeLimit = 1 << 20;
    cases.push_back(sizeLimit);
    cases.push_back({"DiskFullWhileCopying",
                     [](const std::string& folder) {
                         return MountTmpfs(folder + "/small", 8) && Files("small/launcher.exe", "v1", "launcher.new", "big")(folder);
                     },
                     {"small/launcher.exe", "launcher.new"}, moveFailed,
                     {{"small", "dir"}, {"small/launcher.exe", "0755:v1"}, {"launcher.new", "0644:big"}}, 0});

    // Windows cannot tell before it tries: the staged copy is refused, ten
    // seconds long, as a scanner's hold would be.
    cases.push_back(AsNobody({"FolderNotWritable", Standard, standardArguments, windows ? moveFailed : removeFailed, standardFiles, 0}));
    cases.push_back(AsNobody({"NewLauncherUnreadable", And(Files("launcher.exe", "v1", "launcher.new", "v2", 0755, 0), ownedByNobody),
                              standardArguments, moveFailed, {{"launcher.exe", "0755:v1"}, {"launcher.new", "0000:v2"}}, 0}));
    // A download that would outlive the update is refused before anything
    // changes: removing it needs a writable folder. (Wine knows no rights
    // of Windows' own to refuse its removal with.)
    cases.push_back(On(posixOnly, AsNobody({"NewLauncherCannotBeRemoved", And(Files("launcher.exe", "v1", "downloads/launcher.new", "v2"), ownedByNobody),
                                            {"launcher.exe", "downloads/launcher.new"}, moveFailed,
                                            {{"launcher.exe", "0755:v1"}, {"downloads", "dir"}, {"downloads/launcher.new", "0644:v2"}}, 0})));
    // A read-only download is installed and removed all the same.
    cases.push_back(AsNobody({"NewLauncherReadOnly", And(Files("launcher.exe", "v1", "launcher.new", "v2", 0755, 0444), [=](const std::string& folder) {
                                  return ownedByNobody(folder) && chown((folder + "/launcher.new").c_str(), unprivilegedId, unprivilegedId) == 0;
                              }),
                              standardArguments, updated, {{"launcher.exe", "0755:v2@65534"}}, 2}));
    // A link planted at the staging name in a folder that cannot be locked
    // (nor cleared) is never written through.
    cases.push_back(On(posixOnly, AsNobody({"LinkAtTheStagingName",
                                            And(Standard, [](const std::string& folder) {
                                                PutFile(folder + "/victim", "someone's", 0666);
                                                fs::create_symlink("victim", folder + "/launcher.exe~kestrin-staging");
                                                return chmod(folder.c_str(), 0733) == 0;
                                            }),
                                            standardArguments, moveFailed,
                                            {{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:v2"}, {"victim", "0666:someone's"},
                                             {"launcher.exe~kestrin-staging", "link:victim"}}, 0})));
    // A folder nobody may list cannot be locked: the update goes on without
    // the lock, and a file that bears the backup's name stays as it is.
    cases.push_back(On(posixOnly, AsNobody({"BackupNameTakenInAnUnlockableFolder",
                                            And(Files("launcher.exe", "v1", "launcher.exe~kestrin-backup", "someone's"),
                                                And(Files("", "", "launcher.new", "v2"), [](const std::string& folder) {
                                                    return chmod(folder.c_str(), 0733) == 0;
                                                })),
                                            standardArguments, removeFailed,
                                            {{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:v2"},
                                             {"launcher.exe~kestrin-backup", "0644:someone's"}}, 0})));
    // A file server or an indexer holding a lease on the download gives it
    // up when asked; the copy waits for that, as any reader would.
    cases.push_back(On(posixOnly, {"NewLauncherUnderALease", And(Standard, [](const std::string& folder) {
                                       return HoldLeaseBriefly(folder + "/launcher.new");
                                   }),
                                   standardArguments, updated, updatedFiles, 2}));
    // The same in a folder nobody may read: no lock, and no file made there.
    cases.push_back(On(posixOnly, AsNobody({"AppendOnlyFolderUnlockable",
                                            And(Files("app/launcher.exe", "v1", "launcher.new", "v2"), [](const std::string& folder) {
                                                return chmod((folder + "/app").c_str(), 0733) == 0 &&
                                                       SetFileFlag(folder + "/app", FS_APPEND_FL, true);
                                            }),
                                            {"app/launcher.exe", "launcher.new"}, removeFailed,
                                            {{"app", "dir"}, {"app/launcher.exe", "0755:v1"}, {"launcher.new", "0644:v2"}}, 0})));
    // Where the old launcher is no program either, a download is taken as it
    // comes; the system will not start it (Linux: a shell runs it, and fails
    // within the watch), so the old launcher goes back. Windows says the
    // old one does not start either; on Linux a shell starts it.
    cases.push_back({"NewLauncherCannotStart", Files("launcher.kqz", "a document", "launcher.new", "not a program"),
                     {"launcher.kqz", "launcher.new"}, windows ? rolledBackNotStarted : rolledBack,
                     {{"launcher.kqz", "0755:a document"}}, 0});
    // A launcher that may not be run is replaced all the same (the old one
    // could not be run either), but the run does not claim success, and the
    // old launcher stays at the backup: the new one has not run.
    cases.push_back(On(posixOnly, {"NewLauncherMayNotRun", Files("launcher.exe", "v1", "launcher.new", "v2", 0644),
                                   standardArguments, notStarted,
                                   {{"launcher.exe", "0644:v2"}, {"launcher.exe~kestrin-backup", "0644:v1"}}, 0}));
    // A download that is no whole program for this system never replaces a
    // program, nor the lack of one: it is refused before anything changes.
    const auto refused = [](const std::string& name, const std::string& old, const std::string& download) {
        Listing files{{"launcher.new", "0644:" + download}};
        if (!old.empty()) {
            files["launcher.exe"] = "0755:" + old;
        }
        return UpdateCase{name, Files(old.empty() ? "" : "launcher.exe", old, "launcher.new", download),
                          standardArguments, moveFailed, files, 0};
    };
    const std::string page = "<html>502 Bad Gateway</html>";
    cases.insert(cases.end(), {refused("RefusedCutShort", "v1", "cut program"),
                               refused("RefusedCutAtTheEnd", "v1", "cut tail"),
                               refused("RefusedForeignMachine", "v1", "foreign program"),
                               refused("RefusedEmpty", "a document", ""),
                               refused("RefusedErrorPage", windows ? "v1" : "program", page),
                               refused("RefusedErrorPageWithoutOldLauncher", "", page)});
    cases.push_back(refused("RefusedLibrary", "v1", windows ? "dll program" : "library"));
    // A download manager makes room for the whole file first: cut off, the
    // rest is zeros. Where the headers show it (Linux: the section names),
    // it is refused; else (Windows, unsigned) its start shows it.
    cases.push_back(windows ? UpdateCase{"TailNeverWritten", Files("launcher.exe", "v1", "launcher.new", "tail never written"),
                                         standardArguments, rolledBack, oldKept, 1}
                            : refused("TailNeverWritten", "v1", "tail never written"));
    // A download that passes the checks but cannot run ends within the
    // watch, and gives way to the old launcher, started instead.
    for (const char* form : {"crash at start", "needs missing library", "crlf script"}) {
        if (windows && std::string(form) != "crash at start") {
            continue;
        }
        cases.push_back({std::string("GivesWay") + (form[0] == 'c' && form[1] == 'r' && form[2] == 'a' ? "CrashAtStart"
                                                    : form[0] == 'n' ? "NeedsMissingLibrary" : "CrlfScript"),
                         Files("launcher.exe", "v1", "launcher.new", form), standardArguments, rolledBack, oldKept, 1});
    }
    // A launcher that ends at once of its own accord has run: a bootstrapper
    // (0), one that hands over to a copy already running (1).
    for (const int version : {exitsAtOnce, exitsAtOnce + 1}) {
        const std::string form = "exits " + std::to_string(version - exitsAtOnce) + " at once";
        cases.push_back({"EndsAtOnceWith" + std::to_string(version - exitsAtOnce), Files("launcher.exe", "v1", "launcher.new", form),
                         standardArguments, updated, {{"launcher.exe", "0755:" + form}}, version});
    }
    // A launcher that is a shell script without "#!" is run as a shell runs it.
    cases.push_back(On(posixOnly, {"ScriptWithoutInterpreterLine", Files("launcher.exe", "script without #! 1", "launcher.new", "script without #! 2"),
                                   standardArguments, updated, {{"launcher.exe", "0755:script without #! 2"}}, 2}));
    // Stopped once the launchers swapped, with a new launcher that cannot
    // run: the old one stays at the backup for the next run to put back.
    const Listing crashKept{{"launcher.exe", "0755:crash at start"}, {"launcher.exe~kestrin-backup", "0755:v1"}};
    cases.push_back(Signalled({"InterruptAfterMoveWithLauncherThatCannotRun", Files("launcher.exe", "v1", "launcher.new", "crash at start"),
                               standardArguments, rolledBack, crashKept, 0}, "Move", 0, SIGINT));
    // Where the old launcher cannot go back, it stays at the backup, and
    // the line that says so names it.
    UpdateCase putBackFails = On(posixOnly, {"PutBackFails", Files("launcher.exe", "v1", "launcher.new", "unloadable program"),
                                             standardArguments, notPutBack,
                                             {{"launcher.exe", "0755:unloadable program"}, {"launcher.exe~kestrin-backup", "0755:v1"}}, 0});
    putBackFails.run.wrapper = {"strace", "-o", "/dev/null", "-e", "inject=renameat:error=EIO:when=1"};
    cases.push_back(putBackFails);
    // One that the system will not start all the same gives way to the old
    // launcher, which is started instead.
    cases.push_back({"UnloadableProgramGivesWay", Files("launcher.exe", "v1", "launcher.new", "unloadable program"),
                     standardArguments, rolledBack, oldKept, 1});
    // Real programs of every kind install.
    const std::vector<std::pair<std::string, std::string>> installable =
        windows ? std::vector<std::pair<std::string, std::string>>{{"InstallsGuiProgram", "gui program"},
                                                                   {"InstallsSignedProgram", "signed program"}}
                : std::vector<std::pair<std::string, std::string>>{{"InstallsStaticOrPieProgram", "program"},
                                                                   {"InstallsSystemProgram", "system program"}};
    for (const auto& [name, form] : installable) {
        cases.push_back({name, Files("launcher.exe", "v1", "launcher.new", form), standardArguments, updated,
                         {{"launcher.exe", "0755:" + form}}, windows ? 2 : -1});
    }
    // Root keeps the old launcher's owner.
    cases.push_back(On(posixOnly, {"OwnerKept", And(Standard, [](const std::string& folder) {
                                       return chown((folder + "/launcher.exe").c_str(), unprivilegedId, unprivilegedId) == 0;
                                   }),
                                   standardArguments, updated, {{"launcher.exe", "0755:v2@65534"}}, 2, posixOnly, {}, true}));

    // In a user namespace (unshare -r), root has no rights over files of
    // owners and groups that the namespace does not map: another user's
    // download in a sticky folder cannot be removed, so the update is refused
    // before anything changes; the old launcher's unmapped group cannot be
    // given to the new one, which keeps the group its folder gives it. Nor
    // can a root without CAP_CHOWN keep the old launcher's owner.
    const auto owned = [](const std::string& path, unsigned uid, unsigned gid, unsigned mode) {
        return chown(path.c_str(), uid, gid) == 0 && chmod(path.c_str(), mode) == 0;
    };
    UpdateCase foreignDownload = On(posixOnly, {"ForeignDownloadInStickyFolderInUserNamespace",
                                                And(Files("launcher.exe", "v1", "tmp/launcher.new", "v2"), [=](const std::string& folder) {
                                                    return owned(folder + "/tmp", unprivilegedId, unprivilegedId, 01777) &&
                                                           owned(folder + "/tmp/launcher.new", unprivilegedId, unprivilegedId, 0644);
                                                }),
                                                {"launcher.exe", "tmp/launcher.new"}, moveFailed,
                                                {{"launcher.exe", "0755:v1"}, {"tmp", "dir"}, {"tmp/launcher.new", "0644:v2@65534"}}, 0,
                                                posixOnly, {}, true});
    UpdateCase unmappedGroup = On(posixOnly, {"UnmappedGroupInUserNamespace",
                                              And(Files("app/launcher.exe", "v1", "launcher.new", "v2"), [=](const std::string& folder) {
                                                  return owned(folder + "/app", 0, unprivilegedId, 02775) &&
                                                         owned(folder + "/app/launcher.exe", 0, unprivilegedId, 0755);
                                              }),
                                              {"app/launcher.exe", "launcher.new"}, updated, {{"app", "dir"}, {"app/launcher.exe", "0755:v2"}}, 2,
                                              posixOnly, {}, true});
    foreignDownload.run.wrapper = unmappedGroup.run.wrapper = {"unshare", "-r"};
    UpdateCase noChown = On(posixOnly, {"OwnerNotKeptWithoutChownRight", And(Standard, [=](const std::string& folder) {
                                            return owned(folder + "/launcher.exe", unprivilegedId, unprivilegedId, 0755);
                                        }),
                                        standardArguments, updated, updatedFiles, 2, posixOnly, {}, true});
    noChown.run.wrapper = {"setpriv", "--inh-caps=-chown", "--bounding-set=-chown"};
    cases.insert(cases.end(), {foreignDownload, unmappedGroup, noChown});

    cases.push_back(On(posixOnly, WithOutput({"OutputPipeBroken", Standard, standardArguments, updated, updatedFiles, 2}, outputPipeBroken)));
    // The launcher must not inherit the descriptors the updater was handed.
    cases.push_back(On(posixOnly, WithOutput({"OutputInheritedTwice", Standard, standardArguments, updated, updatedFiles, 2}, outputToLeakyPipe)));
    cases.push_back(On(posixOnly, WithOutput({"OutputClosed", Standard, standardArguments, updated, updatedFiles, 2}, outputClosed)));

    // A console that stops taking output, at each line in turn: the run
    // waits, and the launcher's path is never empty meanwhile.
    for (const char* line : {"Info", "Delete", "Old launcher removed", "Move", "renamed successfully", "Done"}) {
        UpdateCase stalled{std::string("ConsoleStalledAfter") + (line[0] == 'O' ? "Removed" : line[0] == 'r' ? "Renamed" : line),
                           BigUpdate, standardArguments, updated, {{"launcher.exe", "0755:big"}}, -1};
        stalled.run.whileStalled = [] {};
        stalled.run.actAfterLineWith = line;
        cases.push_back(stalled);
    }
    // Stopped there once the launchers have swapped: the download is gone
    // with the update done, so that it tells no false story.
    UpdateCase stopped{"InterruptWhileStalledAfterRemoved", BigUpdate, standardArguments, updated, {}, 0};
    stopped.run.whileStalled = [] {};
    stopped.run.actAfterLineWith = "Old launcher removed";
    stopped.run.signalNumber = SIGINT;
    cases.push_back(stopped);

    // A stop request while the launcher closes ends the run there, with
    // nothing changed; one that comes later acts once the launcher's path
    // holds a whole launcher again. Wine passes SIGINT on as Ctrl+C.
    const std::pair<const char*, int> stops[] = {{"HangUp", SIGHUP}, {"Interrupt", SIGINT}, {"Quit", SIGQUIT},
                                                  {"Terminate", SIGTERM}, {"User1", SIGUSR1}, {"Alarm", SIGALRM},
                                                  {"VirtualAlarm", SIGVTALRM}};
    for (const auto& [name, number] : stops) {
        const Platforms platforms = number == SIGINT ? both : posixOnly;
        cases.push_back(On(platforms, Signalled({std::string(name) + "WhileCopying", BigUpdate, standardArguments, updated,
                                                 {{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:big"}}, 0},
                                                "Info", 0, number)));
        for (const char* line : {"Delete", "Move"}) {
            cases.push_back(On(platforms, Signalled({std::string(name) + "After" + line, BigUpdate, standardArguments, updated, {}, 0},
                                                    line, 0, number)));
        }
    }
    // What was ignored when the run started (nohup) stays ignored.
    UpdateCase ignored = On(posixOnly, {"HangUpIgnoredFromTheStart", Standard, standardArguments, updated, updatedFiles, 2});
    ignored.run.wrapper = {"timeout", "--preserve-status", "-s", "HUP", "0.7", "nohup"};
    cases.push_back(ignored);
    // Once "Starting" is out, the launcher is started before a stop acts; it
    // acts as the new launcher is watched, and the old one stays at the
    // backup.
    const Listing oldAtTheBackup{{"launcher.exe", "0755:v2"}, {"launcher.exe~kestrin-backup", "0755:v1"}};
    cases.push_back(Signalled({"InterruptAfterRun", Standard, standardArguments, updated, oldAtTheBackup, 2},
                              "Run", 0, SIGINT));
    cases.push_back(On(posixOnly, Signalled({"Signal32AfterRun", Standard, standardArguments, updated, oldAtTheBackup, 2},
                                            "Run", 0, 32)));
    UpdateCase killed = Signalled({"KilledWhileCopyingThenRunAgain", BigUpdate, standardArguments, updated,
                                   {{"launcher.exe", "0755:big"}}, -1},
                                  "Info", 20, SIGKILL);
    killed.runAgain = true;
    cases.push_back(killed);

    // With the first rename held up for a second, the launcher's path still
    // holds a whole launcher: the names are swapped in one step.
    UpdateCase swapped = On(posixOnly, {"NeverEmptyWhileSwapping", Standard, standardArguments, updated, updatedFiles, 2});
    swapped.run.wrapper = {"strace", "-o", "/dev/null", "-e", "inject=renameat2:delay_exit=1000000:when=1"};
    swapped.run.actAfterLineWith = "Delete";
    swapped.run.actAfterMilliseconds = 300;
    cases.push_back(swapped);
    // A stop signal that comes as the names are swapped waits until the
    // download is gone too: stopped there, the launcher's folder tells no
    // false story.
    UpdateCase stopSignal = On(posixOnly, {"StopSignalHeldAcrossTheSwap", BigUpdate, standardArguments, updated, {{"launcher.exe", "0755:big"}}, -1});
    stopSignal.run.wrapper = {"strace", "-o", "/dev/null", "-e", "inject=renameat2:signal=SIGTSTP:when=1"};
    stopSignal.run.actAfterLineWith = "Delete";
    stopSignal.run.actAfterMilliseconds = 500;
    stopSignal.run.whileRunning = [] {};
    cases.push_back(stopSignal);
    // So do the signals that otherwise end a program at once (a watchdog's
    // SIGABRT, a fault's signal sent by another program) and those that the
    // C library keeps for itself, sent at each rename: a second one comes
    // while the first is held.
    // The old launcher then stays at the backup.
    for (const int number : {SIGABRT, SIGSEGV, 32}) {
        UpdateCase held = On(posixOnly, {"Signal" + std::to_string(number) + "HeldAcrossTheSwap", Standard, standardArguments,
                                         updated, {{"launcher.exe", "0755:v2"}, {"launcher.exe~kestrin-backup", "0755:v1"}}, 0});
        held.run.wrapper = {"strace", "-o", "/dev/null", "-e", "inject=renameat2:signal=" + std::to_string(number) + ":when=1+"};
        held.run.signalNumber = number;
        cases.push_back(held);
    }
    UpdateCase three{"ThreeUpdatersAtOnce", BigUpdate, standardArguments, updated, {{"launcher.exe", "0755:big"}}, -1};
    three.runsAtOnce = 3;
    cases.push_back(three);
    UpdateCase spellings = On(windowsOnly, {"TwoSpellingsOfOneFolder", BigUpdate, {"{dir}/launcher.exe", "{dir}/launcher.new"},
                                            updated, {{"launcher.exe", "0755:big"}}, -1});
    spellings.runsAtOnce = 2;
    cases.push_back(spellings);
    UpdateCase lockHeld = On(posixOnly, {"LockHeldByAnotherProgram", Standard, standardArguments, removeFailed, standardFiles, 0});
    lockHeld.lockHeld = true;
    cases.push_back(lockHeld);
    // Windows: a launcher that is slow to close is waited for, ten seconds
    // at most; programs that hold the update's files for a moment, as
    // scanners do, are waited out; one that holds the download for longer
    // fails the update before anything changes.
    const std::string holder = "{holder}";
    cases.insert(cases.end(), {
             Alongside({"LauncherClosesSlowly", Standard, standardArguments, updated, updatedFiles, 2}, {"launcher.exe", "1500"}),
             Alongside({"LauncherNeverCloses", Standard, standardArguments, removeFailed, standardFiles, 0}, {"launcher.exe", "13000"}),
             Alongside({"ScannerOnOldLauncher", Standard, standardArguments, updated, updatedFiles, 2}, {holder, "launcher.exe", "rw", "1500"}),
             Alongside({"ReaderSharingEverything", Standard, standardArguments, updated, updatedFiles, 2}, {holder, "launcher.exe", "rwd", "12000"}),
             Alongside({"ScannerOnStagedCopy", BigUpdate, standardArguments, updated, {{"launcher.exe", "0755:big"}}, -1},
                       {holder, "launcher.exe~kestrin-staging", "rw", "1000"}),
             Alongside({"DownloadHeldForAMoment", Standard, standardArguments, updated, updatedFiles, 2}, {holder, "launcher.new", "-", "1500"}),
             Alongside({"DownloadHeldPastTheBound", Standard, standardArguments, moveFailed, standardFiles, 0}, {holder, "launcher.new", "r", "12000"}),
             Alongside({"FailedCopyWhileBackupNameGrabbed", OnlyOld, standardArguments, moveFailed, oldKept, 0},
                       {holder, "launcher.exe~kestrin-backup", "-", "3000"}),
             // A leftover that a reader holds, sharing its removal, keeps its
             // name until the reader lets go (Wine): the run waits for it.
             Alongside({"LeftoverStagingStillRead", And(Standard, Files("launcher.exe~kestrin-staging", "half", "", "")),
                        standardArguments, updated, updatedFiles, 2},
                       {holder, "launcher.exe~kestrin-staging", "rd", "2000"}),
             // Read, with its removal shared, past the run: its name goes all the same.
             Alongside({"DownloadReadPastTheRun", Standard, standardArguments, updated, updatedFiles, 2}, {holder, "launcher.new", "rwd", "8000"}),
             // A stop while a scanner holds a file: it is waited out, and the
             // files are left as they were, read-only included. The scanner
             // lets go 1.5 s after the stop, well within the 2 s the run
             // waits, even when a busy machine has it open the file late.
             Alongside(Signalled({"InterruptWhileStagedCopyHeld", BigUpdate, standardArguments, updated,
                                  {{"launcher.exe", "0755:v1"}, {"launcher.new", "0644:big"}}, 0}, "Info", 1000, SIGINT),
                       {holder, "launcher.exe~kestrin-staging", "rw", "2500"}),
             Alongside(Signalled({"InterruptWhileReadOnlyDownloadHeld", Files("launcher.exe", "v1", "launcher.new", "v2", 0755, 0444),
                                  standardArguments, updated, {{"launcher.exe", "0755:v1"}, {"launcher.new", "0444:v2"}}, 0}, "Info", 1000, SIGINT),
                       {holder, "launcher.new", "r", "3000"}),
             // The launcher's path is never empty, so a program that puts a
             // file there whenever nothing is there never gets to.
             Alongside({"FileMadeAtTheLauncherPathWhenMissing", Standard, standardArguments, updated, updatedFiles, 2},
                       {holder, "launcher.exe", "c", "5000"}),
             // A download on another volume cannot be renamed out of sight,
             // so one that another program reads is not installed.
             Alongside({"DownloadOnAnotherVolumeStillRead", And(OnlyOld, [](const std::string& folder) {
                            return MountTmpfs(folder + "/other fs") && Files("", "", "other fs/launcher.new", "v2", 0, 0444)(folder);
                        }),
                        {"launcher.exe", "other fs/launcher.new"}, moveFailed,
                        {{"launcher.exe", "0755:v1"}, {"other fs", "dir"}, {"other fs/launcher.new", "0444:v2"}}, 0},
                       {holder, "other fs/launcher.new", "rwd", "12000"}),
             // A reader on the backup as it appears (as the old launcher's only
             // name) is waited for, within the bound: a successful run leaves
             // no backup behind.
             Alongside({"BackupReadAsItAppears", Standard, standardArguments, updated, updatedFiles, 2},
                       {holder, "launcher.exe~kestrin-backup", "rdn", "4000"}),
             // Held leftovers take the run close to its bound; the time given
             // to their removal does not lengthen the wait for a launcher
             // (a program holding it without sharing writes) still there at
             // ten seconds.
             Alongside({"LauncherStillThereAfterHeldLeftovers",
                        And(Standard, Files("launcher.exe~kestrin-staging", "half", "launcher.exe~kestrin-backup", "v1")),
                        standardArguments, removeFailed, standardFiles, 0},
                       {holder, "launcher.exe~kestrin-staging", "rd", "9800", "launcher.exe", "r", "11200"}),
             // A program that holds the new launcher without sharing its
             // removal past the run's bound keeps the old one from going back
             // over it: the old launcher stays at the backup.
             Alongside({"PutBackRefusedWhileNewLauncherHeld", Files("launcher.exe", "v1", "launcher.new", "crash at start"),
                        standardArguments, notPutBack,
                        {{"launcher.exe", "0755:crash at start"}, {"launcher.exe~kestrin-backup", "0755:v1"}}, 0},
                       {holder, "launcher.exe", "rn", "14000"}),
             // Stopped while the start waits out a program that holds the new
             // launcher: the "Starting" line is followed by the error line.
             Alongside(Signalled({"InterruptWhileStartRetried", Standard, standardArguments, notStarted, oldAtTheBackup, 0}, "Run", 1500, SIGINT),
                       {holder, "launcher.exe", "n", "6000"}),
         });
    // Windows: a signed launcher gives way only to a program its publisher
    // signed (Wine trusts every chain, so there a publisher is the
    // certificate's subject). An unsigned one takes any program: signed
    // here, unsigned in "Succeeds".
    const auto signedFiles = [](const std::string& name, const std::string& old, const std::string& download,
                                const std::string& refusal) {
        const bool refused = !refusal.empty();
        UpdateCase c{name,
                     [=](const std::string& folder) {
                         return canSign && Files("launcher.exe", old, "launcher.new", download)(folder);
                     },
                     standardArguments, refused ? moveFailed : updated,
                     refused ? Listing{{"launcher.exe", "0755:" + old}, {"launcher.new", "0644:" + download}}
                             : Listing{{"launcher.exe", "0755:" + download}},
                     refused ? 0 : 2, windowsOnly};
        c.refusal = refusal;
        return c;
    };
    const std::string publisherA = SignerSubject("A");
    cases.insert(cases.end(), {
        signedFiles("SignedBySamePublisher", "v1 signed by A", "v2 signed by A", ""),
        signedFiles("SignedByAnotherPublisher", "v1 signed by A", "v2 signed by B",
                    "The new launcher is not signed by the old launcher's publisher (old: " + publisherA + ", new: " +
                        SignerSubject("B") + ")"),
        signedFiles("UnsignedAfterSigned", "v1 signed by A", "v2",
                    "The new launcher is not signed, but the old launcher is (" + publisherA + ")"),
        signedFiles("SignedThenChanged", "v1 signed by A", "v2 signed by A, changed",
                    "The new launcher's signature does not match its contents"),
        signedFiles("SignedAfterUnsigned", "v1", "v2 signed by A", ""),
        // A signed launcher that a program holds without sharing reading is
        // waited for, and then judged; one that stays unreadable might be
        // signed, and takes nothing.
        Alongside(signedFiles("SignedLauncherLockedForAMoment", "v1 signed by A", "v2",
                              "The new launcher is not signed, but the old launcher is (" + publisherA + ")"),
                  {holder, "launcher.exe", "-", "1500"}),
        Alongside(signedFiles("LauncherUnreadablePastTheBound", "v1", "v2",
                              "The old launcher could not be read to tell who signed it"),
                  {holder, "launcher.exe", "-", "12000"}),
    });
    // A signed release of Kestrin.exe as a launcher would be: started with
    // no arguments, it writes its usage and exits with 1, an ordinary end.
    UpdateCase signedKestrin = signedFiles("SignedKestrinUpdatesItself", "Kestrin signed by A", "Kestrin signed by A", "");
    signedKestrin.launchedVersion = -1;
    cases.push_back(signedKestrin);
    // Removing a download that is a link removes the link; where the system
    // cannot (Wine opens a Unix link's target), the update is refused. The
    // file it leads to stays as it was.
    cases.push_back({"DownloadLinksIntoAnotherFolder", And(Files("launcher.exe", "v1", "other/target", "v2"), [](const std::string& folder) {
                         fs::create_symlink("other/target", folder + "/launcher.new");
                         return true;
                     }),
                     standardArguments, windows ? moveFailed : updated,
                     windows ? Listing{{"launcher.exe", "0755:v1"}, {"launcher.new", "link:other/target"}, {"other", "dir"}, {"other/target", "0644:v2"}}
                             : Listing{{"launcher.exe", "0755:v2"}, {"other", "dir"}, {"other/target", "0644:v2"}},
                     windows ? 0 : 2});

    // Names that differ only in case are two names where the file system
    // tells case apart, as Wine's drives do though they claim not to: a link
    // to the other name is a link like any other. Wine would remove or move
    // what it leads to, so the update is refused with nothing changed:
    // status 2, "Failed to move new launcher!" for a download, "Failed to
    // remove old launcher!" for the launcher.
    const auto linked = [](const std::string& link, const std::string& target) {
        return [=](const std::string& folder) {
            fs::create_directories(fs::path(folder + "/" + link).parent_path());
            fs::create_symlink(target, folder + "/" + link);
            return true;
        };
    };
    cases.insert(cases.end(), {
        On(windowsOnly, {"DownloadLinksIntoAFolderNamedOtherwiseInCase",
                         And(Files("launcher.exe", "v1", "DL/launcher.new", "v2"), linked("dl/launcher.new", "../DL/launcher.new")),
                         {"launcher.exe", "dl/launcher.new"}, moveFailed,
                         {{"launcher.exe", "0755:v1"}, {"DL", "dir"}, {"DL/launcher.new", "0644:v2"}, {"dl", "dir"},
                          {"dl/launcher.new", "link:../DL/launcher.new"}}, 0}),
        On(windowsOnly, {"DownloadLinksToANameOtherwiseInCase",
                         And(Files("launcher.exe", "v1", "LAUNCHER.NEW", "v2"), linked("launcher.new", "LAUNCHER.NEW")),
                         standardArguments, moveFailed,
                         {{"launcher.exe", "0755:v1"}, {"LAUNCHER.NEW", "0644:v2"}, {"launcher.new", "link:LAUNCHER.NEW"}}, 0}),
        On(windowsOnly, {"OldLauncherLinksToANameOtherwiseInCase",
                         And(Files("LAUNCHER.EXE", "v1", "launcher.new", "v2"), linked("launcher.exe", "LAUNCHER.EXE")),
                         standardArguments, removeFailed,
                         {{"LAUNCHER.EXE", "0755:v1"}, {"launcher.exe", "link:LAUNCHER.EXE"}, {"launcher.new", "0644:v2"}}, 0}),
    });
    // Two drives on two file systems with one serial number, as cloned disks
    // have (Wine reads a drive's from .windows-serial at its root). Such
    // numbers never make two files one, nor two volumes one. Where the
    // launcher and the download are the first files made on each, their
    // indexes match too: the download is installed all the same (status 0).
    // Read, sharing its removal, past the bound, it can neither be moved out
    // of sight nor removed: the old launcher goes back and the download
    // stays as it was (status 2, "Failed to remove new launcher! It is still
    // there", then "Old launcher put back"), never status 0 with the
    // download there.
    const auto twoDrives = [](bool sameIndex) {
        const auto serial = [](const std::string& drive) { return Files(drive + "/.windows-serial", "4b657374", "", ""); };
        const auto files = Files("one fs/launcher.exe", "v1", "other fs/launcher.new", "v2");
        return And(And(MountTmpfsAt("one fs"), MountTmpfsAt("other fs")),
                   sameIndex ? And(files, And(serial("one fs"), serial("other fs")))
                             : And(serial("other fs"), And(files, serial("one fs"))));
    };
    const std::vector<std::pair<std::string, std::string>> pq{{"p", "one fs"}, {"q", "other fs"}};
    const std::vector<std::pair<std::string, std::string>> rs{{"r", "one fs"}, {"s", "other fs"}};
    const Listing serials{{"one fs", "dir"}, {"one fs/.windows-serial", "0755:4b657374"},
                          {"other fs", "dir"}, {"other fs/.windows-serial", "0755:4b657374"}};
    Listing twoDrivesUpdated = serials;
    twoDrivesUpdated["one fs/launcher.exe"] = "0755:v2";
    Listing twoDrivesKept = serials;
    twoDrivesKept.insert({{"one fs/launcher.exe", "0755:v1"}, {"other fs/launcher.new", "0644:v2"}});
    cases.insert(cases.end(), {
        OnDrives({"TwoDrivesWithOneSerial", twoDrives(true), {"P:/launcher.exe", "Q:/launcher.new"}, updated, twoDrivesUpdated, 2}, pq),
        Alongside(OnDrives({"TwoDrivesWithOneSerialDownloadStillRead", twoDrives(false), {"R:/launcher.exe", "S:/launcher.new"},
                            downloadKept, twoDrivesKept, 0}, rs),
                  {holder, "other fs/launcher.new", "rwd", "12000"}),
    });
    // A read-only download's other name is no file of the update's: it
    // stays read-only, the update installed (status 0).
    cases.push_back({"ReadOnlyDownloadWithASecondName", And(Files("launcher.exe", "v1", "launcher.new", "v2", 0755, 0444), [](const std::string& folder) {
                         fs::create_directory(folder + "/other");
                         fs::create_hard_link(folder + "/launcher.new", folder + "/other/kept.new");
                         return true;
                     }),
                     standardArguments, updated, {{"launcher.exe", "0755:v2"}, {"other", "dir"}, {"other/kept.new", "0444:v2"}}, 2});

    std::vector<UpdateCase> forTarget;
    for (UpdateCase& c : cases) {
        if (c.on == both || (c.on == windowsOnly) == windows) {
            forTarget.push_back(std::move(c));
        }
    }
    return forTarget;
}

// Windows knows no permission bits or owners, only the read-only attribute:
// Wine shows it as a file without write bits.
Listing ForTarget(const Listing& listing)
{
    if (!windows) {
        return listing;
    }
    Listing seen;
    for (const auto& [name, description] : listing) {
        std::string& entry = seen[name];
        entry = description;
        if (description.size() > 5 && description[4] == ':' && description[0] == '0') {
            const bool readOnly = (std::stoul(description.substr(0, 4), nullptr, 8) & 0200) == 0;
            entry = description.substr(5, description.rfind('@') == std::string::npos ? std::string::npos
                                                                                      : description.rfind('@') - 5) +
                    (readOnly ? " read-only" : "");
        }
    }
    return seen;
}

bool WaitForFile(const std::string& path)
{
    for (int waited = 0; waited < 100 && !fs::exists(path); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fs::exists(path);
}

// A run's files are settled once it lets other updaters into the launcher's
// folder: on Linux the backup goes after the run, in a process of the run's
// own that holds the updaters' lock until then.
void WaitForUpdaters(const std::string& launcher)
{
    const int lock = open(fs::path(launcher).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int waited = 0; lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0 && waited < 100; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(lock);
}

class UpdateRun : public ::testing::TestWithParam<UpdateCase> {
protected:
    void TearDown() override
    {
        // A launcher that still runs holds its file and its folder.
        if (lingering > 0) {
            waitpid(lingering, nullptr, 0);
        }
        std::error_code ignored;
        for (const std::string& drive : drives) {
            fs::remove(drive, ignored);
        }
        if (!folder.empty()) {
            if (fs::exists(folder + "/started.txt")) {
                WaitForFile(folder + "/finished.txt");
            }
            RemoveScratchFolder(folder);
        }
    }
    std::string folder;
    std::vector<std::string> drives; // the links that map drive letters
    pid_t lingering = 0;
};

TEST_P(UpdateRun, EndsAsExpected)
{
    const UpdateCase& c = GetParam();
    if (c.needsRoot && geteuid() != 0) {
        GTEST_SKIP() << "only root can run a case as an unprivileged user";
    }
    // Under Wine, drive Y: is a folder of the prefix: one folder, two spellings.
    const std::string yDrive = windows ? std::string(std::getenv("WINEPREFIX")) + "/y-drive" : "";
    folder = MakeScratchFolder(c.runsAtOnce == 2 ? yDrive : "");
    if (!c.prepare(folder)) {
        GTEST_SKIP() << "this machine cannot set up the case (it needs root for a mount, a "
                        "file system with the immutable attribute, or openssl and osslsigncode to sign)";
    }
    for (const auto& [letter, mapped] : c.drives) {
        drives.push_back(std::string(std::getenv("WINEPREFIX")) + "/dosdevices/" + letter + ":");
        std::error_code ignored;
        fs::remove(drives.back(), ignored);
        fs::create_directory_symlink(folder + "/" + mapped, drives.back());
    }
    std::string wrapped;
    for (const std::string& part : c.run.wrapper) {
        wrapped += part + " ";
    }
    if (!wrapped.empty() && std::system((wrapped + "true >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << "this machine does not let a program run under " << wrapped << "(user namespaces, say)";
    }
    RunOptions run = c.run;
    run.workingFolder = folder;
    run.arguments = TargetArguments(c.arguments, folder);
    const std::string launcher = folder + "/" + (c.arguments.empty() ? "" : c.arguments[0]);
    // What must hold at every instant: the launcher's path holds a whole
    // launcher, old or new, except that a killed run may leave it empty with
    // the whole old one in the backup; and the update is not lost.
    const auto nothingLost = [&]() {
        const std::string now = ReadFile(launcher);
        const std::string backup = ReadFile(launcher + "~kestrin-backup");
        const bool newThere = now == ReadFile(folder + "/" + c.arguments[1]) || now == big;
        EXPECT_TRUE(now == v1 || newThere || (now.empty() && c.run.signalNumber == SIGKILL && backup == v1))
            << "the launcher's path holds " << now.size() << " bytes";
        EXPECT_TRUE(newThere || fs::exists(folder + "/launcher.new")) << "the update was lost";
    };
    if (!run.wrapper.empty()) {
        const bool stopped = static_cast<bool>(c.run.whileRunning);
        run.whileRunning = [&, stopped] {
            nothingLost();
            if (stopped) {
                EXPECT_EQ(ReadFile(launcher) == v1, fs::exists(folder + "/launcher.new"))
                    << "stopped with the new launcher in place and the download still there";
                kill(0, SIGCONT);
            }
        };
    }
    if (run.whileStalled) {
        // Stalled once the line is out: the program is then blocked on the next.
        const std::string upToLine = CutAfterLineWith(ExpectedReport(c.outcome, run.arguments), run.actAfterLineWith);
        run.stalledAfterBytes = TargetLineEnds(Replace(upToLine, "[TIME]", "[Www Mmm DD hh:mm:ss YYYY]")).size();
        run.actAfterLineWith.clear();
        run.whileStalled = nothingLost;
    }
    int lock = -1;
    if (c.lockHeld) {
        lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
    }
    if (!c.alongside.empty()) {
        const bool isHolder = c.alongside[0] == "{holder}";
        lingering = StartInBackground(isHolder ? std::getenv("KESTRIN_HOLDER") : folder + "/" + c.alongside[0],
                                      {c.alongside.begin() + 1, c.alongside.end()}, folder);
        ASSERT_TRUE(WaitForFile(folder + (isHolder ? "/holding.txt" : "/running.txt")));
    }

    std::vector<RunOptions> runsOf(c.runsAtOnce, run);
    if (c.runsAtOnce == 2) {
        const std::string other = "Y:" + folder.substr(yDrive.size());
        runsOf[1].arguments = TargetArguments({other + "/launcher.exe", other + "/launcher.new"}, "");
    }
    std::vector<RunResult> results(c.runsAtOnce);
    std::vector<std::thread> runs;
    for (int i = 0; i < c.runsAtOnce; ++i) {
        runs.emplace_back([&, i] { results[i] = RunProgram(runsOf[i]); });
    }
    for (std::thread& one : runs) {
        one.join();
    }
    if (lock >= 0) {
        close(lock);
    }
    if (c.runAgain) {
        EXPECT_EQ(results[0].killedBySignal, SIGKILL);
        nothingLost();
        run.actAfterLineWith.clear();
        run.signalNumber = 0;
        results[0] = RunProgram(run);
    }
    const bool launcherOutlivedOutput = !fs::exists(folder + "/finished.txt");
    if (!windows && !run.arguments.empty()) {
        WaitForUpdaters((fs::path(folder) / run.arguments[0]).string());
    }
    // Status 0 always means that the download is gone.
    const std::string download = c.arguments.size() > 1 ? Replace(c.arguments[1], "{dir}/", "") : "";
    if (c.runsAtOnce == 1 && results[0].exitStatus == 0 && !download.empty()) {
        EXPECT_FALSE(fs::exists(folder + "/" + download)) << "the download is still there";
        // Nor is the backup, unless it was no file of the run's, or another
        // program holds the old launcher past the run (Wine keeps the name
        // of a file removed while it is open).
        const bool oldLauncherHeld = c.alongside.size() > 1 && c.alongside[1] == c.arguments[0];
        std::error_code nameTooLong;
        EXPECT_TRUE(!fs::exists(launcher + "~kestrin-backup", nameTooLong) || oldLauncherHeld ||
                    c.filesAfter.count(c.arguments[0] + "~kestrin-backup"))
            << "the backup outlived the run";
    }
    // What runs alongside is let finish: a file it held goes only then. A
    // launcher slow to close was never replaced while it ran.
    if (lingering > 0) {
        waitpid(lingering, nullptr, 0);
        lingering = 0;
        if (c.alongside[0] == "launcher.exe") {
            EXPECT_EQ(ReadFile(folder + "/closed.txt"), "1") << "the launcher was replaced while it ran";
        }
    }

    int successes = 0;
    for (int i = 0; i < c.runsAtOnce; ++i) {
        const RunResult& result = results[i];
        const std::string output = WithoutTimes(result.output);
        if (run.signalNumber != 0 && !c.runAgain) {
            // strace, which cannot end itself with a signal that the C library
            // reserves, tells of it by its status.
            const bool told = !run.wrapper.empty() && result.exitStatus == 128 + run.signalNumber;
            EXPECT_EQ(windows ? result.exitStatus : told ? run.signalNumber : result.killedBySignal,
                      windows ? windowsStopStatus : run.signalNumber);
            const std::string whole = TargetLineEnds(ExpectedReport(c.outcome, run.arguments));
            EXPECT_EQ(output, whole.substr(0, output.size()));
            EXPECT_NE(output.find(run.actAfterLineWith), std::string::npos);
            // A "Starting" line always means a start or the error line.
            if (output.find("Starting ") != std::string::npos) {
                EXPECT_TRUE(output.find("Failed to start new launcher!") != std::string::npos ||
                            WaitForFile(folder + "/started.txt"))
                    << "a \"Starting\" line without a start";
            }
            continue;
        }
        // Of updaters started together, one updates; the others find the
        // download gone and put back what they moved aside, or (Windows) find
        // the new launcher already running.
        const bool running = windows && output.find("remove old launcher!") != std::string::npos;
        const Outcome outcome = c.runsAtOnce > 1 && result.exitStatus != 0 ? (running ? removeFailed : moveFailed) : c.outcome;
        successes += outcome == updated;
        EXPECT_EQ(result.exitStatus, ExpectedStatus(outcome));
        if (run.output == outputToPipe || run.output == outputToLeakyPipe) {
            EXPECT_EQ(output, TargetLineEnds(ExpectedReport(outcome, runsOf[i].arguments, c.refusal)));
        }
    }
    if (c.runsAtOnce > 1) {
        EXPECT_EQ(successes, 1);
    }

    const std::string started = folder + "/started.txt";
    if (c.launchedVersion > 0) {
        ASSERT_TRUE(WaitForFile(started)) << "the launcher was not started";
        EXPECT_EQ(ReadFile(started), StartRecord(c.launchedVersion, folder));
        EXPECT_TRUE(launcherOutlivedOutput) << "the output stayed open until the launcher ended";
    } else if (c.launchedVersion == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(fs::exists(started)) << "a launcher was started";
    }

    Listing files = ListFolder(folder, contentNames);
    for (const char* marker : {"started.txt", "started.tmp", "finished.txt", "running.txt", "closed.txt", "holding.txt"}) {
        files.erase(marker);
    }
    if (c.filesAfter.empty()) {
        nothingLost();
        // A run stopped once the launchers swapped keeps the old one at the
        // backup: the new one has not run yet. No other helper file stays.
        const bool swapped = ReadFile(launcher) == big;
        for (const auto& [name, description] : files) {
            const bool oldKeptAside = swapped && name == c.arguments[0] + "~kestrin-backup" &&
                                      ReadFile(folder + "/" + name) == v1;
            EXPECT_TRUE(name.find("~kestrin-") == std::string::npos || oldKeptAside) << name << " was left behind";
        }
        EXPECT_EQ(ReadFile(launcher) == big, !fs::exists(folder + "/launcher.new"))
            << "the download must be gone exactly when the new launcher is in place";
    } else {
        EXPECT_EQ(ForTarget(files), ForTarget(c.filesAfter));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateRun, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<UpdateCase>& info) { return info.param.name; });

} // namespace
