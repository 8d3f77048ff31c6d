// End-to-end runs of the built program in scratch folders: what it writes,
// what the files hold afterwards, how it ends, and what it starts.

#include "expected_report.h"
#include "run_program.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// The stand-in launcher reports how it was started into started.txt in its
// working folder, then keeps running a while so that the test can tell
// whether the updater's output ended before it did.
std::string Launcher(int version)
{
    return "#!/bin/sh\n"
           "export LC_ALL=C\n"
           "out=$(readlink /proc/$$/fd/1)\n"
           "session=$(tr '\\n' ' ' < /proc/$$/stat | sed 's/.*) //' | cut -d' ' -f4)\n"
           "if [ \"$session\" = \"$$\" ]; then session=own; else session=shared; fi\n"
           "printf 'version=" +
           std::to_string(version) +
           "\\ncwd=%s\\nargs=%s\\nout=%s\\nsession=%s\\n' \"$(pwd)\" \"$#\" \"$out\" \"$session\""
           " > started.tmp\n"
           "mv started.tmp started.txt\n"
           "sleep 3\n"
           ": > finished.txt\n";
}

const std::string v1 = Launcher(1);
const std::string v2 = Launcher(2);
// Large enough that copying and flushing it takes a noticeable while.
const std::string big(32 << 20, 'x');
const std::map<std::string, std::string> contentNames{{v1, "v1"}, {v2, "v2"}, {big, "big"}};

struct UpdateCase {
    std::string name;
    // Makes the files the run starts with; false when this machine cannot.
    std::function<bool(const std::string& folder)> prepare;
    std::vector<std::string> arguments; // "{dir}" stands for the folder
    Outcome outcome;
    Listing filesAfter;
    int launchedVersion; // 0 for none; -1 where it is not checked
    RunOptions run;
    bool needsRoot = false;
};

// Names the case in test reports instead of dumping its bytes.
void PrintTo(const UpdateCase& c, std::ostream* out)
{
    *out << c.name;
}

// The files most cases start with: the running launcher's executable and
// the downloaded update, without the execute bit.
bool Standard(const std::string& folder)
{
    PutFile(folder + "/launcher", v1, 0755);
    PutFile(folder + "/launcher.new", v2, 0644);
    return true;
}
// The same two files under other names.
std::function<bool(const std::string&)> Named(const std::string& oldName, const std::string& newName)
{
    return [=](const std::string& folder) {
        PutFile(folder + "/" + oldName, v1, 0755);
        PutFile(folder + "/" + newName, v2, 0644);
        return true;
    };
}

const Listing standardFiles{{"launcher", "0755:v1"}, {"launcher.new", "0644:v2"}};
const std::vector<std::string> standardArguments{"launcher", "launcher.new"};

UpdateCase AsNobody(UpdateCase c)
{
    c.run.asUnprivilegedUser = true;
    c.needsRoot = true;
    return c;
}

UpdateCase WithOutput(UpdateCase c, OutputKind output)
{
    c.run.output = output;
    return c;
}

UpdateCase Signalled(UpdateCase c, const std::string& afterLineWith, int signalNumber)
{
    c.run.signalAfterLineWith = afterLineWith;
    c.run.signalNumber = signalNumber;
    return c;
}

std::vector<UpdateCase> AllCases()
{
    const auto bigUpdate = [](const std::string& folder) {
        PutFile(folder + "/launcher", v1, 0755);
        PutFile(folder + "/launcher.new", big, 0644);
        return true;
    };
    const auto onlyOld = [](const std::string& folder) {
        PutFile(folder + "/launcher", v1, 0755);
        return true;
    };
    const auto ownedByNobody = [](const std::string& folder) {
        return chown(folder.c_str(), unprivilegedId, unprivilegedId) == 0;
    };
    const Listing updatedFiles{{"launcher", "0755:v2"}};

    std::vector<UpdateCase> cases{
        {"Succeeds", Standard, standardArguments, updated, updatedFiles, 2, {}},
        {"AbsolutePathsAndExtraArgumentsIgnored", Standard,
         {"{dir}/launcher", "{dir}/launcher.new", "{dir}/launcher.new", "--force"}, updated,
         updatedFiles, 2, {}},
        {"UsageWithoutArguments", Standard, {}, usageError, standardFiles, 0, {}},
        {"UsageWithOneArgument", Standard, {"launcher"}, usageError, standardFiles, 0, {}},
        {"OldLauncherMissing",
         [](const std::string& folder) {
             PutFile(folder + "/launcher.new", v2, 0750);
             return true;
         },
         standardArguments, updated, {{"launcher", "0750:v2"}}, 2, {}},
        {"SpacesInPaths", Named("my launcher", "new version"),
         {"{dir}/my launcher", "{dir}/new version"}, updated, {{"my launcher", "0755:v2"}}, 2, {}},
        {"ParentReferences",
         [](const std::string& folder) { return Standard(folder) && fs::create_directory(folder + "/sub"); },
         {"sub/../launcher", "./sub/../launcher.new"}, updated,
         {{"launcher", "0755:v2"}, {"sub", "dir"}}, 2, {}},
        {"NewlinesAndForeignBytes", Named("launcher\nv1\xff", "new\n\xfe"),
         {"launcher\nv1\xff", "new\n\xfe"}, updated, {{"launcher\nv1\xff", "0755:v2"}}, 2, {}},
        // A script named with a leading dash is taken for options by its
        // interpreter, so only the update itself is checked.
        {"LeadingDashes", Named("-launcher", "--new"),
         {"-launcher", "--new"}, updated, {{"-launcher", "0755:v2"}}, -1, {}},
        {"OldLauncherIsALink",
         [](const std::string& folder) {
             PutFile(folder + "/target", v1, 0755);
             PutFile(folder + "/launcher.new", v2, 0644);
             fs::create_symlink("target", folder + "/launcher");
             return true;
         },
         standardArguments, updated, {{"launcher", "0755:v2"}, {"target", "0755:v1"}}, 2, {}},
        {"HardLinksToOneFile",
         [](const std::string& folder) {
             PutFile(folder + "/launcher", v1, 0755);
             fs::create_hard_link(folder + "/launcher", folder + "/launcher.new");
             return true;
         },
         standardArguments, updated, {{"launcher", "0755:v1"}}, 1, {}},
        // The copy cannot be a rename or a clone across file systems.
        {"NewLauncherOnAnotherFileSystem",
         [&](const std::string& folder) {
             if (!MountTmpfs(folder + "/other fs")) {
                 return false;
             }
             PutFile(folder + "/other fs/launcher.new", v2, 0644);
             return onlyOld(folder);
         },
         {"launcher", "other fs/launcher.new"}, updated,
         {{"launcher", "0755:v2"}, {"other fs", "dir"}}, 2, {}},
        {"NewLauncherMissing", onlyOld, standardArguments, moveFailed, {{"launcher", "0755:v1"}}, 0, {}},
        {"NewLauncherIsAFolder",
         [&](const std::string& folder) { return onlyOld(folder) && fs::create_directory(folder + "/launcher.new"); },
         standardArguments, moveFailed, {{"launcher", "0755:v1"}, {"launcher.new", "dir"}}, 0, {}},
        {"NewLauncherIsAFifo",
         [&](const std::string& folder) {
             return onlyOld(folder) && mkfifo((folder + "/launcher.new").c_str(), 0644) == 0;
         },
         standardArguments, moveFailed, {{"launcher", "0755:v1"}, {"launcher.new", "fifo"}}, 0, {}},
        {"NewLauncherIsADevice", onlyOld, {"launcher", "/dev/zero"}, moveFailed,
         {{"launcher", "0755:v1"}}, 0, {}},
        {"SameFileTwice", onlyOld, {"launcher", "launcher"}, moveFailed, {{"launcher", "0755:v1"}}, 0, {}},
        {"NewLauncherLinksToOld",
         [&](const std::string& folder) {
             fs::create_symlink("launcher", folder + "/launcher.new");
             return onlyOld(folder);
         },
         standardArguments, moveFailed, {{"launcher", "0755:v1"}, {"launcher.new", "link:launcher"}}, 0, {}},
        {"OldLauncherIsAFolder",
         [](const std::string& folder) {
             PutFile(folder + "/launcher.new", v2, 0644);
             return fs::create_directory(folder + "/launcher");
         },
         standardArguments, removeFailed, {{"launcher", "dir"}, {"launcher.new", "0644:v2"}}, 0, {}},
        {"OldPathTooLong", Standard, {std::string(5000, 'a'), "launcher.new"}, removeFailed,
         standardFiles, 0, {}},
        {"OldLauncherImmutable",
         [](const std::string& folder) { return Standard(folder) && SetImmutable(folder + "/launcher", true); },
         standardArguments, removeFailed, standardFiles, 0, {}},
        {"LeftoverBackupPutBackFirst",
         [](const std::string& folder) {
             PutFile(folder + "/launcher~kestrin-backup", v1, 0755);
             PutFile(folder + "/launcher.new", v2, 0644);
             return true;
         },
         standardArguments, updated, updatedFiles, 2, {}},
        {"LeftoverStagingRemoved",
         [](const std::string& folder) {
             PutFile(folder + "/launcher~kestrin-staging", "half a launch", 0600);
             return Standard(folder);
         },
         standardArguments, updated, updatedFiles, 2, {}},
        {"NewLauncherNamedLikeABackup",
         [](const std::string& folder) {
             PutFile(folder + "/launcher~kestrin-backup", v2, 0755);
             return true;
         },
         {"launcher", "launcher~kestrin-backup"}, updated, updatedFiles, 2, {}},
    };
    // A file-size limit fails the copy half way, as a full disk would.
    UpdateCase diskFull{"DiskFullWhileCopying", bigUpdate, standardArguments, moveFailed,
                        {{"launcher", "0755:v1"}, {"launcher.new", "0644:big"}}, 0, {}};
    diskFull.run.fileSizeLimit = 1 << 20;
    cases.push_back(diskFull);

    cases.push_back(AsNobody({"FolderNotWritable", Standard, standardArguments, removeFailed,
                              standardFiles, 0, {}}));
    cases.push_back(AsNobody({"NewLauncherUnreadable",
                              [&](const std::string& folder) {
                                  PutFile(folder + "/launcher", v1, 0755);
                                  PutFile(folder + "/launcher.new", v2, 0000);
                                  return ownedByNobody(folder);
                              },
                              standardArguments, moveFailed,
                              {{"launcher", "0755:v1"}, {"launcher.new", "0000:v2"}}, 0, {}}));
    // Unlinking needs a writable folder; the update is still a success.
    cases.push_back(AsNobody({"NewLauncherCannotBeRemoved",
                              [&](const std::string& folder) {
                                  fs::create_directory(folder + "/downloads");
                                  PutFile(folder + "/launcher", v1, 0755);
                                  PutFile(folder + "/downloads/launcher.new", v2, 0644);
                                  return ownedByNobody(folder);
                              },
                              {"launcher", "downloads/launcher.new"}, updated,
                              {{"launcher", "0755:v2"}, {"downloads", "dir"},
                               {"downloads/launcher.new", "0644:v2"}},
                              2, {}}));
    cases.push_back(WithOutput({"OutputPipeBroken", Standard, standardArguments, updated,
                                updatedFiles, 2, {}},
                               outputPipeBroken));
    // The launcher must not inherit the descriptors the updater was handed.
    cases.push_back(WithOutput({"OutputInheritedTwice", Standard, standardArguments, updated,
                                updatedFiles, 2, {}},
                               outputToLeakyPipe));
    cases.push_back(WithOutput({"OutputClosed", Standard, standardArguments, updated,
                                updatedFiles, 2, {}},
                               outputClosed));
    // Signals inside the replacement take effect once the new launcher is
    // fully in place; before it they act at once.
    const std::pair<const char*, int> interruptions[] = {
        {"HangUp", SIGHUP}, {"Interrupt", SIGINT}, {"Terminate", SIGTERM}};
    for (const auto& [name, number] : interruptions) {
        cases.push_back(Signalled({std::string(name) + "WhileReplacing", bigUpdate,
                                   standardArguments, updated, {{"launcher", "0755:big"}}, 0, {}},
                                  "Move", number));
    }
    cases.push_back(Signalled({"TerminateWhileWaiting", Standard, standardArguments, updated,
                               standardFiles, 0, {}},
                              "Info", SIGTERM));
    return cases;
}

class UpdateRun : public ::testing::TestWithParam<UpdateCase> {
protected:
    void TearDown() override
    {
        if (!folder.empty()) {
            RemoveScratchFolder(folder);
        }
    }
    std::string folder;
};

bool WaitForFile(const std::string& path)
{
    for (int waited = 0; waited < 50 && !fs::exists(path); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fs::exists(path);
}

TEST_P(UpdateRun, EndsAsExpected)
{
    const UpdateCase& c = GetParam();
    if (c.needsRoot && geteuid() != 0) {
        GTEST_SKIP() << "only root can run a case as an unprivileged user";
    }
    folder = MakeScratchFolder();
    if (!c.prepare(folder)) {
        GTEST_SKIP() << "this machine cannot set up the case (it needs root for a mount, or a "
                        "file system with the immutable attribute)";
    }
    RunOptions run = c.run;
    run.workingFolder = folder;
    for (const std::string& argument : c.arguments) {
        run.arguments.push_back(Replace(argument, "{dir}", folder));
    }

    const RunResult result = RunProgram(KESTRIN_PROGRAM, run);
    const bool launcherOutlivedOutput = !fs::exists(folder + "/finished.txt");

    std::string expected = ExpectedReport(c.outcome, run.arguments);
    if (run.signalNumber != 0) {
        EXPECT_EQ(result.killedBySignal, run.signalNumber);
        expected = CutAfterLineWith(expected, run.signalAfterLineWith);
    } else {
        EXPECT_EQ(result.exitStatus, ExpectedStatus(c.outcome));
    }
    if (run.output == outputToPipe || run.output == outputToLeakyPipe) {
        EXPECT_EQ(WithoutTimes(result.output), expected);
    }

    const std::string started = folder + "/started.txt";
    if (c.launchedVersion > 0) {
        ASSERT_TRUE(WaitForFile(started)) << "the launcher was not started";
        EXPECT_EQ(ReadFile(started), "version=" + std::to_string(c.launchedVersion) + "\ncwd=" +
                                         folder + "\nargs=0\nout=/dev/null\nsession=own\n");
        EXPECT_TRUE(launcherOutlivedOutput) << "the output stayed open until the launcher ended";
    } else if (c.launchedVersion == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(fs::exists(started)) << "a launcher was started";
    }

    Listing files = ListFolder(folder, contentNames);
    for (const char* marker : {"started.txt", "started.tmp", "finished.txt"}) {
        files.erase(marker);
    }
    EXPECT_EQ(files, c.filesAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateRun, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<UpdateCase>& info) { return info.param.name; });

} // namespace
