// Archive benchmark: builds and extracts two generated payloads with kelvane and
// with zip/unzip/tar on the same files, and prints the ratios.
//   kelvane_bench KELVANE [WORKDIR] [--only mixed|small] [--rounds N]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---- payloads -------------------------------------------------------------------

struct TRng {
    uint64_t s;
    uint64_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
};

const char* const kWords[] = {"install", "setup", "archive", "the", "of", "file", "version", "disk", "folder",
                              "registry", "shortcut", "program", "and", "to", "a", "windows", "system", "user",
                              "component", "group", "language", "dialog", "error", "copy", "progress"};

std::string Text(TRng& r, size_t n) {
    std::string s;
    s.reserve(n + 16);
    while (s.size() < n) {
        s += kWords[r.Next() % 25];
        s += r.Next() % 12 == 0 ? "\r\n" : " ";
    }
    s.resize(n);
    return s;
}

// Program-like bytes: opcodes from a small alphabet, zero runs, repeated blocks.
std::string Binary(TRng& r, size_t n) {
    std::string s;
    s.reserve(n + 64);
    while (s.size() < n) {
        switch (r.Next() % 4) {
            case 0: s.append(8 + r.Next() % 56, '\0'); break;
            case 1:
                if (s.size() > 256) {
                    size_t from = r.Next() % (s.size() - 128);
                    s.append(s, from, 16 + r.Next() % 100);
                    break;
                }
                [[fallthrough]];
            default:
                for (int i = 0; i < 32; ++i) s += static_cast<char>("\x8B\x55\x89\xE5\x83\xEC\xC3\x50\xFF\x15"[r.Next() % 10] ^ (r.Next() % 7 == 0 ? r.Next() : 0));
        }
    }
    s.resize(n);
    return s;
}

std::string Random(TRng& r, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = r.Next();
        for (size_t k = 0; k < 8 && i + k < n; ++k) s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

struct TPayload {
    std::string name;
    fs::path root;
    std::vector<std::string> files;
    uint64_t bytes = 0;
};

void Write(TPayload& p, const fs::path& rel, const std::string& data) {
    fs::path full = p.root / rel;
    fs::create_directories(full.parent_path());
    std::ofstream(full, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    p.files.push_back(full.string());
    p.bytes += data.size();
}

// About 1,500 files, 120 MB: text, program-like binaries and incompressible data
// in nested folders, sizes spread from a few hundred bytes to several MB.
TPayload Mixed(const fs::path& root) {
    TPayload p{"mixed 1500 files / 120 MB", root / "mixed", {}, 0};
    TRng r{0x9E3779B97F4A7C15ull};
    std::vector<size_t> sizes;
    double total = 0;
    for (int i = 0; i < 1500; ++i) {
        double s = std::exp(std::log(300.0) + r.Unit() * (std::log(3e6) - std::log(300.0)));
        sizes.push_back(static_cast<size_t>(s));
        total += s;
    }
    double scale = 120e6 / total;
    for (int i = 0; i < 1500; ++i) {
        size_t n = static_cast<size_t>(sizes[i] * scale);
        unsigned kind = static_cast<unsigned>(r.Next() % 20);
        std::string dir = "d" + std::to_string(i % 7) + "/s" + std::to_string(i % 23) + (i % 3 ? "/deep" + std::to_string(i % 5) : "");
        std::string file = "f" + std::to_string(i);
        if (kind < 9) Write(p, dir + "/" + file + ".txt", Text(r, n));
        else if (kind < 16) Write(p, dir + "/" + file + ".dll", Binary(r, n));
        else Write(p, dir + "/" + file + ".cab", Random(r, n));
    }
    return p;
}

// 20,000 files of 200 bytes to 4 KB in 200 folders.
TPayload Small(const fs::path& root) {
    TPayload p{"small 20000 files / 200 B-4 KB", root / "small", {}, 0};
    TRng r{0xD1B54A32D192ED03ull};
    for (int i = 0; i < 20000; ++i) {
        size_t n = 200 + r.Next() % 3897;
        std::string dir = "g" + std::to_string(i % 20) + "/h" + std::to_string(i % 200);
        std::string file = "f" + std::to_string(i);
        if (i % 3) Write(p, dir + "/" + file + ".txt", Text(r, n));
        else Write(p, dir + "/" + file + ".bin", Binary(r, n));
    }
    return p;
}

// ---- running ------------------------------------------------------------------------

struct TResult {
    double seconds = 0;
    long maxRssKiB = 0;
};

// Starts the tools. A child's peak memory (ru_maxrss) includes that of the process it
// was forked from, so the tools are forked by a helper split off at the start, before
// the payloads fill this process, not by the benchmark itself.
class TSpawner {
public:
    TSpawner() {
        int toHelper[2], fromHelper[2];
        if (pipe(toHelper) != 0 || pipe(fromHelper) != 0) std::exit(1);
        FPid = fork();
        if (FPid == 0) {
            close(toHelper[1]);
            close(fromHelper[0]);
            Serve(toHelper[0], fromHelper[1]);
            _exit(0);
        }
        close(toHelper[0]);
        close(fromHelper[1]);
        FTo = toHelper[1];
        FFrom = fromHelper[0];
    }
    ~TSpawner() {
        close(FTo);
        close(FFrom);
        waitpid(FPid, nullptr, 0);
    }

    // Runs Argv in Cwd (empty: here) to its end: its time, peak memory and status.
    TResult Run(const std::vector<std::string>& argv, const fs::path& cwd, int& status) {
        std::string msg = cwd.string();
        msg += '\0';
        for (const auto& a : argv) msg += a + '\0';
        uint32_t n = static_cast<uint32_t>(msg.size());
        if (!WriteAll(FTo, &n, sizeof n) || !WriteAll(FTo, msg.data(), n)) std::exit(1);
        TReply r;
        if (!ReadAll(FFrom, &r, sizeof r)) std::exit(1);
        status = r.status;
        return {r.seconds, r.maxRssKiB};
    }

private:
    struct TReply {
        int status;
        double seconds;
        long maxRssKiB;
    };

    static bool WriteAll(int fd, const void* p, size_t n) {
        return write(fd, p, n) == static_cast<ssize_t>(n);
    }
    static bool ReadAll(int fd, void* p, size_t n) {
        size_t done = 0;
        while (done < n) {
            ssize_t k = read(fd, static_cast<char*>(p) + done, n - done);
            if (k <= 0) return false;
            done += static_cast<size_t>(k);
        }
        return true;
    }

    [[noreturn]] static void Serve(int in, int out) {
        uint32_t n;
        while (ReadAll(in, &n, sizeof n)) {
            std::vector<char> msg(n);
            if (!ReadAll(in, msg.data(), n)) break;
            std::vector<char*> args;
            for (size_t i = std::strlen(msg.data()) + 1; i < n; i += std::strlen(msg.data() + i) + 1)
                args.push_back(msg.data() + i);
            args.push_back(nullptr);
            auto start = std::chrono::steady_clock::now();
            pid_t pid = fork();
            if (pid == 0) {
                if (msg[0] && chdir(msg.data()) != 0) _exit(126);
                int devnull = open("/dev/null", O_WRONLY);
                dup2(devnull, 1);
                execvp(args[0], args.data());
                _exit(127);
            }
            TReply r{};
            struct rusage ru {};
            wait4(pid, &r.status, 0, &ru);
            r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            r.maxRssKiB = ru.ru_maxrss;
            if (!WriteAll(out, &r, sizeof r)) break;
        }
        _exit(0);
    }

    pid_t FPid;
    int FTo, FFrom;
};

TSpawner* gSpawner = nullptr;

TResult Run(const std::vector<std::string>& argv, const fs::path& cwd = {}) {
    int status = 0;
    TResult res = gSpawner->Run(argv, cwd, status);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: command failed:");
        for (const auto& a : argv) std::fprintf(stderr, " %s", a.c_str());
        std::fprintf(stderr, "\n");
        std::exit(1);
    }
    return res;
}

struct TTool {
    std::string label;
    std::function<std::vector<std::string>(const fs::path& out)> argv;
    fs::path cwd;
    TResult best{1e9, 0};
    std::vector<double> seconds{};  // of each round
};

// The median over the rounds of A's time ÷ B's time in the same round. The two ran
// close together, so a file system that slows down or recovers during the benchmark
// (ext4 after thousands of files were removed) weighs on both alike; the best times
// alone would favour whichever tool ran last.
double PairedRatio(const TTool& a, const TTool& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.seconds.size() && i < b.seconds.size(); ++i) r.push_back(a.seconds[i] / b.seconds[i]);
    std::sort(r.begin(), r.end());
    const size_t n = r.size();
    return n == 0 ? 0 : n % 2 ? r[n / 2] : (r[n / 2 - 1] + r[n / 2]) / 2;
}

// Runs the tools in turn, Rounds times over, each time into a fresh output
// (made by Prepare, untimed), so that a busy moment of the machine or of the
// file system hits them alike; keeps each tool's times and largest memory.
// Each round starts one tool later: the disk is still writing back what the tool
// before wrote, and that should not always fall on the same one.
void Rounds(int rounds, std::vector<TTool>& tools, const std::function<fs::path(const TTool&, int)>& prepare) {
    for (int r = 0; r < rounds; ++r)
        for (size_t k = 0; k < tools.size(); ++k) {
            TTool& t = tools[(k + static_cast<size_t>(r)) % tools.size()];
            fs::path out = prepare(t, r);
            TResult res = Run(t.argv(out), t.cwd);
            t.best.seconds = std::min(t.best.seconds, res.seconds);
            t.seconds.push_back(res.seconds);
            t.best.maxRssKiB = std::max(t.best.maxRssKiB, res.maxRssKiB);
        }
}

void Tree(const fs::path& dir, uint64_t& files, uint64_t& bytes) {
    files = bytes = 0;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) ++files, bytes += e.file_size();
}

void Bench(const std::string& kelvane, const TPayload& p, const fs::path& work, int rounds) {
    const std::string base = p.root.filename().string();
    fs::path list = work / (base + ".lst");
    {
        // Folder by folder, as zip -r and tar (which walk the tree) store them, and as
        // an author's list made by a tree walk names them.
        std::vector<std::string> files = p.files;
        std::sort(files.begin(), files.end());
        std::ofstream l(list);
        for (const auto& f : files) l << f << "\n";
    }
    fs::path kvl = work / (base + ".1"), zip = work / (base + ".zip"), tgz = work / (base + ".tgz");

    // Building: each archive is removed first, as an existing one would be
    // truncated, which some file systems answer by writing it through.
    std::vector<TTool> build = {
        {"zip -9", [&](const fs::path&) { return std::vector<std::string>{"zip", "-9", "-q", "-r", zip.string(), "."}; },
         p.root},
        {"kelvane", [&](const fs::path&) {
             return std::vector<std::string>{kelvane, "archive", "add", kvl.string(), "--list", list.string()};
         }, {}},
    };
    Rounds(rounds, build, [&](const TTool& t, int) {
        fs::remove(t.label == "zip -9" ? zip : kvl);
        return fs::path();
    });
    Run({"tar", "-czf", tgz.string(), "-C", p.root.string(), "."});

    std::vector<TTool> extract = {
        {"tar -xzf", [&](const fs::path& out) {
             return std::vector<std::string>{"tar", "-xzf", tgz.string(), "-C", out.string()};
         }, {}},
        {"unzip", [&](const fs::path& out) {
             return std::vector<std::string>{"unzip", "-q", zip.string(), "-d", out.string()};
         }, {}},
        {"kelvane", [&](const fs::path& out) {
             return std::vector<std::string>{kelvane, "archive", "extract", kvl.string(), out.string(), "--paths"};
         }, {}},
    };
    fs::path outs = work / ("out-" + base);
    Rounds(rounds, extract, [&](const TTool& t, int r) {
        fs::path out = outs / (t.label.substr(0, 3) + std::to_string(r));
        fs::create_directories(out);
        return out;
    });
    uint64_t files, bytes;
    Tree(outs / "kel0", files, bytes);
    if (files != p.files.size() || bytes != p.bytes) {
        std::fprintf(stderr, "bench: extraction produced %llu files, %llu bytes\n",
                     static_cast<unsigned long long>(files), static_cast<unsigned long long>(bytes));
        std::exit(1);
    }

    const TResult& kvX = extract[2].best;
    double kvSize = static_cast<double>(fs::file_size(kvl)), zipSize = static_cast<double>(fs::file_size(zip));
    std::printf("\n%s (%zu files, %.1f MB)\n", p.name.c_str(), p.files.size(), p.bytes / 1e6);
    // Best times, the ratio of the best times, and the median ratio within rounds.
    auto line = [](const char* what, const TTool& kv, const TTool& other, const char* target) {
        std::printf("  %-9s kelvane %6.2f s   %-8s %6.2f s   best %.2f  paired %.2f%s\n", what, kv.best.seconds,
                    other.label.c_str(), other.best.seconds, kv.best.seconds / other.best.seconds,
                    PairedRatio(kv, other), target);
    };
    line("build", build[1], build[0], "  (target <= 1.00)");
    line("extract", extract[2], extract[0], "  (target <= 1.00)");
    line("extract", extract[2], extract[1], "");
    std::printf("  size      kelvane %6.1f MB  zip -9   %6.1f MB  ratio %.3f (target <= 1.02)\n", kvSize / 1e6,
                zipSize / 1e6, kvSize / zipSize);
    std::printf("  extraction peak memory %.1f MiB (target < 16 MiB)\n", kvX.maxRssKiB / 1024.0);
    std::fflush(stdout);
    // What was made stays until the end: ext4 makes new files slowly for half a minute
    // after thousands were removed, which would fall on the next payload's tools.
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    std::string only;
    int runs = 3;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--only" && i + 1 < argc) only = argv[++i];
        else if (a == "--rounds" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else positional.push_back(a);
    }
    if (positional.empty() || positional.size() > 2 || (!only.empty() && only != "mixed" && only != "small")) {
        std::fprintf(stderr, "usage: kelvane_bench KELVANE [WORKDIR] [--only mixed|small] [--rounds N]\n");
        return 2;
    }
    TSpawner spawner;
    gSpawner = &spawner;
    std::string kelvane = fs::absolute(positional[0]).string();
    std::string tmpl =
        (positional.size() > 1 ? fs::path(positional[1]) : fs::temp_directory_path()).string() + "/kvbench-XXXXXX";
    fs::path work = mkdtemp(tmpl.data());
    // kelvane works on a machine of its own; the payloads are host paths (drive Z:).
    setenv("KELVANE_MACHINE", (work / "machine").c_str(), 1);
    std::printf("kelvane archive benchmark (%d interleaved rounds)\n", runs);
    std::fflush(stdout);
    if (only != "small") Bench(kelvane, Mixed(work), work, runs);
    if (only != "mixed") Bench(kelvane, Small(work), work, runs);
    fs::remove_all(work);
    return 0;
}
