#include "helper_files.h"

#include "platform.h"

#include <cstdint>
#include <cstdio>

namespace {

// Where oldFile's own name begins.
std::size_t NameStart(const std::string& oldFile)
{
    std::size_t start = oldFile.size();
    while (start > 0 && !IsSeparator(oldFile[start - 1])) {
        --start;
    }
    return start;
}

std::string Hash(const std::string& text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

} // namespace

bool NamesAFile(const std::string& oldFile)
{
    const std::string name = oldFile.substr(NameStart(oldFile));
    return !name.empty() && name != "." && name != "..";
}

std::string HelperFile(const std::string& oldFile, const std::string& newFile,
                       const std::string& role)
{
    const std::size_t start = NameStart(oldFile);
    const std::string name = oldFile.substr(start);
    const std::size_t room = LongestNameBeside(oldFile);
    std::string suffix = "~kestrin-" + role;
    for (int attempt = 2;; ++attempt) {
        std::string helper = name + suffix;
        if (helper.size() > room) {
            const std::string tail = "~" + Hash(name) + suffix;
            std::size_t keep = room > tail.size() ? room - tail.size() : 0;
            // Cut between characters, not inside one.
            while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
                --keep;
            }
            helper = name.substr(0, keep) + tail;
        }
        const std::string path = oldFile.substr(0, start) + helper;
        if (path != newFile && !SameFile(path, newFile)) {
            return path;
        }
        suffix = "~kestrin-" + role + std::to_string(attempt);
    }
}
