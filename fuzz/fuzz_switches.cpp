// Command lines from arbitrary bytes: arguments separated by NUL bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/switches.h"
#include "shell/shell.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"norvix-monitor"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    nvx::CommandLineSwitches switches;
    const int count = nvx::ParseSwitches(switches, argc, argv.data());
    Check(count == static_cast<int>(switches.size()));
    size_t values = 0;
    for (const auto& [key, list] : switches) {
        Check(nvx::IsSwitchToken(key));
        Check(!list.empty());  // so every lookup of value 0 succeeds
        values += list.size();
    }
    Check(values <= args.size() - 1);  // each value uses up an argument, an empty one its key's

    nvx::ResetShellSettings();
    std::string refusal;
    if (!nvx::EvaluateSwitches(switches, &refusal)) {
        // Only a COM port out of range is refused, and always with a line for the user.
        Check(nvx::HasSwitch(switches, "/C") && !refusal.empty());
        return 0;
    }
    for (char c : nvx::DeviceStem) Check(c < 'A' || c > 'Z');
    if (!nvx::HasSwitch(switches, "/W")) Check(nvx::StepWait == nvx::kDefaultStepWait);
    nvx::InfoSwitchText(argc, argv.data());
    return 0;
}
