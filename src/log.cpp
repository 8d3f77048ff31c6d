#include "log.h"

#include "platform.h"

#include <chrono>
#include <cstdint>
#include <iomanip>
#include <iostream>

void Log(const std::string& tag, const std::string& message)
{
    const std::string timeNow = GetTimestamp();
    // A write that failed once (a full device, a console that came back)
    // must not silence every line after it.
    std::cout.clear();
    std::cout << '[' << timeNow << "] " << std::left << std::setw(15) << tag << " : " << message
              << std::endl;
}

std::string GetTimestamp()
{
    const std::int64_t timeNow = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
    return LocalTimeText(timeNow);
}
