#pragma once

#include <cstdint>
#include <string>

// Writes one line to standard output, "[timestamp] tag : message", with the
// tag left-aligned in a field of 15 characters, and flushes it. A stop
// requested meanwhile acts once the line is out.
void Log(const std::string& tag, const std::string& message);

// The same for an event that happened at timeNow (seconds since 1970-01-01
// UTC) and is reported only now.
void Log(const std::string& tag, const std::string& message, std::int64_t timeNow);

// Seconds since 1970-01-01 UTC, from the system's wall clock; allocates
// nothing.
std::int64_t SecondsNow();

// The current local time as "Www Mmm DD hh:mm:ss YYYY".
std::string GetTimestamp();
