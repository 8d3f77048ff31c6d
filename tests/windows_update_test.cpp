// End-to-end runs of Kestrin.exe in scratch folders, on Windows or under
// Wine: what it writes, what the files hold afterwards, how it ends, and
// what it starts.

#include "expected_report.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

namespace fs = std::filesystem;

// CMake names the built files by their Unix paths when cross-compiling;
// Wine shows the Unix root as drive Z:.
std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

const std::string kestrin = WindowsPath(KESTRIN_PROGRAM);

std::string ReadFile(const fs::path& path)
{
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

void PutFile(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Two versions of the stand-in launcher, told apart by what follows their
// last newline.
const std::string standIn = ReadFile(WindowsPath(STAND_IN_LAUNCHER));
const std::string v1 = standIn + "\n1";
const std::string v2 = standIn + "\n2";

using Listing = std::map<std::string, std::string>;

// Every entry below folder: "v1", "v2" or the content of a file, with
// " read-only" where it has that attribute, or "dir".
Listing ListFolder(const fs::path& folder)
{
    Listing listing;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).u8string();
        if (name == "started.txt" || name == "started.tmp" || name == "finished.txt" ||
            name == "running.txt") {
            continue;
        }
        if (entry.is_directory()) {
            listing[name] = "dir";
            continue;
        }
        const std::string content = ReadFile(entry.path());
        std::string& description = listing[name];
        description = content == v1 ? "v1" : content == v2 ? "v2" : content;
        if (GetFileAttributesW(entry.path().c_str()) & FILE_ATTRIBUTE_READONLY) {
            description += " read-only";
        }
    }
    return listing;
}

struct WindowsCase {
    std::string name;
    std::function<void(const fs::path& folder)> prepare;
    std::vector<std::string> arguments; // "{dir}" stands for the folder
    Outcome outcome;
    Listing filesAfter;
    int launchedVersion; // 0 for none
    bool launcherStillRunning = false;
};

void PrintTo(const WindowsCase& c, std::ostream* out)
{
    *out << c.name;
}

void Standard(const fs::path& folder)
{
    PutFile(folder / "launcher.exe", v1);
    PutFile(folder / "launcher.new", v2);
}

std::vector<WindowsCase> AllCases()
{
    const std::vector<std::string> standardArguments{"launcher.exe", "launcher.new"};
    const Listing standardFiles{{"launcher.exe", "v1"}, {"launcher.new", "v2"}};
    const Listing updatedFiles{{"launcher.exe", "v2"}};
    const Listing oldKept{{"launcher.exe", "v1"}};
    const auto onlyOld = [](const fs::path& folder) { PutFile(folder / "launcher.exe", v1); };

    std::vector<WindowsCase> cases{
        {"Succeeds", Standard, standardArguments, updated, updatedFiles, 2},
        {"UsageWithoutArguments", Standard, {}, usageError, standardFiles, 0},
        {"UsageWithOneArgument", Standard, {"launcher.exe"}, usageError, standardFiles, 0},
        {"ExtraArgumentsIgnored", Standard, {"launcher.exe", "launcher.new", "launcher.new", "/S"},
         updated, updatedFiles, 2},
        {"SpacesParenthesesAndAmpersand",
         [](const fs::path& folder) {
             const fs::path program = folder / "Program Files (x86)" / "My & Co";
             fs::create_directories(program);
             PutFile(program / "launcher.exe", v1);
             PutFile(program / "launcher (new).exe", v2);
         },
         {"{dir}\\Program Files (x86)\\My & Co\\launcher.exe",
          "{dir}\\Program Files (x86)\\My & Co\\launcher (new).exe"},
         updated,
         {{"Program Files (x86)", "dir"},
          {"Program Files (x86)\\My & Co", "dir"},
          {"Program Files (x86)\\My & Co\\launcher.exe", "v2"}},
         2},
        {"RelativePathsThroughAParent",
         [](const fs::path& folder) {
             Standard(folder);
             fs::create_directory(folder / "sub");
         },
         {"sub\\..\\launcher.exe", ".\\launcher.new"}, updated,
         {{"launcher.exe", "v2"}, {"sub", "dir"}}, 2},
        {"OldLauncherMissing", [](const fs::path& folder) { PutFile(folder / "launcher.new", v2); },
         standardArguments, updated, updatedFiles, 2},
        {"ReadOnlyLauncherStaysReadOnly",
         [](const fs::path& folder) {
             Standard(folder);
             SetFileAttributesA((folder / "launcher.exe").string().c_str(), FILE_ATTRIBUTE_READONLY);
         },
         standardArguments, updated, {{"launcher.exe", "v2 read-only"}}, 2},
        {"LeftoverBackupPutBackFirst",
         [](const fs::path& folder) {
             PutFile(folder / "launcher.exe~kestrin-backup", v1);
             PutFile(folder / "launcher.new", v2);
         },
         standardArguments, updated, updatedFiles, 2},
        // Paths no single-byte code page holds: the program declares UTF-8 as
        // its code page, so its arguments and file calls carry them whole.
        {"PathsBeyondTheCodePage",
         [](const fs::path& folder) {
             const fs::path home = folder / fs::u8path(u8"J\u00fcrgen \u042e\u0440\u0438\u0439");
             fs::create_directory(home);
             PutFile(home / "launcher.exe", v1);
             PutFile(home / fs::u8path(u8"\u65b0\u7248.exe"), v2);
         },
         {u8"{dir}\\J\u00fcrgen \u042e\u0440\u0438\u0439\\launcher.exe",
          u8"{dir}\\J\u00fcrgen \u042e\u0440\u0438\u0439\\\u65b0\u7248.exe"},
         updated,
         {{u8"J\u00fcrgen \u042e\u0440\u0438\u0439", "dir"},
          {u8"J\u00fcrgen \u042e\u0440\u0438\u0439\\launcher.exe", "v2"}},
         2},
        {"NewLauncherMissing", onlyOld, standardArguments, moveFailed, oldKept, 0},
        {"NewLauncherIsAFolder",
         [&](const fs::path& folder) {
             onlyOld(folder);
             fs::create_directory(folder / "launcher.new");
         },
         standardArguments, moveFailed, {{"launcher.exe", "v1"}, {"launcher.new", "dir"}}, 0},
        {"NewLauncherIsADevice", onlyOld, {"launcher.exe", "NUL"}, moveFailed, oldKept, 0},
        {"SameFileTwice", onlyOld, {"launcher.exe", "launcher.exe"}, moveFailed, oldKept, 0},
        {"OldLauncherIsAFolder",
         [](const fs::path& folder) {
             fs::create_directory(folder / "launcher.exe");
             PutFile(folder / "launcher.new", v2);
         },
         standardArguments, removeFailed, {{"launcher.exe", "dir"}, {"launcher.new", "v2"}}, 0},
    };
    WindowsCase running{"LauncherStillRunning", Standard, standardArguments, removeFailed,
                        standardFiles, 0};
    running.launcherStillRunning = true;
    cases.push_back(running);
    return cases;
}

bool WaitForFile(const fs::path& path)
{
    for (int waited = 0; waited < 100 && !fs::exists(path); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fs::exists(path);
}

// Starts the old launcher so that it is still running when the update
// begins; returns its process.
HANDLE StartLingeringLauncher(const fs::path& folder)
{
    std::string commandLine = "\"" + (folder / "launcher.exe").string() + "\" 6000";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        folder.string().c_str(), &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

class WindowsUpdateRun : public ::testing::TestWithParam<WindowsCase> {
protected:
    void SetUp() override
    {
        std::random_device random;
        folder = fs::temp_directory_path() / ("kestrin test " + std::to_string(random()));
        fs::create_directory(folder);
    }
    void TearDown() override
    {
        // A launcher that still runs holds its file.
        if (launcher != nullptr) {
            WaitForSingleObject(launcher, INFINITE);
            CloseHandle(launcher);
        }
        if (fs::exists(folder / "started.txt")) {
            WaitForFile(folder / "finished.txt");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    fs::path folder;
    HANDLE launcher = nullptr;
};

TEST_P(WindowsUpdateRun, EndsAsExpected)
{
    const WindowsCase& c = GetParam();
    c.prepare(folder);
    if (c.launcherStillRunning) {
        launcher = StartLingeringLauncher(folder);
        ASSERT_NE(launcher, nullptr);
        ASSERT_TRUE(WaitForFile(folder / "running.txt"));
    }
    RunOptions run;
    run.workingFolder = folder.u8string();
    for (const std::string& argument : c.arguments) {
        run.arguments.push_back(Replace(argument, "{dir}", folder.u8string()));
    }

    const RunResult result = RunProgram(kestrin, run);
    const bool launcherOutlivedOutput = !fs::exists(folder / "finished.txt");

    EXPECT_EQ(result.exitStatus, ExpectedStatus(c.outcome));
    // The console stream is in text mode: every line ends in CR LF.
    EXPECT_EQ(WithoutTimes(result.output),
              Replace(ExpectedReport(c.outcome, run.arguments), "\n", "\r\n"));

    const fs::path started = folder / "started.txt";
    if (c.launchedVersion > 0) {
        ASSERT_TRUE(WaitForFile(started)) << "the launcher was not started";
        EXPECT_EQ(ReadFile(started), "version=" + std::to_string(c.launchedVersion) +
                                         "\r\ncwd=" + folder.string() + "\r\nargs=0\r\n");
        EXPECT_TRUE(launcherOutlivedOutput) << "the output stayed open until the launcher ended";
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_FALSE(fs::exists(started)) << "a launcher was started";
    }
    EXPECT_EQ(ListFolder(folder), c.filesAfter);
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowsUpdateRun, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<WindowsCase>& info) { return info.param.name; });

} // namespace
