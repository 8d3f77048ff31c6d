#include "expected_report.h"

#include "kestrin_version.h"

#include <regex>

namespace {

const std::string rule = "=============================================\n";
const std::string banner = rule + "        >> Launcher Kestrin v" KESTRIN_VERSION_TEXT " <<\n" + rule + "\n";

} // namespace

int ExpectedStatus(Outcome outcome)
{
    if (outcome == updated || outcome == installed) {
        return 0;
    }
    return outcome == usageError ? 1 : outcome == removeFailed || outcome == moveFailed || outcome == downloadKept ? 2 : 3;
}

std::string ExpectedReport(Outcome outcome, const std::vector<std::string>& arguments, const std::string& refusal)
{
    if (outcome == usageError) {
        return banner + "[TIME] Error           : Usage: Kestrin.exe <oldfile> <newfile>\n";
    }
    const std::string& oldFile = arguments[0];
    const std::string& newFile = arguments[1];
    std::string report = banner + "[TIME] Info            : Waiting for launcher to close...\n" +
                         "[TIME] Delete          : Trying to remove old launcher: " + oldFile + "\n";
    if (outcome == removeFailed) {
        return report + "[TIME] Error           : Failed to remove old launcher!\n";
    }
    const std::string move = "[TIME] Move            : Renaming " + newFile + " -> " + oldFile + "\n";
    // A new launcher that could not be staged leaves the old one untouched.
    if (outcome == moveFailed) {
        const std::string why = refusal.empty() ? "" : "[TIME] Error           : " + refusal + "\n";
        return report + move + why + "[TIME] Error           : Failed to move new launcher!\n";
    }
    report += (outcome == installed ? "" : "[TIME] Success         : Old launcher removed.\n") + move;
    if (outcome == downloadKept) {
        return report + "[TIME] Error           : Failed to remove new launcher! It is still there: " + newFile + "\n" +
               "[TIME] Move            : Old launcher put back: " + oldFile + "\n";
    }
    report += "[TIME] Success         : New launcher renamed successfully.\n"
              "[TIME] Done            : Update finished successfully!\n\n" + rule +
              "[TIME] Run             : Starting " + oldFile + "\n";
    if (outcome == updated || outcome == installed) {
        return report;
    }
    report += "[TIME] Error           : Failed to start new launcher!\n";
    if (outcome == notPutBack) {
        return report + "[TIME] Error           : Failed to put back old launcher! The old launcher is " + oldFile +
               "~kestrin-backup\n";
    }
    if (outcome == notStarted) {
        return report;
    }
    report += "[TIME] Move            : Old launcher put back: " + oldFile + "\n";
    return outcome == rolledBackNotStarted ? report + "[TIME] Error           : Failed to start old launcher!\n" : report;
}

std::string CutAfterLineWith(const std::string& report, const std::string& text)
{
    return report.substr(0, report.find('\n', report.find(text)) + 1);
}

std::string WithoutTimes(const std::string& output)
{
    static const std::regex timestamp(
        R"(\[[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\] )");
    return std::regex_replace(output, timestamp, "[TIME] ");
}

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}
