#include "log.h"

#include "platform.h"

#include <ctime>
#include <iomanip>
#include <iostream>

namespace {

void WriteLine(const std::string& timeText, const std::string& tag, const std::string& message)
{
    // A write that failed once (a full device, a console that came back, a
    // stop request that cut it short) must not silence every line after it.
    std::cout.clear();
    std::cout << '[' << timeText << "] " << std::left << std::setw(15) << tag << " : " << message
              << std::endl;
    StopIfRequested();
}

} // namespace

void Log(const std::string& tag, const std::string& message)
{
    WriteLine(GetTimestamp(), tag, message);
}

void Log(const std::string& tag, const std::string& message, std::int64_t timeNow)
{
    WriteLine(LocalTimeText(timeNow), tag, message);
}

std::int64_t SecondsNow()
{
    // time() rather than std::chrono's system clock: with MinGW-w64, the
    // latter pulls in winpthread's clock functions, and with them an import
    // of SetSystemTime that the program never calls.
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string GetTimestamp()
{
    return LocalTimeText(SecondsNow());
}
