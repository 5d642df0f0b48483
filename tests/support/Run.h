// Helpers for tests that run the real programs.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace kvtest {

struct TRunResult {
    int Status = -1;     // exit status, or -1 when it did not exit normally
    std::string Output;  // standard output and standard error together
};

// Runs a shell command line, capturing its output.
inline TRunResult RunCommand(const std::string& command) {
    TRunResult r;
    std::FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.Output.append(buf.data(), n);
    int st = pclose(p);
    r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

inline std::string Bin(const std::string& name) { return std::string(KELVANE_BIN_DIR) + "/" + name; }

inline std::string Quote(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return r + "'";
}

// A fresh temporary folder, removed at the end of the test.
class TTempDir {
public:
    TTempDir() {
        std::random_device rd;
        Path = std::filesystem::temp_directory_path() / ("kvtest-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(Path);
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
    std::string File(const std::string& name, const std::string& content) const {
        auto p = Path / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    std::string operator/(const std::string& name) const { return (Path / name).string(); }
    std::filesystem::path Path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace kvtest
