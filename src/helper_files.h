#pragma once

// Names of the files a run makes beside the launcher, and which paths can
// name a launcher at all.

#include <string>

// False for a path that cannot name a file: empty, ending in a separator,
// or ending in "." or "..".
bool NamesAFile(const std::string& oldFile);

// The path of the run's helper file for role ("backup", "staging") beside
// oldFile: "<name>~kestrin-<role>". Where that would be longer than the
// system allows, the name is cut and a hash of the whole name keeps it apart
// from others: "<start of name>~<16 hex digits>~kestrin-<role>". It never
// names newFile: a download that bears a helper's name is never touched.
std::string HelperFile(const std::string& oldFile, const std::string& newFile,
                       const std::string& role);
