#pragma once
// `nvx` sub-commands: each takes its arguments after the command word and returns the exit
// status (0 success, 1 failure, 2 wrong usage).

#include <string>
#include <vector>

namespace nvx::cli {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    const char* summary;
    int (*run)(const Args& args);
};

int RunPorts(const Args& args);
int RunReport(const Args& args);
int RunConvert(const Args& args);
int RunTexts(const Args& args);
int RunKernel(const Args& args);
int RunUpdate(const Args& args);
int RunEeprom(const Args& args);
int RunJournal(const Args& args);
int RunDecode(const Args& args);
int RunListen(const Args& args);

}  // namespace nvx::cli
