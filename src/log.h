#pragma once

#include <string>

// Writes one line to standard output, "[timestamp] tag : message", with the
// tag left-aligned in a field of 15 characters, and flushes it.
void Log(const std::string& tag, const std::string& message);

// The current local time as "Www Mmm DD hh:mm:ss YYYY".
std::string GetTimestamp();
