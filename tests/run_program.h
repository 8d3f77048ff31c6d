#pragma once

// Runs the built program as a child process, the way a launcher or a user
// would, and collects what it wrote and how it ended.

#include <string>
#include <vector>

enum OutputKind {
    outputToPipe,      // read to its end, as a launcher or a terminal would
    outputToLeakyPipe, // the same, with the pipe also open at another number
    outputPipeBroken,  // the reader is gone before the first line
    outputClosed       // started with standard output closed
};

struct RunOptions {
    std::vector<std::string> arguments; // on Windows, in UTF-8
    std::string workingFolder;
    bool asUnprivilegedUser = false; // as nobody, whose rights root cannot lend
    long long fileSizeLimit = -1;    // RLIMIT_FSIZE in bytes; -1 for none
    OutputKind output = outputToPipe;
    std::string signalAfterLineWith; // once a line holding this text is out...
    int signalNumber = 0;            // ...this signal is sent
};

struct RunResult {
    int exitStatus = -1;    // when it exited
    int killedBySignal = 0; // when a signal ended it
    std::string output;
};

RunResult RunProgram(const std::string& program, const RunOptions& options);

// The uid and gid RunOptions::asUnprivilegedUser runs as.
const unsigned unprivilegedId = 65534;
