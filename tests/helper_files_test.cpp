// The names of the run's helper files, and which paths can name a launcher.

#include "helper_files.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NameCase {
    const char* name;
    std::string oldFile;
    std::string newFile;
    std::string role;
    std::string expected; // "" where only the rules below are checked
};

void PrintTo(const NameCase& c, std::ostream* out)
{
    *out << c.name;
}

const std::string longName(LongestNameBeside("launcher") - 4, 'n');
// 'é' is two bytes: the cut, where "~<16 hex digits>~kestrin-backup"
// (32 bytes) begins, would fall inside one.
std::string Accented()
{
    std::string name(LongestNameBeside("launcher") - 32 - 1, 'a');
    for (int i = 0; i < 20; ++i) {
        name += "\xc3\xa9";
    }
    return name;
}
const std::string accented = Accented();

class HelperName : public ::testing::TestWithParam<NameCase> {};

TEST_P(HelperName, FollowsTheRules)
{
    const NameCase& c = GetParam();
    const std::string helper = HelperFile(c.oldFile, c.newFile, c.role);
    if (!c.expected.empty()) {
        EXPECT_EQ(helper, c.expected);
    }
    // Beside the launcher, never the download, ending in its role, short
    // enough to be made, and cut between characters.
    const std::size_t nameStart = c.oldFile.find_last_of('/') + 1;
    EXPECT_EQ(helper.compare(0, nameStart, c.oldFile, 0, nameStart), 0) << helper;
    EXPECT_NE(helper, c.newFile);
    EXPECT_NE(helper.find("~kestrin-" + c.role), std::string::npos) << helper;
    EXPECT_LE(helper.size() - nameStart, LongestNameBeside(c.oldFile)) << helper;
    EXPECT_NE(static_cast<unsigned char>(helper[helper.find("~kestrin-")]) & 0xC0, 0x80);
    const std::size_t cut = helper.rfind('~', helper.find("~kestrin-") - 1);
    if (helper.size() - nameStart > 9 && cut != std::string::npos && cut > nameStart) {
        EXPECT_NE(static_cast<unsigned char>(helper[cut - 1]) & 0xC0, 0xC0) << "cut inside a character";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, HelperName,
    ::testing::Values(NameCase{"Plain", "launcher", "launcher.new", "backup", "launcher~kestrin-backup"},
                      NameCase{"InAFolder", "app/launcher.exe", "dl/x", "staging", "app/launcher.exe~kestrin-staging"},
                      // A download that bears the helper's name is never touched.
                      NameCase{"DownloadHasTheName", "launcher", "launcher~kestrin-staging", "staging",
                               "launcher~kestrin-staging2"},
                      NameCase{"LongestNameHashed", longName, "launcher.new", "backup", ""},
                      NameCase{"CutBetweenCharacters", accented, "launcher.new", "backup", ""},
                      NameCase{"ProbeBesideTheDownload", "dl/launcher.new", "app/launcher", "probe",
                               "dl/launcher.new~kestrin-probe"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

// Two long names that differ only at their end get different helpers.
TEST(HelperNameHash, KeepsLongNamesApart)
{
    const std::string other = longName.substr(0, longName.size() - 1) + "m";
    EXPECT_NE(HelperFile(longName, "x", "backup"), HelperFile(other, "x", "backup"));
}

TEST(LauncherPath, NamesAFileOnlyWhereItCan)
{
    const std::pair<std::string, bool> rows[] = {
        {"", false}, {"sub/", false}, {".", false}, {"..", false}, {"sub/..", false},
        {"a/.", false}, {"launcher", true}, {"sub/launcher", true}, {".launcher", true}, {"...", true}};
    for (const auto& [path, names] : rows) {
        EXPECT_EQ(NamesAFile(path), names) << '"' << path << '"';
    }
}

} // namespace
