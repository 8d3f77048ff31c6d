#include "run_program.h"

#include "scratch_folder.h"
#include "target.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Only what is safe between fork and exec happens here: the command and its
// environment were made before the fork.
[[noreturn]] void Become(char* const* command, char* const* environment, const RunOptions& options,
                         int outputPipe)
{
    if (options.output == outputClosed) {
        close(1);
    } else {
        dup2(outputPipe, 1);
    }
    if (options.output == outputToLeakyPipe) {
        dup2(outputPipe, 5);
    }
    // A test runner started in the background may ignore these; the program
    // must meet them as a user's terminal would send them.
    for (const int interruption : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
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
    execve(command[0], command, environment);
    execvpe(command[0], command, environment);
    _exit(127);
}

// Keeps a console stalled: fills the pipe through a second write end until
// the program's next line cannot go in, waits, lets the check run, and then
// lets the reader drain it. The filler bytes are NULs, dropped from the output.
void Stall(int writeEnd, const RunOptions& options)
{
    // An end of its own, so that only the filling does not block.
    const int filling = open(("/proc/self/fd/" + std::to_string(writeEnd)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const std::string filler(4096, '\0');
    while (write(filling, filler.data(), filler.size()) > 0) {
    }
    while (write(filling, filler.data(), 1) > 0) {
    }
    close(filling);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    options.whileStalled();
}

} // namespace

RunResult RunProgram(const RunOptions& options)
{
    std::string program = ProgramUnderTest();
    std::string reachableCopy;
    if (options.asUnprivilegedUser) {
        // The build folder may be out of an unprivileged user's reach (a
        // checkout under /root, say), so such a user runs a copy from a
        // folder anyone can enter.
        reachableCopy = MakeScratchFolder();
        program = reachableCopy + "/" + std::filesystem::path(program).filename().string();
        std::filesystem::copy_file(ProgramUnderTest(), program);
    }
    std::vector<std::string> command = TargetCommand(program, options.arguments);
    std::vector<std::string> environment = TargetEnvironment(options.asUnprivilegedUser);
    const std::vector<char*> commandPointers = Pointers(command);
    const std::vector<char*> environmentPointers = Pointers(environment);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        std::abort();
    }
    if (options.whileStalled) {
        fcntl(ends[1], F_SETPIPE_SZ, 4096);
    }
    const pid_t child = fork();
    if (child == 0) {
        Become(commandPointers.data(), environmentPointers.data(), options, ends[1]);
    }
    int fillEnd = options.whileStalled ? ends[1] : -1;
    if (fillEnd < 0) {
        close(ends[1]);
    }

    RunResult result;
    if (options.output == outputPipeBroken) {
        close(ends[0]);
    } else {
        bool acted = options.actAfterLineWith.empty();
        char chunk[4096];
        ssize_t got;
        while ((got = read(ends[0], chunk, sizeof chunk)) > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                if (chunk[i] != '\0') {
                    result.output += chunk[i];
                }
            }
            const auto at = result.output.find(options.actAfterLineWith);
            if (!acted && at != std::string::npos && result.output.find('\n', at) != std::string::npos) {
                acted = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(options.actAfterMilliseconds));
                if (options.signalNumber != 0) {
                    kill(child, options.signalNumber);
                } else if (fillEnd >= 0) {
                    Stall(fillEnd, options);
                }
            }
            if (acted && fillEnd >= 0) {
                close(fillEnd);
                fillEnd = -1;
            }
        }
        close(ends[0]);
    }
    if (fillEnd >= 0) {
        close(fillEnd);
    }

    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.killedBySignal = WTERMSIG(status);
    }
    if (!reachableCopy.empty()) {
        RemoveScratchFolder(reachableCopy);
    }
    return result;
}

pid_t StartInBackground(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& folder)
{
    RunOptions options;
    options.workingFolder = folder;
    options.output = outputClosed;
    std::vector<std::string> command = TargetCommand(program, arguments);
    std::vector<std::string> environment = TargetEnvironment(false);
    const std::vector<char*> commandPointers = Pointers(command);
    const std::vector<char*> environmentPointers = Pointers(environment);
    const pid_t child = fork();
    if (child == 0) {
        Become(commandPointers.data(), environmentPointers.data(), options, -1);
    }
    return child;
}
