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
#include <sys/ioctl.h>
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

} // namespace

RunResult RunProgram(const RunOptions& options)
{
    const std::string chosen = options.program.empty() ? ProgramUnderTest() : options.program;
    std::string program = chosen;
    std::string reachableCopy;
    if (options.asUnprivilegedUser) {
        // The build folder may be out of an unprivileged user's reach (a
        // checkout under /root, say), so such a user runs a copy from a
        // folder anyone can enter.
        reachableCopy = MakeScratchFolder();
        program = reachableCopy + "/" + std::filesystem::path(program).filename().string();
        std::filesystem::copy_file(chosen, program);
    }
    std::vector<std::string> command = options.wrapper;
    for (const std::string& part : TargetCommand(program, options.arguments)) {
        command.push_back(part);
    }
    std::vector<std::string> environment = TargetEnvironment(options.asUnprivilegedUser);
    if (!options.wrapper.empty()) {
        // LeakSanitizer cannot run under a tracer.
        environment.push_back("ASAN_OPTIONS=detect_leaks=0");
    }
    const std::vector<char*> commandPointers = Pointers(command);
    const std::vector<char*> environmentPointers = Pointers(environment);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        std::abort();
    }
    // A stalling console is a pipe of one page, most of it filled before the
    // program starts: its lines are taken in one after another while they
    // fit in the rest of the page, and the first that does not blocks.
    const int page = 4096;
    if (options.whileStalled &&
        (fcntl(ends[1], F_SETPIPE_SZ, page) != page || options.stalledAfterBytes >= page ||
         write(ends[1], std::string(page - options.stalledAfterBytes, '\0').data(),
               page - options.stalledAfterBytes) <= 0)) {
        std::abort();
    }
    const pid_t child = fork();
    if (child == 0) {
        Become(commandPointers.data(), environmentPointers.data(), options, ends[1]);
    }
    close(ends[1]);

    RunResult result;
    if (options.output == outputPipeBroken) {
        close(ends[0]);
    } else {
        if (options.whileStalled) {
            // Once the page is full, the program waits on its next line.
            int inPipe = 0;
            for (int waited = 0; waited < 1000 && ioctl(ends[0], FIONREAD, &inPipe) == 0 && inPipe < page; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            options.whileStalled();
            if (options.signalNumber != 0) {
                kill(child, options.signalNumber);
            }
        }
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
                } else if (options.whileRunning) {
                    options.whileRunning();
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
