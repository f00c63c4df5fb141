#pragma once
// Files for tests: scratch directories, whole files read and written. Header only, like
// child_program.h.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace nvx::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("nvx-" + tag + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Gives the test process its current directory back when it goes, also when an assertion ends
// the test early: the next test must not start somewhere else.
class CurrentDirectoryGuard {
public:
    CurrentDirectoryGuard() : saved_(std::filesystem::current_path()) {}
    ~CurrentDirectoryGuard() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

private:
    std::filesystem::path saved_;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The running test's own directory in the build tree, test_scratch/AREA/SUITE.TEST, made empty;
// the fixture removes it in its TearDown.
inline std::filesystem::path FreshTestDir(const std::string& area) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path dir = std::filesystem::path(NVX_BINARY_DIR) / "test_scratch" /
                                      area /
                                      (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// The names of the entries of dir, sorted.
inline std::vector<std::string> FileNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace nvx::test
