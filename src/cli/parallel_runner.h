#pragma once
// One child nvx per COM port, all at once: the protocol stack exists once in a process, so each
// device gets a process of its own, and this one gathers what they print.
//
// A child prints its log lines and its diagnostics on its standard output and, for the progress
// bars, lines "PROGRESS <percent>" (the format of platform/process.h). On a terminal the parent
// keeps one line per port (bar, percent, latest log line) and prints diagnostics above them;
// otherwise every line is passed on with its port in front. At the end comes a table with one
// row per port: outcome, seconds, and the last log line of the procedure.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/process.h"

namespace nvx::cli {

// SIGINT and SIGTERM set a flag instead of ending the process, so that work under way can end
// cleanly (each child is passed the interrupt and ends its procedure its own way).
void CatchInterrupts();
bool Interrupted();

struct PortRun {
    int port = 0;
    std::vector<std::string> arguments;  // the child's argument vector, argument 0 included
};

struct PortOutcome {
    int port = 0;
    int exitCode = -1;         // as ChildProcess::ExitCode; -1 when it could not be started
    double seconds = 0;
    std::string finalLine;     // the last log line ("I> ..." or "E> ..."), empty when none
};

// Runs program once per entry, all at once, until every child has ended; output as above.
std::vector<PortOutcome> RunPerPort(const std::string& program, const std::vector<PortRun>& runs,
                                    bool terminal, std::FILE* out, std::FILE* err);

// The outcome table; a row's outcome is "finished" (exit 0), "aborted" (ended with an "E> "
// line) or "failed" (no procedure line: it never started).
void PrintOutcomeTable(const std::vector<PortOutcome>& outcomes, std::FILE* out);

}  // namespace nvx::cli
