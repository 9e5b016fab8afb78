// The rooms of rooms.txt, bottom to top: no include points upwards, and fieldmap/ calls no host function.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct SourceFile {
    std::string path;  // relative to the source tree: "core/helper_tools.cpp"
    std::string text;
};

std::vector<std::string> read_rooms(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> rooms;
    std::string line;
    while (std::getline(in, line)) {
        line.erase(std::remove_if(line.begin(), line.end(), [](unsigned char c) { return std::isspace(c); }),
                   line.end());
        if (!line.empty() && line[0] != '#') rooms.push_back(line);
    }
    return rooms;
}

// Index of the room a path lies in (the longest room path that starts it); -1 for none.
int room_of(const std::vector<std::string>& rooms, const std::string& path) {
    int best = -1;
    size_t best_length = 0;
    for (size_t i = 0; i < rooms.size(); ++i) {
        const std::string prefix = rooms[i] + "/";
        if (path.compare(0, prefix.size(), prefix) == 0 && prefix.size() > best_length) {
            best = static_cast<int>(i);
            best_length = prefix.size();
        }
    }
    return best;
}

std::vector<std::string> quoted_includes(const std::string& text) {
    static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_search(line, m, include)) out.push_back(m[1]);
    return out;
}

// Every include that points to a room above its file's, or to no room at all.
std::vector<std::string> upward_includes(const std::vector<std::string>& rooms, const std::vector<SourceFile>& files) {
    std::vector<std::string> out;
    for (const SourceFile& f : files) {
        const int from = room_of(rooms, f.path);
        for (const std::string& target : quoted_includes(f.text)) {
            const int to = room_of(rooms, target);
            if (to < 0)
                out.push_back(f.path + " includes \"" + target + "\", which lies in no room");
            else if (to > from)
                out.push_back(f.path + " (" + rooms[from] + ") includes \"" + target + "\" of " + rooms[to] +
                              ", a room above it");
        }
    }
    return out;
}

// fieldmap/ is pure numerics: of hostlink/ it may use the log sink, the export
// macro and the protocol's texts, never the host's functions or records.
// host_functions names the host's functions (hsLogText, ...).
std::vector<std::string> host_calls_in_fieldmap(const std::vector<SourceFile>& files,
                                                const std::vector<std::string>& host_functions) {
    static const std::vector<std::string> allowed = {"hostlink/log_sink.h", "hostlink/export.h", "hostlink/protocol.h"};
    std::string alternatives = R"(\bhs::|\bInitHSAccess\b|\b(FMR|VMR)_\w*Header\b)";
    for (const std::string& name : host_functions) alternatives += "|\\b" + name + "\\b";
    const std::regex call(alternatives);
    std::vector<std::string> out;
    for (const SourceFile& f : files) {
        if (f.path.compare(0, 9, "fieldmap/") != 0) continue;
        for (const std::string& target : quoted_includes(f.text))
            if (target.compare(0, 9, "hostlink/") == 0 &&
                std::find(allowed.begin(), allowed.end(), target) == allowed.end())
                out.push_back(f.path + " includes \"" + target + "\"");
        std::istringstream in(f.text);
        std::string line;
        for (int n = 1; std::getline(in, line); ++n) {
            const std::string code = line.substr(0, line.find("//"));
            if (std::regex_search(code, call)) out.push_back(f.path + ":" + std::to_string(n) + ": " + line);
        }
    }
    return out;
}

// The host functions the plug-in binds: the X(hsName) entries of hostlink/host_binding.h.
std::vector<std::string> bound_host_functions(const std::string& binding_header) {
    static const std::regex entry(R"(X\((hs\w+)\))");
    std::vector<std::string> out;
    for (std::sregex_iterator it(binding_header.begin(), binding_header.end(), entry), end; it != end; ++it)
        out.push_back((*it)[1]);
    return out;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Every .h and .cpp of the non-test code: each top-level folder but tests/,
// bench/, fuzz/ and the build trees (tools above every room).
std::vector<SourceFile> tree_sources(const fs::path& root) {
    std::vector<SourceFile> out;
    for (const auto& top : fs::directory_iterator(root)) {
        if (!top.is_directory()) continue;
        const std::string name = top.path().filename().string();
        if (name[0] == '.' || name == "tests" || name == "bench" || name == "fuzz" || name.rfind("build", 0) == 0)
            continue;
        for (const auto& e : fs::recursive_directory_iterator(top.path())) {
            const std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
            out.push_back({fs::relative(e.path(), root).generic_string(), read_file(e.path())});
        }
    }
    std::sort(out.begin(), out.end(), [](const SourceFile& a, const SourceFile& b) { return a.path < b.path; });
    return out;
}

const std::vector<std::string> kRooms = {"hostlink", "core", "fieldmap", "io", "plugin/steps", "plugin"};

TEST(Layering, finds_an_include_that_points_upwards_or_nowhere) {
    struct Case {
        SourceFile file;
        size_t found;
    };
    const Case cases[] = {
        {{"core/a.cpp", "#include \"hostlink/log_sink.h\"\n#include \"core/a.h\"\n"}, 0},
        {{"core/a.cpp", "#include \"plugin/distortioncorrector.h\"\n"}, 1},
        {{"plugin/steps/a.cpp", "  #  include \"plugin/procedures.h\"\n"}, 1},  // plugin lies above plugin/steps
        {{"plugin/a.cpp", "#include \"plugin/steps/filters.h\"\n"}, 0},
        {{"io/a.cpp", "#include \"nowhere/x.h\"\n#include <nifti1_io.h>\n"}, 1},  // only quoted includes count
    };
    for (const Case& c : cases) EXPECT_EQ(upward_includes(kRooms, {c.file}).size(), c.found) << c.file.text;
}

TEST(Layering, finds_a_host_call_in_fieldmap) {
    struct Case {
        SourceFile file;
        size_t found;
    };
    const Case cases[] = {
        {{"fieldmap/a.cpp", "#include \"hostlink/log_sink.h\"\nvoid f() { log_line(\"x\"); }\n"}, 0},
        {{"fieldmap/a.cpp", "#include \"hostlink/host_binding.h\"\n"}, 1},
        {{"fieldmap/a.cpp", "void f() { hs::hsLogText(\"x\"); }\n"}, 1},
        {{"fieldmap/a.cpp", "void f() { hsShowBusyCursor(); }\n"}, 1},
        {{"fieldmap/a.cpp", "int i = hsRound(2.5);\n"}, 0},  // the plug-in's own rounding, no host function
        {{"fieldmap/a.cpp", "void f(const FMR_Header* h);\n"}, 1},
        {{"fieldmap/a.cpp", "// hs::hsLogText is not called here\n"}, 0},
        {{"io/a.cpp", "void f() { hs::hsLogText(\"x\"); }\n"}, 0},
    };
    const std::vector<std::string> host_functions = {"hsLogText", "hsShowBusyCursor"};
    for (const Case& c : cases)
        EXPECT_EQ(host_calls_in_fieldmap({c.file}, host_functions).size(), c.found) << c.file.text;
}

TEST(Layering, every_include_of_the_tree_points_to_its_own_room_or_one_below) {
    const fs::path root = WARPMENDER_SOURCE_DIR;
    const std::vector<std::string> rooms = read_rooms((root / "rooms.txt").string());
    ASSERT_FALSE(rooms.empty());
    const std::vector<SourceFile> files = tree_sources(root);
    ASSERT_GT(files.size(), 50u);
    for (const SourceFile& f : files) EXPECT_GE(room_of(rooms, f.path), 0) << f.path << " lies in no room of rooms.txt";
    for (const std::string& v : upward_includes(rooms, files)) ADD_FAILURE() << v;
}

TEST(Layering, fieldmap_calls_no_host_function) {
    const std::vector<SourceFile> files = tree_sources(WARPMENDER_SOURCE_DIR);
    const auto in_fieldmap = std::count_if(files.begin(), files.end(),
                                           [](const SourceFile& f) { return f.path.rfind("fieldmap/", 0) == 0; });
    ASSERT_GT(in_fieldmap, 5);
    const std::vector<std::string> host_functions =
        bound_host_functions(read_file(fs::path(WARPMENDER_SOURCE_DIR) / "hostlink" / "host_binding.h"));
    ASSERT_GT(host_functions.size(), 20u);
    for (const std::string& v : host_calls_in_fieldmap(files, host_functions)) ADD_FAILURE() << v;
}

}  // namespace
