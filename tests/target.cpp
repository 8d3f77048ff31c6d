#include "target.h"

#include "expected_report.h"
#include "scratch_folder.h"

#include <cstdlib>

namespace {

std::string Environment(const char* name, const std::string& otherwise = "")
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : otherwise;
}

// The Linux stand-in reports how it was started into started.txt in its
// working folder (with the signals it was started with blocked), then keeps
// running a while, so that the test can tell
// whether the updater's output ended before it did.
std::string ShellLauncher(int version)
{
    return "#!/bin/sh\n"
           "export LC_ALL=C\n"
           "out=$(readlink /proc/$$/fd/1)\n"
           "session=$(tr '\\n' ' ' < /proc/$$/stat | sed 's/.*) //' | cut -d' ' -f4)\n"
           "if [ \"$session\" = \"$$\" ]; then session=own; else session=shared; fi\n"
           "blocked=$(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status)\n"
           "printf 'version=" +
           std::to_string(version) +
           "\\ncwd=%s\\nargs=%s\\nout=%s\\nsession=%s\\nblocked=%s\\n' \"$(pwd)\" \"$#\" \"$out\" \"$session\""
           " \"$blocked\" > started.tmp\n"
           "mv started.tmp started.txt\n"
           "sleep 3\n"
           ": > finished.txt\n";
}

} // namespace

bool TargetIsWindows()
{
    const std::string program = ProgramUnderTest();
    return program.size() > 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

std::string ProgramUnderTest()
{
    return Environment("KESTRIN_PROGRAM", KESTRIN_PROGRAM);
}

std::vector<std::string> TargetCommand(const std::string& program,
                                       const std::vector<std::string>& arguments)
{
    std::vector<std::string> command;
    if (TargetIsWindows()) {
        command = {Environment("KESTRIN_WINE", "wine"), TargetPath(program)};
    } else {
        command = {program};
    }
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::vector<std::string> TargetEnvironment(bool unprivileged)
{
    std::vector<std::string> environment;
    for (const char* name : {"PATH", "TZ", "LANG", "WINESERVER"}) {
        if (std::getenv(name) != nullptr) {
            environment.push_back(std::string(name) + "=" + std::getenv(name));
        }
    }
    if (TargetIsWindows()) {
        // Wine refuses a prefix that belongs to another user.
        const std::string prefix = unprivileged ? Environment("KESTRIN_UNPRIVILEGED_WINEPREFIX")
                                                : Environment("WINEPREFIX");
        environment.push_back("WINEPREFIX=" + prefix);
        environment.push_back("WINEDEBUG=-all");
        environment.push_back("HOME=" + (unprivileged ? prefix : Environment("HOME", "/")));
    }
    return environment;
}

std::string TargetPath(const std::string& path)
{
    if (!TargetIsWindows()) {
        return path;
    }
    return Replace(!path.empty() && path[0] == '/' ? "Z:" + path : path, "/", "\\");
}

std::vector<std::string> TargetArguments(const std::vector<std::string>& arguments,
                                         const std::string& folder)
{
    std::vector<std::string> spelled;
    for (const std::string& argument : arguments) {
        spelled.push_back(TargetPath(Replace(Replace(argument, "{null}", TargetIsWindows() ? "NUL" : "/dev/zero"),
                                             "{dir}", folder)));
    }
    return spelled;
}

std::string LauncherFile(int version, std::size_t padding)
{
    static const std::string standIn = ReadFile(Environment("KESTRIN_STAND_IN"));
    const std::string pad(padding, '#');
    return TargetIsWindows() ? standIn + pad + "\n" + std::to_string(version)
                             : ShellLauncher(version) + pad + (padding > 0 ? "\n" : "");
}

std::string StartRecord(int version, const std::string& folder)
{
    if (TargetIsWindows()) {
        return "version=" + std::to_string(version) + "\r\ncwd=" + TargetPath(folder) + "\r\nargs=0\r\n";
    }
    return "version=" + std::to_string(version) + "\ncwd=" + folder +
           "\nargs=0\nout=/dev/null\nsession=own\nblocked=0000000000000000\n";
}

std::string TargetLineEnds(const std::string& report)
{
    return TargetIsWindows() ? Replace(report, "\n", "\r\n") : report;
}
