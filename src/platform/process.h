#pragma once
// Child processes started from an argument vector (never through a shell) and watched without
// waiting, so that a window's timer keeps running while an external program works.
//
// Progress lines: a program whose progress the tool shows (the programmer adapter) writes lines
// of the form
//     PROGRESS <percent>
// to its standard output, <percent> a decimal integer 0 to 100, one line each time the value
// changes, each line ended by "\n" (a "\r" before it is allowed). Any other output line is
// ignored by the tool. Diagnostics belong on standard error: the tool passes them on to its own
// standard error as they come (the first 64 KB of them), and when the program fails it shows
// the last of those lines as the reason. A child's pipes are read for as long as it runs,
// however much it writes: it never blocks on them.

#include <memory>
#include <string>
#include <vector>

namespace nvx {

struct ProcessSpec {
    std::string program;                 // path of the executable; the search path is not used
    std::vector<std::string> arguments;  // the full vector, argument 0 (the child's own name) first
    std::string workingDirectory;        // empty: the caller's
};

class ChildProcess {
public:
    // A child still running is ended with its process group: SIGTERM, then SIGKILL when it has
    // not gone within a second or two. Never waits longer than that.
    virtual ~ChildProcess() = default;
    // Standard output received since the last call; never waits.
    virtual std::string TakeOutput() = 0;
    // Standard error received since the last call (already passed on to the tool's own standard
    // error); never waits.
    virtual std::string TakeErrors() = 0;
    // True once the child has exited; never waits.
    virtual bool Finished() = 0;
    // Waits at most limitMs for the child to exit, reading its output meanwhile; true once it
    // has.
    virtual bool WaitForExit(int limitMs) = 0;
    // After Finished(): the exit status, or 128 + the signal number when a signal ended it.
    virtual int ExitCode() const = 0;
    // Sends the child's process group a signal while it runs (nothing once it has been reaped).
    virtual void Signal(int signalNumber) = 0;
};

class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    // nullptr when the program cannot be started; error then holds the system's reason.
    virtual std::unique_ptr<ChildProcess> Start(const ProcessSpec& launch, std::string& error) = 0;
};

// posix_spawn with the standard output and error on pipes, standard input from /dev/null, descriptors
// above 2 closed in the child, the child leading a process group of its own.
class SpawnProcessRunner : public ProcessRunner {
public:
    std::unique_ptr<ChildProcess> Start(const ProcessSpec& launch, std::string& error) override;
};

// The process-wide runner (SpawnProcessRunner unless a test sets another).
ProcessRunner& Processes();
void SetProcessRunner(ProcessRunner* runner);  // nullptr restores the spawning runner

// Splits output into complete lines and picks the progress values out of them.
class ProgressLineReader {
public:
    // Feeds output; returns the progress values of the lines it completed, oldest first.
    std::vector<int> Feed(const std::string& output);

private:
    std::string partial_;
};

// Keeps the last line of a program's standard error that holds more than white space.
class LastLineKeeper {
public:
    void Feed(const std::string& text);
    // The last such line, an unfinished one included, without its line end.
    std::string Last() const;

private:
    std::string complete_;
    std::string partial_;
};

}  // namespace nvx
