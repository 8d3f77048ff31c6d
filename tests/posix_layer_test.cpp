// The ground of the Linux platform layer, below what the end-to-end table
// sees: where names are resolved while the lock holds the launcher's folder
// (places), and which helper files a stop removes (stops).

#include "layer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string MakeFolder()
{
    char name[] = "/tmp/kestrin layer.XXXXXX";
    if (mkdtemp(name) == nullptr) {
        std::abort();
    }
    return name;
}

void Touch(const std::string& path)
{
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0) << path;
    close(file);
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Each row locks a real folder under the name oldFile gives it (a folder
// name that does not exist where the test runs): a path resolved against
// the descriptor finds the file made there, one resolved as it is does not.
TEST(Places, NamesBesideTheLockedLauncherAreResolvedInItsFolder)
{
    const struct {
        const char* oldFile; // nullptr: no folder locked
        const char* path;
        const char* name;    // resolved in the locked folder as this, or nullptr
    } rows[] = {
        {"gone/launcher", "gone/launcher~kestrin-backup", "launcher~kestrin-backup"},
        {"gone/launcher", "gone/launcher", "launcher"},
        {"gone/launcher", "gone/", nullptr},
        {"gone/launcher", "gone/sub/launcher", nullptr},
        {"gone/launcher", "other/launcher", nullptr},
        {"gone/launcher", "gonex/launcher", nullptr},
        {"gone/launcher", "launcher", nullptr},
        {"/gone/launcher", "/gone/launcher.new", "launcher.new"},
        {"launcher", "launcher.new", "launcher.new"},
        {"launcher", "sub/launcher.new", nullptr},
        {nullptr, "gone/launcher", nullptr},
    };
    const std::string folder = MakeFolder();
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    for (const auto& row : rows) {
        if (row.oldFile != nullptr) {
            SetLockedFolder(descriptor, row.oldFile);
        }
        const std::string path = row.path;
        const Place place = At(path);
        if (row.name != nullptr) {
            EXPECT_EQ(place.folder, descriptor) << row.path;
            EXPECT_EQ(place.name, path.c_str() + (path.size() - std::string(row.name).size())) << row.path;
            Touch(folder + "/" + row.name);
        } else {
            EXPECT_EQ(place.folder, AT_FDCWD) << row.path;
            EXPECT_EQ(place.name, path.c_str()) << row.path;
        }
        struct stat info;
        EXPECT_EQ(Status(path, info, false), row.name != nullptr) << row.path;
        ClearLockedFolder();
        EXPECT_EQ(LockedFolder(), -1);
        EXPECT_EQ(At(path).folder, AT_FDCWD) << row.path;
    }
    close(descriptor);
    ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
}

// Each row registers helper files ("+name") and forgets some ("-name"), in
// its order, and is then stopped by SIGTERM in a process of its own: the
// files still registered are gone, the others stay. The names are resolved
// as under the lock: "locked/" is the locked folder.
TEST(Stops, AStopRemovesTheHelperFilesStillRegistered)
{
    const struct {
        const char* rowName;
        std::vector<std::string> steps;
        bool heldFirst; // the stop is held, and acts only once released
        std::vector<std::string> stay;
    } rows[] = {
        {"none", {}, false, {"staging", "spare", "other"}},
        {"staging", {"+staging"}, false, {"spare", "other"}},
        {"both", {"+staging", "+spare"}, false, {"other"}},
        {"staging forgotten", {"+staging", "+spare", "-staging"}, false, {"staging", "other"}},
        {"registered twice, forgotten once", {"+staging", "+staging", "-staging"}, false, {"staging", "spare", "other"}},
        {"a third after two", {"+staging", "+spare", "+other"}, false, {"other"}},
        {"a slot freed", {"+staging", "+spare", "-staging", "+other"}, false, {"staging"}},
        {"held, then released", {"+spare"}, true, {"staging", "other", "held past"}},
    };
    const std::string folder = MakeFolder();
    for (const auto& row : rows) {
        for (const char* name : {"staging", "spare", "other"}) {
            Touch(folder + "/" + name);
        }
        EXPECT_EXIT(
            {
                SurviveFailedWrites();
                SetLockedFolder(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "locked/launcher");
                // Registered names must live until the process ends, and
                // these do: the vector is never freed nor grows.
                auto* const names = new std::vector<std::string>();
                names->reserve(row.steps.size());
                for (const std::string& step : row.steps) {
                    names->push_back("locked/" + step.substr(1));
                    if (step[0] == '+') {
                        RemoveOnStop(names->back());
                    } else {
                        ForgetOnStop(names->back());
                    }
                }
                if (row.heldFirst) {
                    HoldStopRequests();
                }
                kill(getpid(), SIGTERM);
                StopIfRequested();
                if (row.heldFirst) {
                    Touch(folder + "/held past");
                    ReleaseStopRequests();
                    StopIfRequested();
                }
                std::exit(0);
            },
            ::testing::KilledBySignal(SIGTERM), "")
            << row.rowName;
        for (const char* name : {"staging", "spare", "other", "held past"}) {
            bool stays = false;
            for (const std::string& kept : row.stay) {
                stays = stays || kept == name;
            }
            EXPECT_EQ(Exists(folder + "/" + name), stays) << row.rowName << ": " << name;
        }
        ASSERT_EQ(std::system(("rm -f '" + folder + "'/*").c_str()), 0);
    }
    ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
}

} // namespace
