#include "log.h"

#include "platform.h"

#include <chrono>
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
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string GetTimestamp()
{
    return LocalTimeText(SecondsNow());
}
