// The console log line and its timestamp.

#include "log.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>

namespace {

const std::regex timestampForm(
    "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

std::string CaptureLog(const std::string& tag, const std::string& message)
{
    std::ostringstream captured;
    std::streambuf* const console = std::cout.rdbuf(captured.rdbuf());
    Log(tag, message);
    std::cout.rdbuf(console);
    return captured.str();
}

TEST(LogLine, PadsTheTagToFifteenColumnsAndNeverCutsIt)
{
    const struct {
        std::string tag;
        std::string message;
        std::string afterTimestamp;
    } cases[] = {
        {"Info", "Waiting for launcher to close...",
         "Info            : Waiting for launcher to close...\n"},
        {"FifteenCharsTag", "m", "FifteenCharsTag : m\n"},
        {"SixteenCharsTag!", "m", "SixteenCharsTag! : m\n"},
        {"", "empty tag", "                : empty tag\n"},
        {"Done", "", "Done            : \n"},
    };
    for (const auto& c : cases) {
        const std::string line = CaptureLog(c.tag, c.message);
        ASSERT_GE(line.size(), 27u) << line;
        EXPECT_EQ(line.substr(0, 1), "[");
        EXPECT_TRUE(std::regex_match(line.substr(1, 24), timestampForm)) << line;
        EXPECT_EQ(line.substr(25), "] " + c.afterTimestamp);
    }
}

TEST(LogLine, MessageStartsAtColumnFortySix)
{
    const std::string line = CaptureLog("Success", "Old launcher removed.");
    EXPECT_EQ(line.find("Old launcher removed."), 45u) << line;
}

// Zones written so that both the C library and the Windows runtime read them.
class FixedTimeZone : public ::testing::Test {
protected:
    void TearDown() override { Use(""); }
    static void Use(const char* zone)
    {
#ifdef _WIN32
        _putenv_s("TZ", zone);
        _tzset();
#else
        if (*zone != '\0') {
            setenv("TZ", zone, 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
#endif
    }
};

TEST_F(FixedTimeZone, TimestampIsLocalTimeWithATwoDigitDay)
{
    const struct {
        const char* zone;
        std::int64_t timeNow;
        const char* text;
    } cases[] = {
        {"UTC0", 1796612671, "Mon Dec 07 03:04:31 2026"},
        {"IST-5:30", 1796612671, "Mon Dec 07 08:34:31 2026"},
        {"HST10", 1796612671, "Sun Dec 06 17:04:31 2026"},
        {"UTC0", 951868799, "Tue Feb 29 23:59:59 2000"},
        {"UTC0", 1000000000, "Sun Sep 09 01:46:40 2001"},
        // Too far out for the calendar: a placeholder of the same width.
        {"UTC0", INT64_MAX, "??? ??? ?? ??:??:?? ????"},
    };
    for (const auto& c : cases) {
        Use(c.zone);
        EXPECT_EQ(LocalTimeText(c.timeNow), c.text) << c.zone << " " << c.timeNow;
    }
}

TEST_F(FixedTimeZone, TimestampIsTheCurrentSecond)
{
    Use("UTC0");
    const std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
    const std::string timestamp = GetTimestamp();
    const std::int64_t after = static_cast<std::int64_t>(std::time(nullptr));
    EXPECT_TRUE(timestamp == LocalTimeText(before) || timestamp == LocalTimeText(after))
        << timestamp;
}

} // namespace
