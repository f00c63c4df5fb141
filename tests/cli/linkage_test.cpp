// The console programs run on a workbench that has no Qt libraries: the dynamic linker loads
// none for them.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_program.h"

namespace nvx {
namespace {

// The shared objects the dynamic linker loads for a program, one line each, as it lists them
// when asked to trace instead of run.
test::ProgramRun LoadedObjects(const std::string& program) {
    return test::RunProgram(program, {program}, "", {"LD_TRACE_LOADED_OBJECTS=1"});
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

std::vector<std::string> QtLines(const std::string& loaded) {
    std::vector<std::string> qt;
    for (const std::string& line : Split(loaded, '\n'))
        if (line.find("libQt") != std::string::npos) qt.push_back(line);
    return qt;
}

TEST(Linkage, ConsoleProgramsLoadNoQt) {
    const std::vector<std::string> programs = Split(NVX_CONSOLE_PROGRAMS, ':');
    ASSERT_EQ(programs.size(), 3u);
    for (const std::string& program : programs) {
        SCOPED_TRACE(program);
        const test::ProgramRun run = LoadedObjects(program);
        ASSERT_EQ(run.status, 0) << run.err;
        // The trace is real: the C library is always among the loaded objects.
        EXPECT_NE(run.out.find("libc.so"), std::string::npos) << run.out;
        EXPECT_EQ(QtLines(run.out), std::vector<std::string>{}) << run.out;
    }
}

#ifdef NVX_MONITOR_PROGRAM
TEST(Linkage, TheLookFindsQtInTheMonitorProgram) {
    const test::ProgramRun run = LoadedObjects(NVX_MONITOR_PROGRAM);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> qt = QtLines(run.out);
    const auto core = [](const std::string& l) {
        return l.find("libQt6Core") != std::string::npos;
    };
    EXPECT_TRUE(std::any_of(qt.begin(), qt.end(), core))
        << run.out;
}
#endif

}  // namespace
}  // namespace nvx
