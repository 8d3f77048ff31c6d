#include "log.h"

#include "platform.h"

#include <cstdint>
#include <ctime>
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
    // time() rather than std::chrono's system clock: with MinGW-w64, the
    // latter pulls in winpthread's clock functions, and with them an import
    // of SetSystemTime that the program never calls.
    return LocalTimeText(static_cast<std::int64_t>(std::time(nullptr)));
}
