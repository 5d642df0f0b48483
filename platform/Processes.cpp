#include "platform/Processes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/FileStream.h"

namespace kv {

std::string ShowWindowName(UINT cmdShow) {
    static const char* const names[] = {"SW_HIDE",         "SW_SHOWNORMAL", "SW_SHOWMINIMIZED",   "SW_SHOWMAXIMIZED",
                                        "SW_SHOWNOACTIVATE", "SW_SHOW",       "SW_MINIMIZE",        "SW_SHOWMINNOACTIVE",
                                        "SW_SHOWNA",       "SW_RESTORE",    "SW_SHOWDEFAULT"};
    return cmdShow < 11 ? names[cmdShow] : std::to_string(cmdShow);
}

std::vector<std::string> SplitCommandLine(const std::string& cmdLine) {
    std::vector<std::string> out;
    size_t p = 0, n = cmdLine.size();
    auto blank = [&](size_t i) { return static_cast<unsigned char>(cmdLine[i]) <= ' '; };
    for (;;) {
        for (;;) {
            while (p < n && blank(p)) ++p;
            if (p + 1 < n && cmdLine[p] == '"' && cmdLine[p + 1] == '"') p += 2;
            else break;
        }
        if (p >= n) break;
        std::string param;
        while (p < n && !blank(p)) {
            if (cmdLine[p] == '"') {
                ++p;
                while (p < n && cmdLine[p] != '"') param += cmdLine[p++];
                if (p < n) ++p;
            } else {
                param += cmdLine[p++];
            }
        }
        out.push_back(param);
    }
    return out;
}

namespace {

enum class TKind { Host, Batch, Windows };

struct TProgram {
    TResolvedPath Path;
    std::string Args;  // the rest of the command line, as written
    TKind Kind = TKind::Windows;
};

bool HasExtension(const std::string& name) {
    size_t slash = name.find_last_of("\\/");
    size_t dot = name.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

std::string Extension(const TResolvedPath& r) {
    const std::string& name = r.Win.Parts.empty() ? std::string() : r.Win.Parts.back();
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : UpperCase(name.substr(dot));
}

// Finds Name as Windows does; ERROR_SUCCESS with the file, or the error.
DWORD FindProgram(const std::string& name, TResolvedPath& found) {
    std::vector<std::string> tries;
    std::string n = HasExtension(name) ? name : name + ".exe";
    if (n.find_first_of("\\/:") != std::string::npos) {
        tries.push_back(n);
    } else {
        tries = {n, Machine().SystemDir() + "\\" + n, Machine().WindowsDir() + "\\" + n};
    }
    DWORD first = ERROR_FILE_NOT_FOUND;
    for (size_t i = 0; i < tries.size(); ++i) {
        TResolvedPath r;
        DWORD e = ResolvePath(tries[i], r);
        if (!e && r.Exists && !r.IsDir) {
            found = r;
            return ERROR_SUCCESS;
        }
        if (i == 0) first = e ? e : (r.ParentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    return first == ERROR_INVALID_NAME ? ERROR_FILE_NOT_FOUND : first;
}

DWORD ParseProgram(const std::string& cmdLine, TProgram& prog) {
    std::string s = TrimLeft(cmdLine);
    if (s.empty()) return ERROR_FILE_NOT_FOUND;
    if (s[0] == '"') {
        size_t close = s.find('"', 1);
        std::string name = s.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        prog.Args = close == std::string::npos ? "" : TrimLeft(s.substr(close + 1));
        return FindProgram(name, prog.Path);
    }
    // Unquoted: the shortest run of words that names a file, as CreateProcess takes it.
    DWORD first = ERROR_SUCCESS;
    for (size_t pos = 0;;) {
        size_t end = s.find(' ', pos);
        DWORD e = FindProgram(s.substr(0, end), prog.Path);
        if (!e) {
            prog.Args = end == std::string::npos ? "" : TrimLeft(s.substr(end));
            return ERROR_SUCCESS;
        }
        if (!first) first = e;
        if (end == std::string::npos) return first;
        pos = end + 1;
    }
}

DWORD Classify(TProgram& prog) {
    std::string ext = Extension(prog.Path);
    char head[4] = {};
    std::ifstream in(prog.Path.Host, std::ios::binary);
    in.read(head, 4);
    size_t got = static_cast<size_t>(in.gcount());
    if (got == 4 && memcmp(head, "\x7f" "ELF", 4) == 0) prog.Kind = TKind::Host;
    else if (got >= 2 && head[0] == '#' && head[1] == '!') prog.Kind = TKind::Host;
    else if (ext == ".BAT" || ext == ".CMD") prog.Kind = TKind::Batch;
    else if ((got >= 2 && head[0] == 'M' && head[1] == 'Z') || ext == ".COM" || ext == ".PIF") prog.Kind = TKind::Windows;
    else return ERROR_BAD_FORMAT;
    return ERROR_SUCCESS;
}

std::string ExitText(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// In a forked child: becomes the program (never returns).
[[noreturn]] void ExecHost(const TProgram& prog, const std::string& cwdHost, const std::string& cwdWin) {
    std::vector<std::string> args = {prog.Path.Host};
    for (const auto& a : SplitCommandLine(prog.Args)) args.push_back(AnsiToUtf8(a));
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::setenv("KELVANE_MACHINE", Machine().Root().c_str(), 1);
    ::setenv("KELVANE_CWD", cwdWin.c_str(), 1);
    if (::chdir(cwdHost.c_str()) != 0) ::_exit(127);
    // Windows has no execute permission; a file copied into the machine may lack it.
    struct stat st;
    if (::stat(prog.Path.Host.c_str(), &st) == 0 && !(st.st_mode & S_IXUSR))
        ::chmod(prog.Path.Host.c_str(), (st.st_mode | S_IXUSR | S_IXGRP | S_IXOTH) & 07777);
    ::execv(prog.Path.Host.c_str(), argv.data());
    ::_exit(127);
}

// Runs the program (or batch) to its end in this process; returns the end's journal text.
std::string RunToEnd(const TProgram& prog, const std::string& cwdHost, const std::string& cwdWin, int& code) {
    if (prog.Kind == TKind::Batch) {
        code = RunBatchFile(prog.Path.Win.Full());
        return "exit " + std::to_string(code);
    }
    pid_t pid = ::fork();
    if (pid == 0) ExecHost(prog, cwdHost, cwdWin);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) < 0) {
        code = -1;
        return "could not be started";
    }
    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return ExitText(status);
}

std::string HostCwd() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? buf : "/";
}

}  // namespace

UINT StartProgram(const std::string& cmdLine, UINT cmdShow, bool wait, int* exitCode) {
    if (exitCode) *exitCode = 0;
    TProgram prog;
    DWORD e = ParseProgram(cmdLine, prog);
    if (!e) e = Classify(prog);
    if (e) {
        SetLastError(e);
        return e;
    }
    TMachine& m = Machine();
    std::string name = prog.Path.Win.Full();
    std::string what = prog.Kind == TKind::Host ? "host program" : prog.Kind == TKind::Batch ? "batch file"
                                                                                            : "Windows program, not run";
    m.Journal("start " + name + (prog.Args.empty() ? "" : " " + prog.Args) + " [" + ShowWindowName(cmdShow) + "] (" +
              what + ")");
    if (prog.Kind == TKind::Windows) return 33;
    std::string cwdHost = HostCwd(), cwdWin = GetCurrentDir();
    if (wait) {
        int code = 0;
        m.Journal("end " + name + " " + RunToEnd(prog, cwdHost, cwdWin, code));
        if (exitCode) *exitCode = code;
        return 33;
    }
    // Without waiting: a child that leaves at once, and its child, which runs the program to
    // its end and records it, outliving this process. No zombie is left behind.
    pid_t pid = ::fork();
    if (pid < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (pid == 0) {
        if (::fork() != 0) ::_exit(0);
        ForgetInheritedHandles();
        int code = 0;
        std::string end = RunToEnd(prog, cwdHost, cwdWin, code);
        Machine().Journal("end " + name + " " + end);
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    return 33;
}

UINT WinExec(const char* cmdLine, UINT cmdShow) { return StartProgram(cmdLine ? cmdLine : "", cmdShow, false); }

// ---- the batch interpreter ---------------------------------------------------------------------

namespace {

class TBatch {
public:
    explicit TBatch(const std::string& file) : FFile(file) {}

    void Run(const std::string& text) {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            Command(Trim(line));
        }
    }

private:
    void Note(const std::string& what) { Machine().Journal("batch " + FFile + ": " + what); }

    void Failed(const std::string& line) { Note(line + ": " + SysErrorMessage(GetLastError())); }

    // Paths of a command's arguments without its switches; wildcards expanded.
    static std::vector<std::string> Args(const std::string& rest) {
        std::vector<std::string> out;
        for (const auto& a : SplitCommandLine(rest))
            if (a[0] != '/') out.push_back(a);
        return out;
    }

    // The files (and with Dirs the folders) a name or pattern stands for.
    static std::vector<std::string> Matches(const std::string& pattern, bool dirs) {
        std::vector<std::string> out;
        if (pattern.find_first_of("*?") == std::string::npos) {
            if (FileExists(pattern) || (dirs && DirectoryExists(pattern))) out.push_back(ExpandFileName(pattern));
            return out;
        }
        std::string full = ExpandFileName(pattern);
        std::string dir = full.substr(0, full.rfind('\\') + 1);
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA(pattern.c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return out;
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..") continue;
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || dirs) out.push_back(dir + n);
        } while (FindNextFileA(h, &fd));
        FindClose(h);
        return out;
    }

    bool DeleteTree(const std::string& path) {
        if (!(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            return DeleteFileA(path.c_str());
        }
        bool ok = true;
        for (const auto& child : Matches(path + "\\*.*", true)) ok = DeleteTree(child) && ok;
        return ok && RemoveDirectoryA(path.c_str());
    }

    // MOVE and COPY: sources onto a file, or into a folder.
    void Transfer(const std::string& cmd, const std::string& rest, bool move) {
        std::vector<std::string> args = Args(rest);
        if (args.empty() || (move && args.size() < 2)) return Note(cmd + " " + rest + ": the syntax is incorrect");
        std::string dest = args.size() > 1 ? args.back() : ".";
        if (args.size() > 1) args.pop_back();
        std::vector<std::string> sources;
        for (const auto& a : args) {
            auto m = Matches(a, move);
            if (m.empty()) Note(cmd + " " + a + ": " + SysErrorMessage(ERROR_FILE_NOT_FOUND));
            sources.insert(sources.end(), m.begin(), m.end());
        }
        bool intoFolder = DirectoryExists(dest);
        if (!intoFolder && sources.size() > 1) return Note(cmd + " " + rest + ": cannot put several files in one file");
        for (const auto& src : sources) {
            std::string target = intoFolder ? ExpandFileName(dest) + "\\" + src.substr(src.rfind('\\') + 1) : dest;
            bool ok = move ? MoveFileExA(src.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)
                           : CopyFileA(src.c_str(), target.c_str(), false);
            if (!ok) Failed(cmd + " " + src + " " + target);
        }
    }

    void Command(std::string line) {
        if (!line.empty() && line[0] == '@') line = TrimLeft(line.substr(1));
        if (line.empty() || line[0] == ':') return;
        size_t end = line.find_first_of(" \t");
        std::string cmd = UpperCase(line.substr(0, end));
        std::string rest = end == std::string::npos ? "" : Trim(line.substr(end));
        if (cmd == "REM" || cmd == "ECHO" || cmd == "ECHO." || cmd == "CLS") return;
        if (cmd == "ERASE" || cmd == "DEL") {
            for (const auto& a : Args(rest)) {
                std::string pattern = DirectoryExists(a) ? a + "\\*.*" : a;
                auto files = Matches(pattern, false);
                if (files.empty()) Note(cmd + " " + a + ": " + SysErrorMessage(ERROR_FILE_NOT_FOUND));
                for (const auto& f : files)
                    if (!DeleteFileA(f.c_str())) Failed(cmd + " " + f);
            }
            return;
        }
        if (cmd == "DELTREE") {
            for (const auto& a : Args(rest))
                for (const auto& p : Matches(a, true))
                    if (!DeleteTree(p)) Failed(cmd + " " + p);
            return;
        }
        if (cmd == "MOVE") return Transfer(cmd, rest, true);
        if (cmd == "COPY") return Transfer(cmd, rest, false);
        Note("unknown command: " + line);
    }

    std::string FFile;
};

}  // namespace

int RunBatchFile(const std::string& winPath) {
    std::string text;
    try {
        TFileStream s(winPath, fmOpenRead | fmShareDenyNone);
        text.resize(static_cast<size_t>(s.Size()));
        s.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
    } catch (const Exception& e) {
        Machine().Journal("batch " + winPath + ": " + e.Message());
        return 1;
    }
    TBatch(ExpandFileName(winPath)).Run(text);
    return 0;
}

// ---- this program ------------------------------------------------------------------------------

namespace {
std::optional<std::vector<std::string>>& ArgsOverride() {
    static std::optional<std::vector<std::string>> args;
    return args;
}

std::vector<std::string> HostArgs() {
    if (ArgsOverride()) return *ArgsOverride();
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string a;
    while (std::getline(in, a, '\0')) args.push_back(a);
    return args;
}
}  // namespace

DWORD GetModuleFileNameA(HMODULE, char* buffer, DWORD size) {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    exe[n] = 0;
    std::string win = WinPathFromHost(exe);
    if (size <= win.size()) {
        // As Windows: truncated to the buffer, ERROR_INSUFFICIENT_BUFFER.
        if (size) {
            memcpy(buffer, win.c_str(), size - 1);
            buffer[size - 1] = 0;
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buffer, win.c_str(), win.size() + 1);
    return static_cast<DWORD>(win.size());
}

std::string ParamStr(int index) {
    if (index == 0) {
        char buf[MAX_PATH * 4];
        DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
        return std::string(buf, n);
    }
    auto args = HostArgs();
    return index > 0 && static_cast<size_t>(index) < args.size() ? Utf8ToAnsi(args[index]) : "";
}

void SetCommandLine(int argc, const char* const* argv) { ArgsOverride() = std::vector<std::string>(argv, argv + argc); }

void SetCommandLine(const std::vector<std::string>& args) {
    std::vector<std::string> all{""};
    for (const auto& a : args) all.push_back(AnsiToUtf8(a));
    ArgsOverride() = all;
}

int ParamCount() {
    auto args = HostArgs();
    return args.empty() ? 0 : static_cast<int>(args.size()) - 1;
}

}  // namespace kv
