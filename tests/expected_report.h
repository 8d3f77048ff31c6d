#pragma once

// What the program is expected to write, to the character, with every
// timestamp written as "[TIME]".

#include <string>
#include <vector>

// installed: updated where there was no old launcher, which is then not
// said to be removed. rolledBack: the new launcher would not start, or
// ended as a program that cannot run, and gave way to the old one;
// rolledBackNotStarted: then the old one would not start either;
// notPutBack: the old launcher could not go back, and stays at the backup.
// downloadKept: the launchers swapped, but the download's name could not
// go, so the download stays as it was and the old launcher goes back.
enum Outcome { updated, installed, usageError, removeFailed, moveFailed, notStarted, rolledBack,
               rolledBackNotStarted, notPutBack, downloadKept };

int ExpectedStatus(Outcome outcome);

// The whole report of a run that ends with outcome, for these arguments;
// refusal is the Error line's text that says why the new launcher was
// refused (a signature), if any.
std::string ExpectedReport(Outcome outcome, const std::vector<std::string>& arguments,
                           const std::string& refusal = "");

// The report up to the first line holding text.
std::string CutAfterLineWith(const std::string& report, const std::string& text);

// The output with each "[Www Mmm DD hh:mm:ss YYYY] " made "[TIME] ".
std::string WithoutTimes(const std::string& output);

std::string Replace(std::string text, const std::string& what, const std::string& with);
