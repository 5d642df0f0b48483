#include "platform/Paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

namespace kv {

namespace fs = std::filesystem;

std::string TWinPath::Root() const {
    if (Drive) return std::string(1, Drive) + ":\\";
    return "\\\\" + Server + "\\" + Share + "\\";
}

std::string TWinPath::Full() const {
    std::string s = Root();
    for (size_t i = 0; i < Parts.size(); ++i) s += (i ? "\\" : "") + Parts[i];
    return s;
}

namespace {

bool IsBadChar(unsigned char c, bool wild) {
    if (c < 32) return true;
    switch (c) {
        case '<': case '>': case ':': case '"': case '|': return true;
        case '?': case '*': return !wild;
        default: return false;
    }
}

DWORD CheckName(const std::string& name, bool wild) {
    if (name.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
    for (unsigned char c : name)
        if (IsBadChar(c, wild)) return ERROR_INVALID_NAME;
    return ERROR_SUCCESS;
}

bool HasWild(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

std::string HostCwd() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

std::mutex gCwdLock;
bool gCwdValid = false;
bool gCwdEnvTried = false;
TWinPath gCwd;
std::string gCwdHost;

TWinPath CurrentDirPath();

// Appends the names of Rest to Out, folding ".", ".." and empty names.
DWORD AddParts(TWinPath& out, const std::string& rest, bool validate, bool wildLast) {
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos) end = rest.size();
        std::string name = rest.substr(start, end - start);
        bool last = end == rest.size();
        start = end + 1;
        if (name == ".") continue;
        if (name == "..") {
            if (!out.Parts.empty()) out.Parts.pop_back();
            continue;
        }
        // Windows drops trailing dots and blanks of a name ("a. " is "a"); a wildcard
        // pattern keeps them, "*." means "without an extension".
        if (!(last && wildLast && HasWild(name))) {
            size_t keep = name.find_last_not_of(". ");
            name.erase(keep == std::string::npos ? 0 : keep + 1);
        }
        if (name.empty()) continue;
        if (validate) {
            DWORD e = CheckName(name, wildLast && last);
            if (e) return e;
        }
        out.Parts.push_back(name);
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ParseWinPath(const std::string& path, TWinPath& out, bool validate, bool wildLast) {
    out = TWinPath();
    if (path.empty()) return ERROR_PATH_NOT_FOUND;
    if (path.find('\0') != std::string::npos) return ERROR_INVALID_NAME;
    std::string p = path[0] == '/' ? "Z:" + path : path;
    std::replace(p.begin(), p.end(), '/', '\\');
    std::string rest;
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        size_t s1 = p.find('\\', 2);
        if (s1 == std::string::npos) return ERROR_BAD_PATHNAME;
        size_t s2 = p.find('\\', s1 + 1);
        out.Server = p.substr(2, s1 - 2);
        out.Share = p.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
        if (out.Server.empty() || out.Share.empty()) return ERROR_BAD_PATHNAME;
        if (CheckName(out.Server, false) || CheckName(out.Share, false) || HasWild(out.Server))
            return ERROR_INVALID_NAME;
        rest = s2 == std::string::npos ? "" : p.substr(s2 + 1);
    } else if (p.size() >= 2 && p[1] == ':' && isalpha(static_cast<unsigned char>(p[0])) &&
               static_cast<unsigned char>(p[0]) < 128) {
        char drive = static_cast<char>(toupper(static_cast<unsigned char>(p[0])));
        if (p.size() >= 3 && p[2] == '\\') {
            out.Drive = drive;
            rest = p.substr(3);
        } else {
            TWinPath cwd = CurrentDirPath();
            if (cwd.Drive == drive) out = cwd;
            else out.Drive = drive;
            rest = p.substr(2);
        }
    } else {
        TWinPath cwd = CurrentDirPath();
        if (p[0] == '\\') {
            out = cwd;
            out.Parts.clear();
            rest = p.substr(1);
        } else {
            out = cwd;
            rest = p;
        }
    }
    DWORD e = AddParts(out, rest, validate, wildLast);
    if (e) return e;
    if (validate && out.Full().size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    return ERROR_SUCCESS;
}

// ---- short names -------------------------------------------------------------------

bool IsShortName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    size_t dot = name.find('.');
    if (dot != std::string::npos && (dot == 0 || name.find('.', dot + 1) != std::string::npos)) return false;
    size_t baseLen = dot == std::string::npos ? name.size() : dot;
    size_t extLen = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (baseLen > 8 || extLen > 3 || (dot != std::string::npos && extLen == 0)) return false;
    for (unsigned char c : name) {
        if (c == '.') continue;
        if (c <= ' ' || IsBadChar(c, false) || strchr("+,;=[]*?\\/", c)) return false;
    }
    return true;
}

namespace {

std::string AliasPart(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == ' ' || c == '.') continue;
        out += strchr("+,;=[]", c) || IsBadChar(c, false) ? '_' : AnsiUpperChar(static_cast<char>(c));
    }
    return out;
}

}  // namespace

std::vector<std::string> ListHostDir(const std::string& hostDir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(hostDir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.push_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

std::vector<std::pair<std::string, std::string>> ShortAliases(const std::string& hostDir) {
    std::vector<std::string> names;
    for (const auto& h : ListHostDir(hostDir)) names.push_back(Utf8ToAnsi(h));
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        std::string ua = AnsiUpperCase(a), ub = AnsiUpperCase(b);
        return ua != ub ? ua < ub : a < b;
    });
    std::set<std::string> taken;
    for (const auto& n : names)
        if (IsShortName(n)) taken.insert(AnsiUpperCase(n));
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& n : names) {
        if (IsShortName(n)) continue;
        size_t dot = n.rfind('.');
        if (dot == 0) dot = std::string::npos;
        std::string base = AliasPart(n.substr(0, dot));
        std::string ext = dot == std::string::npos ? "" : AliasPart(n.substr(dot + 1)).substr(0, 3);
        if (base.empty()) base = "_";
        for (int k = 1;; ++k) {
            std::string num = "~" + std::to_string(k);
            std::string alias = base.substr(0, std::min<size_t>(6, 8 - num.size())) + num + (ext.empty() ? "" : "." + ext);
            if (taken.insert(alias).second) {
                out.emplace_back(n, alias);
                break;
            }
        }
    }
    return out;
}

namespace {

// Finds Name in a host folder: exactly, then without regard to case, then by its alias.
bool FindEntry(const std::string& hostDir, const std::string& name, std::string& hostName) {
    struct stat st;
    std::string exact = AnsiToUtf8(name);
    if (::lstat((hostDir + "/" + exact).c_str(), &st) == 0) {
        hostName = exact;
        return true;
    }
    std::vector<std::string> entries = ListHostDir(hostDir);
    std::sort(entries.begin(), entries.end());
    for (const auto& e : entries)
        if (AnsiCompareText(Utf8ToAnsi(e), name) == 0) {
            hostName = e;
            return true;
        }
    if (name.find('~') != std::string::npos && IsShortName(name))
        for (const auto& [longName, alias] : ShortAliases(hostDir))
            if (AnsiCompareText(alias, name) == 0) {
                hostName = AnsiToUtf8(longName);
                return true;
            }
    return false;
}

bool HostIsDir(const std::string& host) {
    struct stat st;
    return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string TResolvedPath::Key() const { return AnsiUpperCase(Win.Full()); }

DWORD ResolvePath(const std::string& path, TResolvedPath& out, bool wildLast) {
    out = TResolvedPath();
    DWORD e = ParseWinPath(path, out.Win, true, wildLast);
    if (e) return e;
    TMachine& m = Machine();
    std::string host;
    if (out.Win.Drive) {
        out.Drive = m.FindDrive(out.Win.Drive);
        if (!out.Drive) return ERROR_PATH_NOT_FOUND;
        host = out.Drive->HostDir;
        if (!HostIsDir(host))
            return out.Drive->Type == DRIVE_REMOVABLE || out.Drive->Type == DRIVE_CDROM ? ERROR_NOT_READY
                                                                                       : ERROR_PATH_NOT_FOUND;
    } else {
        const TUncShare* share = m.FindShare(out.Win.Server, out.Win.Share);
        if (!share || !HostIsDir(share->HostDir)) return ERROR_BAD_NETPATH;
        host = share->HostDir;
    }
    bool exists = true, isDir = true;
    size_t n = out.Win.Parts.size();
    out.ParentExists = true;
    for (size_t i = 0; i < n; ++i) {
        std::string& part = out.Win.Parts[i];
        std::string hostName;
        if (exists && isDir && FindEntry(host, part, hostName)) {
            host += (host == "/" ? "" : "/") + hostName;
            part = Utf8ToAnsi(hostName);
            isDir = HostIsDir(host);
            if (i + 1 < n && !isDir) out.ParentExists = false;
            continue;
        }
        if (i + 1 < n || !exists || !isDir) out.ParentExists = false;
        exists = false;
        host += (host == "/" ? "" : "/") + AnsiToUtf8(part);
    }
    out.Host = host;
    out.Exists = exists;
    out.IsDir = exists && isDir;
    return ERROR_SUCCESS;
}

std::string HostPath(const std::string& winPath) {
    TResolvedPath r;
    DWORD e = ResolvePath(winPath, r);
    if (e) throw EOSError(e);
    return r.Host;
}

std::string WinPathFromHost(const std::string& hostPath) {
    std::error_code ec;
    fs::path abs = hostPath.empty() || hostPath[0] != '/' ? fs::path(HostCwd()) / hostPath : fs::path(hostPath);
    std::string canon = fs::weakly_canonical(abs, ec).string();
    if (ec) canon = abs.lexically_normal().string();
    while (canon.size() > 1 && canon.back() == '/') canon.pop_back();
    TMachine& m = Machine();
    std::string bestRoot, bestDir;
    size_t bestLen = 0;
    bool found = false;
    auto consider = [&](const std::string& root, const std::string& dir) {
        std::string d = fs::weakly_canonical(dir, ec).string();
        if (ec) d = dir;
        while (d.size() > 1 && d.back() == '/') d.pop_back();
        bool inside = d == "/" || canon == d || (canon.size() > d.size() && canon.compare(0, d.size(), d) == 0 &&
                                                 canon[d.size()] == '/');
        if (inside && (!found || d.size() > bestLen)) {
            found = true;
            bestLen = d.size();
            bestRoot = root;
            bestDir = d;
        }
    };
    for (const auto& d : m.Drives()) consider(std::string(1, d.Letter) + ":\\", d.HostDir);
    for (const auto& s : m.UncShares()) consider(s.Name + "\\", s.HostDir);
    if (!found) return "";
    std::string rest = bestDir == "/" ? canon.substr(1) : canon.substr(std::min(canon.size(), bestDir.size() + 1));
    std::string win = bestRoot;
    size_t start = 0;
    while (start < rest.size()) {
        size_t slash = rest.find('/', start);
        if (slash == std::string::npos) slash = rest.size();
        if (win.back() != '\\') win += '\\';
        win += Utf8ToAnsi(rest.substr(start, slash - start));
        start = slash + 1;
    }
    return win;
}

// ---- the current folder ------------------------------------------------------------

namespace {

TWinPath CurrentDirPath() {
    std::string host = HostCwd();
    {
        std::lock_guard<std::mutex> lock(gCwdLock);
        if (gCwdValid && host == gCwdHost) return gCwd;
    }
    std::string win;
    // A program started inside the machine learns its Windows current folder (which may
    // be a share) from its starter, as long as it still stands there.
    bool tryEnv = false;
    {
        std::lock_guard<std::mutex> lock(gCwdLock);
        tryEnv = !gCwdEnvTried;
        gCwdEnvTried = true;
    }
    const char* env = tryEnv ? std::getenv("KELVANE_CWD") : nullptr;
    TWinPath parsed;
    if (env && *env) {
        TResolvedPath r;
        std::error_code ec;
        if (ResolvePath(env, r) == ERROR_SUCCESS && r.IsDir && fs::equivalent(r.Host, host, ec)) win = r.Win.Full();
    }
    if (win.empty()) win = WinPathFromHost(host);
    if (win.empty() || ParseWinPath(win, parsed, false) != ERROR_SUCCESS) {
        parsed = TWinPath();
        parsed.Drive = 'C';
    }
    std::lock_guard<std::mutex> lock(gCwdLock);
    gCwd = parsed;
    gCwdHost = host;
    gCwdValid = true;
    return parsed;
}

}  // namespace

void ResetCurrentDir() {
    std::lock_guard<std::mutex> lock(gCwdLock);
    gCwdValid = false;
}

std::string GetCurrentDir() { return CurrentDirPath().Full(); }

bool SetCurrentDir(const std::string& path) {
    TResolvedPath r;
    DWORD e = ResolvePath(path, r);
    if (!e && !r.Exists) e = r.ParentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (!e && !r.IsDir) e = ERROR_DIRECTORY;
    if (!e && ::chdir(r.Host.c_str()) != 0) e = ERROR_ACCESS_DENIED;
    if (e) {
        SetLastError(e);
        return false;
    }
    std::lock_guard<std::mutex> lock(gCwdLock);
    gCwd = r.Win;
    gCwdHost = HostCwd();
    gCwdValid = true;
    return true;
}

DWORD CopyToBuffer(const std::string& text, char* buffer, DWORD size) {
    if (buffer && size > text.size()) {
        memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    return static_cast<DWORD>(text.size() + 1);
}

DWORD GetCurrentDirectoryA(DWORD size, char* buffer) { return CopyToBuffer(GetCurrentDir(), buffer, size); }

BOOL SetCurrentDirectoryA(const char* path) { return SetCurrentDir(path ? path : ""); }

std::string ExpandFileName(const std::string& path) {
    TWinPath w;
    DWORD e = ParseWinPath(path, w, false);
    if (e) {
        SetLastError(e);
        return "";
    }
    return w.Full();
}

DWORD GetFullPathNameA(const char* fileName, DWORD size, char* buffer, char** filePart) {
    std::string full = ExpandFileName(fileName ? fileName : "");
    if (full.empty()) return 0;
    DWORD n = CopyToBuffer(full, buffer, size);
    if (filePart) {
        *filePart = nullptr;
        size_t slash = full.rfind('\\');
        if (n < size && slash + 1 < full.size()) *filePart = buffer + slash + 1;
    }
    return n;
}

std::string ShortPathName(const std::string& path) {
    TResolvedPath r;
    DWORD e = ResolvePath(path, r);
    if (!e && !r.Exists) e = r.ParentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (e) {
        SetLastError(e);
        return "";
    }
    // Walk down again from the root, naming each folder by its alias where it has one.
    std::string host = r.Drive ? r.Drive->HostDir : Machine().FindShare(r.Win.Server, r.Win.Share)->HostDir;
    std::string out = r.Win.Root();
    for (size_t i = 0; i < r.Win.Parts.size(); ++i) {
        const std::string& name = r.Win.Parts[i];
        std::string shortName = name;
        if (!IsShortName(name))
            for (const auto& [longName, alias] : ShortAliases(host))
                if (longName == name) shortName = alias;
        out += (i ? "\\" : "") + shortName;
        host += (host == "/" ? "" : "/") + AnsiToUtf8(name);
    }
    return out;
}

DWORD GetShortPathNameA(const char* longPath, char* shortPath, DWORD size) {
    std::string s = ShortPathName(longPath ? longPath : "");
    return s.empty() ? 0 : CopyToBuffer(s, shortPath, size);
}

DWORD GetLongPathNameA(const char* shortPath, char* longPath, DWORD size) {
    TResolvedPath r;
    DWORD e = ResolvePath(shortPath ? shortPath : "", r);
    if (!e && !r.Exists) e = r.ParentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (e) {
        SetLastError(e);
        return 0;
    }
    return CopyToBuffer(r.Win.Full(), longPath, size);
}

}  // namespace kv
