#pragma once

// Runs the program under test as a child process, the way a launcher or a
// user would, and collects what it wrote and how it ended.

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

enum OutputKind {
    outputToPipe,      // read to its end, as a launcher or a terminal would
    outputToLeakyPipe, // the same, with the pipe also open at another number
    outputPipeBroken,  // the reader is gone before the first line
    outputClosed       // started with standard output closed
};

struct RunOptions {
    std::vector<std::string> arguments; // as the program is to get them
    std::string workingFolder;
    bool asUnprivilegedUser = false; // as nobody, whose rights root cannot lend
    long long fileSizeLimit = -1;    // RLIMIT_FSIZE in bytes; -1 for none
    OutputKind output = outputToPipe;
    std::vector<std::string> wrapper; // runs the program (strace, say)
    std::string actAfterLineWith; // once a line holding this text is out...
    int actAfterMilliseconds = 0; // ...and this much later...
    int signalNumber = 0;         // ...this signal is sent, or else...
    std::function<void()> whileRunning; // ...this runs
    // A console that takes output only as fast as the program can write
    // stalledAfterBytes bytes, then stops: the program is then blocked on
    // its next write, whileStalled runs, signalNumber is sent if set, and
    // the console goes on.
    std::size_t stalledAfterBytes = 0;
    std::function<void()> whileStalled;
    std::string program; // of the target's kind; empty for the program under test
};

struct RunResult {
    int exitStatus = -1;    // when it exited
    int killedBySignal = 0; // when a signal ended it
    std::string output;
};

RunResult RunProgram(const RunOptions& options);

// Starts a program of the target's kind (a stand-in launcher under Wine, say)
// in folder with its output going nowhere; returns its process.
pid_t StartInBackground(const std::string& program, const std::vector<std::string>& arguments,
                        const std::string& folder);

// The uid and gid RunOptions::asUnprivilegedUser runs as.
const unsigned unprivilegedId = 65534;
