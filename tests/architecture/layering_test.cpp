// The areas of src/ are layers: an area includes its own headers and those of the areas the
// table below allows, nothing else, and no logic file includes a window header. Every
// `#include "area/..."` of src/ is held against the table, and docs/architecture.md draws it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace nvx {
namespace {

namespace fs = std::filesystem;

using Graph = std::map<std::string, std::set<std::string>>;

// The one table of allowed dependencies: area -> the areas whose headers it may include.
// A new area or a new dependency is decided here, where the whole picture is in sight.
const Graph kAllowed = {
    {"platform", {}},
    {"sim", {"platform"}},
    {"comm", {"platform"}},
    {"shell", {}},
    {"journal", {"shell", "platform"}},
    {"eeprom", {"shell", "platform"}},
    {"tuv", {"comm", "platform"}},
    {"kernel_api", {"journal", "shell", "comm", "platform"}},
    {"texts", {"journal", "shell", "comm", "platform"}},
    {"progtool", {"eeprom", "journal", "shell", "comm", "platform"}},
    {"cli",
     {"progtool", "texts", "kernel_api", "tuv", "eeprom", "journal", "shell", "comm", "platform"}},
    {"app", {"progtool", "texts", "kernel_api", "tuv", "shell", "comm", "platform"}},
};

struct Include {
    std::string file;  // relative to src/
    int line;
    std::string header;  // as written between the quotes
};

std::string Area(const std::string& path) { return path.substr(0, path.find('/')); }

// Windows live in gui/ folders; everything else is logic that must run without a screen.
bool IsWindowPath(const std::string& path) { return path.find("/gui/") != std::string::npos; }

std::string SourceRoot() { return std::string(NVX_SOURCE_DIR) + "/src"; }

std::vector<Include> IncludesOf(const std::string& root) {
    static const std::regex quoted(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<Include> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
        const std::string file = fs::relative(entry.path(), root).generic_string();
        std::ifstream in(entry.path());
        std::string text;
        for (int n = 1; std::getline(in, text); ++n) {
            std::smatch m;
            if (std::regex_search(text, m, quoted)) found.push_back({file, n, m[1]});
        }
    }
    return found;
}

// What the includes of `includes` say, in the table's form.
Graph UsedDependencies(const std::vector<Include>& includes) {
    Graph used;
    for (const Include& inc : includes)
        if (Area(inc.file) != Area(inc.header)) used[Area(inc.file)].insert(Area(inc.header));
    return used;
}

std::vector<std::string> Violations(const std::vector<Include>& includes, const Graph& allowed) {
    std::vector<std::string> wrong;
    for (const Include& inc : includes) {
        const std::string where = inc.file + ":" + std::to_string(inc.line) + " includes \"" +
                                  inc.header + "\": ";
        const std::string from = Area(inc.file);
        const std::string to = Area(inc.header);
        if (inc.header.find('/') == std::string::npos || !allowed.count(to))
            wrong.push_back(where + "not a header of an area (write \"area/file.h\")");
        else if (!allowed.count(from))
            wrong.push_back(where + "area " + from + " is not in the table");
        else if (from != to && !allowed.at(from).count(to))
            wrong.push_back(where + from + " may not depend on " + to);
        else if (IsWindowPath(inc.header) && !IsWindowPath(inc.file))
            wrong.push_back(where + "a logic file includes a window header");
    }
    return wrong;
}

// Edges of the table not implied by a longer path: the graph as docs/architecture.md draws it.
std::set<std::pair<std::string, std::string>> DrawnEdges(const Graph& g) {
    const std::function<bool(const std::string&, const std::string&)> reaches =
        [&](const std::string& from, const std::string& to) {
            for (const std::string& next : g.at(from))
                if (next == to || reaches(next, to)) return true;
            return false;
        };
    std::set<std::pair<std::string, std::string>> edges;
    for (const auto& [from, tos] : g)
        for (const std::string& to : tos) {
            bool viaOther = false;
            for (const std::string& mid : tos)
                if (mid != to && reaches(mid, to)) viaOther = true;
            if (!viaOther) edges.insert({from, to});
        }
    return edges;
}

std::string Listed(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += "  " + l + "\n";
    return text;
}

TEST(Layering, TheTableIsALayeringOfAllAreas) {
    // No cycle: every area reaches the bottom by allowed steps without meeting itself.
    std::map<std::string, int> state;  // 1: on the path, 2: done
    std::vector<std::string> cycles;
    const std::function<void(const std::string&, std::string)> visit =
        [&](const std::string& area, std::string path) {
            path += (path.empty() ? "" : " -> ") + area;
            if (state[area] == 1) cycles.push_back(path);
            if (state[area] != 0) return;
            state[area] = 1;
            for (const std::string& dep : kAllowed.at(area)) {
                if (!kAllowed.count(dep)) cycles.push_back(path + " -> unknown " + dep);
                else visit(dep, path);
            }
            state[area] = 2;
        };
    for (const auto& [area, deps] : kAllowed) visit(area, "");
    EXPECT_EQ(Listed(cycles), "");

    // Every folder of src/ is an area of the table and every area of the table is a folder.
    std::set<std::string> folders;
    for (const auto& entry : fs::directory_iterator(SourceRoot()))
        if (entry.is_directory()) folders.insert(entry.path().filename().string());
    std::set<std::string> areas;
    for (const auto& [area, deps] : kAllowed) areas.insert(area);
    EXPECT_EQ(folders, areas);
}

TEST(Layering, EveryIncludeOfSrcFollowsTheTable) {
    const std::vector<Include> includes = IncludesOf(SourceRoot());
    // The scan is real: the shell is included from several areas.
    ASSERT_GT(UsedDependencies(includes)["journal"].count("shell"), 0u);
    EXPECT_EQ(Listed(Violations(includes, kAllowed)), "");
}

TEST(Layering, OnlyWindowsUseQtWidgets) {
    // Logic runs under test without a screen; the Qt timer service needs Qt Core only.
    static const std::regex qt(R"(^\s*#\s*include\s*<Q)");
    const std::set<std::string> coreOnly = {"platform/qt_timer_service.h",
                                            "platform/qt_timer_service.cpp"};
    std::vector<std::string> wrong;
    for (const auto& entry : fs::recursive_directory_iterator(SourceRoot())) {
        if (!entry.is_regular_file()) continue;
        const std::string file = fs::relative(entry.path(), SourceRoot()).generic_string();
        if (IsWindowPath(file) || coreOnly.count(file)) continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            if (std::regex_search(line, qt)) wrong.push_back(file + ": " + line);
    }
    EXPECT_EQ(Listed(wrong), "");
}

TEST(Layering, TheTableAllowsOnlyWhatIsUsed) {
    // A dependency no include needs any more is struck, so the table stays the truth.
    const Graph used = UsedDependencies(IncludesOf(SourceRoot()));
    std::vector<std::string> unused;
    for (const auto& [area, deps] : kAllowed)
        for (const std::string& dep : deps)
            if (!used.count(area) || !used.at(area).count(dep)) unused.push_back(area + " -> " + dep);
    EXPECT_EQ(Listed(unused), "");
}

TEST(Layering, TheCheckFindsWhatItIsFor) {
    const Graph allowed = {{"low", {}}, {"high", {"low"}}};
    struct Case {
        Include include;
        bool wrong;
    };
    const std::vector<Case> cases = {
        {{"high/a.cpp", 1, "low/b.h"}, false},
        {{"high/a.cpp", 1, "high/c.h"}, false},
        {{"high/gui/w.cpp", 1, "low/gui/d.h"}, false},
        {{"low/b.cpp", 1, "high/a.h"}, true},     // upwards
        {{"high/a.cpp", 1, "low/gui/d.h"}, true},  // logic on a window
        {{"low/b.cpp", 1, "low/gui/d.h"}, true},   // the same, within an area
        {{"high/a.cpp", 1, "other/x.h"}, true},    // an area the table does not know
        {{"high/a.cpp", 1, "x.h"}, true},          // no area named
        {{"new/a.cpp", 1, "low/b.h"}, true},       // a file of an unplaced area
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.include.file + " -> " + c.include.header);
        EXPECT_EQ(Violations({c.include}, allowed).size(), c.wrong ? 1u : 0u);
    }
    // A step implied by a longer path is not drawn.
    const Graph chain = {{"a", {"b", "c"}}, {"b", {"c"}}, {"c", {}}};
    const std::set<std::pair<std::string, std::string>> drawn = {{"a", "b"}, {"b", "c"}};
    EXPECT_EQ(DrawnEdges(chain), drawn);
}

TEST(Layering, TheArchitectureDocumentDrawsTheTable) {
    // The graph block of docs/architecture.md: one "from --> to" line per drawn edge.
    std::ifstream in(std::string(NVX_SOURCE_DIR) + "/docs/architecture.md");
    ASSERT_TRUE(in) << "docs/architecture.md";
    static const std::regex edge(R"(^\s+([a-z_]+) --> ([a-z_]+)\s*$)");
    std::set<std::pair<std::string, std::string>> drawn;
    bool inGraph = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "```mermaid") inGraph = true;
        else if (line == "```") inGraph = false;
        std::smatch m;
        if (inGraph && std::regex_match(line, m, edge)) drawn.insert({m[1], m[2]});
    }
    std::string expected;
    for (const auto& [from, to] : DrawnEdges(kAllowed)) expected += "    " + from + " --> " + to + "\n";
    std::string actual;
    for (const auto& [from, to] : drawn) actual += "    " + from + " --> " + to + "\n";
    EXPECT_EQ(actual, expected) << "redraw the graph in docs/architecture.md";
}

}  // namespace
}  // namespace nvx
