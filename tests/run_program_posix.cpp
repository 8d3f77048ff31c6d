#include "run_program.h"

#include "scratch_folder.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void BecomeProgram(const std::string& program, const RunOptions& options,
                                int outputPipe)
{
    if (options.output == outputClosed) {
        close(1);
    } else {
        dup2(outputPipe, 1);
    }
    if (options.output != outputToLeakyPipe) {
        close(outputPipe);
    }
    // A test runner started in the background may ignore these; the program
    // must meet them as a user's terminal would send them.
    for (const int interruption : {SIGHUP, SIGINT, SIGTERM}) {
        std::signal(interruption, SIG_DFL);
    }
    if (chdir(options.workingFolder.c_str()) != 0) {
        _exit(126);
    }
    if (options.fileSizeLimit >= 0) {
        const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                           static_cast<rlim_t>(options.fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.asUnprivilegedUser &&
        (setgroups(0, nullptr) != 0 || setgid(unprivilegedId) != 0 ||
         setuid(unprivilegedId) != 0)) {
        _exit(126);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

// The build folder may be out of an unprivileged user's reach (a checkout
// under /root, say), so such a user runs a copy from a folder anyone can enter.
std::string ReachableCopyOf(const std::string& program)
{
    const std::filesystem::path copy =
        std::filesystem::path(MakeScratchFolder()) / std::filesystem::path(program).filename();
    std::filesystem::copy_file(program, copy);
    return copy.string();
}

RunResult Run(const std::string& program, const RunOptions& options)
{
    int ends[2];
    if (pipe(ends) != 0) {
        std::abort();
    }
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        BecomeProgram(program, options, ends[1]);
    }
    close(ends[1]);

    RunResult result;
    if (options.output == outputPipeBroken) {
        close(ends[0]);
    } else {
        bool signalled = false;
        char chunk[4096];
        ssize_t got;
        while ((got = read(ends[0], chunk, sizeof chunk)) > 0) {
            result.output.append(chunk, static_cast<size_t>(got));
            if (!signalled && options.signalNumber != 0) {
                const auto at = result.output.find(options.signalAfterLineWith);
                if (at != std::string::npos && result.output.find('\n', at) != std::string::npos) {
                    kill(child, options.signalNumber);
                    signalled = true;
                }
            }
        }
        close(ends[0]);
    }

    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.killedBySignal = WTERMSIG(status);
    }
    return result;
}

} // namespace

RunResult RunProgram(const std::string& program, const RunOptions& options)
{
    if (!options.asUnprivilegedUser) {
        return Run(program, options);
    }
    const std::string copy = ReachableCopyOf(program);
    const RunResult result = Run(copy, options);
    RemoveScratchFolder(std::filesystem::path(copy).parent_path().string());
    return result;
}
