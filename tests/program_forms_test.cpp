// Each program that ProgramFile makes to start and then fail, run directly
// as the updater would start it: the end-to-end rows that watch a new
// launcher rely on these programs ending the way their forms promise.

#include "run_program.h"
#include "scratch_folder.h"
#include "target.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>

#include <sys/wait.h>
#include <unistd.h>

namespace {

enum FormSystems { linuxOnly, windowsOnly, bothSystems };

struct FormCase {
    std::string name;
    std::string form;
    FormSystems on;
    // How it ends as seen from Linux: Wine passes on the low byte of a
    // Windows exit code (5 for an access violation, 0xC0000005).
    int exitStatus;
    int killedBySignal;
    std::string errorsHold; // what the system wrote of the failure
    int startedVersion;     // what started.txt records; 0 for no record
    bool onlyForAShell = false; // the kernel will not run it (ENOEXEC)
};

const std::vector<FormCase> formCases = {
    {"Library", "library", linuxOnly, -1, SIGSEGV, "", 0},
    {"NeedsMissingLibrary", "needs missing library", linuxOnly, 127, 0,
     "error while loading shared libraries: libkestrin_test_library.so", 0},
    {"CrashAtStart", "crash at start", linuxOnly, -1, SIGILL, "", 0},
#if !defined(__SANITIZE_ADDRESS__)
    // Not run from the sanitizers' build: their runtime, itself half zeros,
    // hangs on the fault. (The update refuses the file before it runs.)
    {"TailNeverWritten", "tail never written", linuxOnly, -1, SIGSEGV, "", 0},
#endif
    {"CrlfScript", "crlf script", linuxOnly, 127, 0, "sh\\r", 0}, // the CR spelled out
    {"ScriptWithoutInterpreter1", "script without #! 1", linuxOnly, 0, 0, "", 1, true},
    {"ScriptWithoutInterpreter2", "script without #! 2", linuxOnly, 0, 0, "", 2, true},
    {"WindowsCrashAtStart", "crash at start", windowsOnly, 5, 0, "Unhandled page fault on execute access", 0},
    {"WindowsTailNeverWritten", "tail never written", windowsOnly, 5, 0, "Unhandled page fault", 0},
    {"ExitsZeroAtOnce", "exits 0 at once", bothSystems, 0, 0, "", exitsAtOnce},
    {"ExitsOneAtOnce", "exits 1 at once", bothSystems, 1, 0, "", exitsAtOnce + 1},
};

void PrintTo(const FormCase& c, std::ostream* out)
{
    *out << c.name;
}

// Why the kernel itself would not run the program in folder: the error of
// execve, or 0 where it did (and then how it ended).
int KernelRefusal(const std::string& program, const std::string& folder)
{
    const pid_t child = fork();
    if (child == 0) {
        char* const arguments[] = {const_cast<char*>(program.c_str()), nullptr};
        char* const environment[] = {nullptr};
        if (chdir(folder.c_str()) == 0) {
            execve(program.c_str(), arguments, environment);
        }
        _exit(errno);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

class FormRun : public ::testing::TestWithParam<FormCase> {};

TEST_P(FormRun, EndsAsItsFormSays)
{
    const FormCase& c = GetParam();
    if (c.on != bothSystems && (c.on == windowsOnly) != TargetIsWindows()) {
        GTEST_SKIP() << "a form of the other system";
    }
    const std::string folder = MakeScratchFolder();
    RunOptions run;
    run.workingFolder = folder;
    run.program = folder + "/launcher.exe";
    PutFile(run.program, ProgramFile(c.form), 0755);
    // What the loader, the shell or Wine writes of the failure goes to
    // standard error; the shell hands it to the output that is read.
    run.wrapper = {"sh", "-c", "exec \"$@\" 2>&1", "sh"};
    const RunResult result = RunProgram(run);

    EXPECT_EQ(result.exitStatus, c.exitStatus) << result.output;
    EXPECT_EQ(result.killedBySignal, c.killedBySignal) << result.output;
    EXPECT_NE(result.output.find(c.errorsHold), std::string::npos) << result.output;
    // Wine's debugger, where one is set up, holds a program that faults for
    // seconds and writes out its state.
    EXPECT_EQ(result.output.find("Backtrace:"), std::string::npos) << "a debugger attached";
    const std::string started = folder + "/started.txt";
    if (c.startedVersion == 0) {
        EXPECT_FALSE(std::filesystem::exists(started));
    } else {
        // The Linux stand-in also records how it was started, which is not
        // how the updater starts it.
        const std::string expected = StartRecord(c.startedVersion, folder);
        const std::string record = ReadFile(started);
        EXPECT_EQ(TargetIsWindows() ? record : FirstLine(record), TargetIsWindows() ? expected : FirstLine(expected));
        // Ended before its time as a stand-in was up, or kept running on.
        EXPECT_NE(std::filesystem::exists(folder + "/finished.txt"), c.form.find("at once") != std::string::npos);
    }
    if (c.onlyForAShell) {
        EXPECT_EQ(KernelRefusal(run.program, folder), ENOEXEC);
    }
    RemoveScratchFolder(folder);
}

INSTANTIATE_TEST_SUITE_P(ProgramForms, FormRun, ::testing::ValuesIn(formCases),
                         [](const ::testing::TestParamInfo<FormCase>& info) { return info.param.name; });

} // namespace
