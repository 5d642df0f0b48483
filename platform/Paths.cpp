#include "platform/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

size_t TWinPath::FullSize() const {
    size_t n = Drive ? 3 : 4 + Server.size() + Share.size();  // the root's
    for (const auto& p : Parts) n += p.size() + 1;
    return Parts.empty() ? n : n - 1;
}

std::string TWinPath::Full() const {
    std::string s = Root();
    s.reserve(FullSize());
    for (size_t i = 0; i < Parts.size(); ++i) {
        if (i) s += '\\';
        s += Parts[i];
    }
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
        out.Parts.push_back(std::move(name));
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
    if (validate && out.FullSize() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
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

// Lookups without regard to case list a folder. The listings of a few folders used
// last are kept, each current through the kernel's notifications of names created,
// removed and renamed in it (inotify), so that other processes' changes show at once.
// Where notifications are not to be had, every lookup lists the folder.
class TFolderIndex;
TFolderIndex& FolderIndex();

class TFolderIndex {
public:
    TFolderIndex() {
        ::pthread_atfork(nullptr, nullptr, [] { FolderIndex().FForked = true; });
    }

    // The smallest host name of HostDir (whose stat is Dir) that equals Folded, an
    // upper-cased ANSI name, without regard to case.
    bool Find(const std::string& hostDir, const struct stat& dir, const std::string& folded, std::string& hostName) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FForked) Restart();
        TFolder* f = nullptr;
        if (FFd >= 0) {
            Drain();
            f = Lookup(hostDir, dir);
        }
        if (!f) {
            TFolder scratch;
            f = FFd >= 0 ? Watch(hostDir, dir) : nullptr;
            if (!f) f = &scratch;  // nothing kept
            for (const auto& h : ListHostDir(hostDir)) f->Names.emplace(Folded(h), h);
            if (f == &scratch) return Search(scratch, folded, hostName);
        }
        f->Used = ++FClock;
        return Search(*f, folded, hostName);
    }

    // Whether HostDir is the trusted folder: it and every folder above it are watched,
    // and no name on the way changed since the way was looked at. Then Found tells
    // whether a host name there equals Folded (the smallest in HostName), and Dir
    // is the folder's descriptor.
    bool FindTrusted(const std::string& hostDir, const std::string& folded, std::string& hostName, bool& found,
                     std::shared_ptr<const THostFolder>& dir) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FForked || FFd < 0) return false;
        Drain();
        if (!FTrust.Valid || FTrust.Host != hostDir) return false;
        TFolder* f = ByWd(FTrust.Wd);
        if (!f || f->Host != hostDir) {
            FTrust.Valid = false;
            return false;
        }
        f->Used = ++FClock;
        found = Search(*f, folded, hostName);
        dir = FTrust.Dir;
        return true;
    }

    // After a lookup in HostDir (whose stat is Dir) that kept its listing: watches the
    // folders above it too, so that lookups there need no look on the host for the way
    // to it while no name on the way changes. Mounts made on the way are not seen.
    void Trust(const std::string& hostDir, const struct stat& dir) {
        std::lock_guard<std::mutex> lock(FLock);
        if (FForked || FFd < 0) return;
        Drain();  // what happened before counts against the way trusted then
        if (FTrust.Valid && FTrust.Host == hostDir && FTrust.Dev == dir.st_dev && FTrust.Ino == dir.st_ino) return;
        if (hostDir == FUnwatchable) return;
        TFolder* f = Lookup(hostDir, dir);
        if (!f) return;
        TTrust t;
        t.Host = hostDir;
        t.Dev = dir.st_dev;
        t.Ino = dir.st_ino;
        t.Wd = f->Wd;
        // "/" holds "a", "/a" holds "b", "/a/b" holds "c" of "/a/b/c".
        for (size_t at = 0; at < hostDir.size() && hostDir[at] == '/';) {
            size_t next = std::min(hostDir.find('/', at + 1), hostDir.size());
            TTrust::TAbove a{at == 0 ? "/" : hostDir.substr(0, at), -1, Folded(hostDir.substr(at + 1, next - at - 1))};
            at = next;
            if (a.Step.empty()) continue;
            const size_t k = t.Above.size();
            // The folders above the last trusted one mostly stay.
            if (FTrust.Valid && k < FTrust.Above.size() && FTrust.Above[k].Dir == a.Dir) a.Wd = FTrust.Above[k].Wd;
            else a.Wd = ::inotify_add_watch(FFd, a.Dir.c_str(), kMask);
            if (a.Wd < 0) {  // a folder that cannot be read, or no watches left
                Release(t, FTrust);
                FUnwatchable = hostDir;
                return;
            }
            t.Above.push_back(std::move(a));
        }
        // The way looked at once more now that it is watched.
        int fd = ::open(hostDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat now;
        if (fd < 0 || ::fstat(fd, &now) != 0 || now.st_dev != dir.st_dev || now.st_ino != dir.st_ino) {
            if (fd >= 0) ::close(fd);
            Release(t, FTrust);
            return;
        }
        t.Dir = std::make_shared<THostFolder>(fd);
        t.Valid = true;
        Release(FTrust, t);
        FTrust = std::move(t);
    }

private:
    static constexpr size_t kFolders = 16;
    static constexpr uint32_t kMask =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    static constexpr uint32_t kGone = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

    // The trusted folder and the watches on the way to it.
    struct TTrust {
        struct TAbove {
            std::string Dir;   // a folder above
            int Wd = -1;
            std::string Step;  // the name it holds on the way, folded
        };
        std::string Host;
        dev_t Dev = 0;
        ino_t Ino = 0;
        int Wd = -1;  // the folder's own (a kept listing's)
        std::vector<TAbove> Above;
        std::shared_ptr<const THostFolder> Dir;
        bool Valid = false;
        bool Uses(int wd) const {
            return std::any_of(Above.begin(), Above.end(), [wd](const TAbove& a) { return a.Wd == wd; });
        }
    };

    // A host name as listings key it: in 1252, upper-cased.
    static std::string Folded(const std::string& hostName) {
        std::string f = Utf8ToAnsi(hostName);
        AnsiUpperInPlace(f);
        return f;
    }

    // Gives up the watches above of Old that neither Keep nor a kept listing uses.
    void Release(const TTrust& old, const TTrust& keep) {
        for (const auto& a : old.Above)
            if (!keep.Uses(a.Wd) && !ByWd(a.Wd)) ::inotify_rm_watch(FFd, a.Wd);
    }

    // Whether an event changes the way to the trusted folder.
    void CheckTrust(const inotify_event& e) {
        if (e.wd == FTrust.Wd && (e.mask & kGone)) {
            FTrust.Valid = false;
            return;
        }
        for (const auto& a : FTrust.Above)
            if (a.Wd == e.wd) {
                if ((e.mask & kGone) || (e.len && Folded(e.name) == a.Step)) FTrust.Valid = false;
                return;
            }
    }

    struct TFolder {
        std::string Host;
        dev_t Dev = 0;
        ino_t Ino = 0;
        int Wd = -1;
        uint64_t Used = 0;
        std::set<std::pair<std::string, std::string>> Names;  // (folded, host name)
    };

    TFolder* ByWd(int wd) {
        for (auto& f : FFolders)
            if (f.Wd == wd) return &f;
        return nullptr;
    }

    static bool Search(const TFolder& f, const std::string& folded, std::string& hostName) {
        // Names made one after another mostly come in order: past the last, not there.
        if (f.Names.empty() || f.Names.rbegin()->first < folded) return false;
        auto it = f.Names.lower_bound({folded, std::string()});
        if (it == f.Names.end() || it->first != folded) return false;
        hostName = it->second;
        return true;
    }

    // A forked child would share (and take) its parent's notifications: it starts its own.
    void Restart() {
        if (FFd >= 0) ::close(FFd);
        FFolders.clear();
        FTrust = TTrust();
        FUnwatchable.clear();
        FForked = false;
        FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }

    TFolder* Lookup(const std::string& hostDir, const struct stat& dir) {
        // Mostly the folder of the lookup before.
        if (FLast < FFolders.size() && FFolders[FLast].Host == hostDir && FFolders[FLast].Dev == dir.st_dev &&
            FFolders[FLast].Ino == dir.st_ino)
            return &FFolders[FLast];
        for (auto& f : FFolders)
            if (f.Host == hostDir) {
                if (f.Dev == dir.st_dev && f.Ino == dir.st_ino) {
                    FLast = static_cast<size_t>(&f - FFolders.data());
                    return &f;
                }
                Drop(f.Wd, true);  // another folder stands there now
                return nullptr;
            }
        return nullptr;
    }

    TFolder* Watch(const std::string& hostDir, const struct stat& dir) {
        if (FFolders.size() >= kFolders) {
            auto oldest = std::min_element(FFolders.begin(), FFolders.end(),
                                           [](const TFolder& a, const TFolder& b) { return a.Used < b.Used; });
            Drop(oldest->Wd, true);
        }
        int wd = ::inotify_add_watch(FFd, hostDir.c_str(), kMask);
        if (wd < 0) return nullptr;
        Drop(wd, false);  // the same folder under another name
        struct stat now;
        if (::stat(hostDir.c_str(), &now) != 0 || now.st_dev != dir.st_dev || now.st_ino != dir.st_ino) {
            ::inotify_rm_watch(FFd, wd);
            return nullptr;
        }
        TFolder& f = FFolders.emplace_back();
        f.Host = hostDir;
        f.Dev = dir.st_dev;
        f.Ino = dir.st_ino;
        f.Wd = wd;
        FLast = FFolders.size() - 1;
        return &f;
    }

    void Drop(int wd, bool unwatch) {
        for (size_t i = 0; i < FFolders.size(); ++i)
            if (FFolders[i].Wd == wd) {
                if (wd == FTrust.Wd) FTrust.Valid = false;
                if (unwatch && !FTrust.Uses(wd)) ::inotify_rm_watch(FFd, wd);
                FFolders.erase(FFolders.begin() + static_cast<std::ptrdiff_t>(i));
                return;
            }
    }

    // Applies the changes reported since the last look.
    void Drain() {
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n <= 0) return;
            // A read stops only where the next event does not fit: with room for any
            // event left, nothing more waited.
            bool all = static_cast<size_t>(n) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buf;
            for (ssize_t p = 0; p < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + p);
                p += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                if (e->mask & IN_Q_OVERFLOW) {
                    for (auto& f : FFolders) ::inotify_rm_watch(FFd, f.Wd);
                    FFolders.clear();
                    Release(FTrust, TTrust());
                    FTrust = TTrust();
                    continue;
                }
                if (FTrust.Valid) CheckTrust(*e);
                auto f = FLast < FFolders.size() && FFolders[FLast].Wd == e->wd
                             ? FFolders.begin() + static_cast<std::ptrdiff_t>(FLast)
                             : std::find_if(FFolders.begin(), FFolders.end(), [&](const TFolder& x) { return x.Wd == e->wd; });
                if (f == FFolders.end()) continue;
                if (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
                    Drop(e->wd, !(e->mask & IN_IGNORED));
                    continue;
                }
                if (!e->len) continue;
                std::pair<std::string, std::string> entry{std::string(), e->name};
                entry.first = Folded(entry.second);
                // Names made one after another mostly come in order: the end is tried first.
                if (e->mask & (IN_CREATE | IN_MOVED_TO)) f->Names.insert(f->Names.end(), std::move(entry));
                else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) f->Names.erase(entry);
            }
            if (all) return;
        }
    }

    std::mutex FLock;
    int FFd = -1;
    bool FForked = true;  // (or not started)
    uint64_t FClock = 0;
    std::vector<TFolder> FFolders;
    size_t FLast = 0;  // the folder found last (a hint only: checked before use)
    TTrust FTrust;
    std::string FUnwatchable;  // a folder whose way could not be watched, not tried again
};

TFolderIndex& FolderIndex() {
    static TFolderIndex* index = new TFolderIndex;  // used until the process ends
    return *index;
}

// Finds Name in a host folder (whose stat is Dir): exactly (unless known to be absent),
// then without regard to case, then by its alias.
bool FindEntry(const std::string& hostDir, const struct stat& dir, const std::string& name, std::string& hostName,
               bool exactAbsent) {
    struct stat st;
    if (!exactAbsent) {
        std::string exact = AnsiToUtf8(name);
        if (::lstat((hostDir + "/" + exact).c_str(), &st) == 0) {
            hostName = std::move(exact);
            return true;
        }
    }
    if (FolderIndex().Find(hostDir, dir, AnsiUpperCase(name), hostName)) return true;
    if (name.find('~') != std::string::npos && IsShortName(name))
        for (const auto& [longName, alias] : ShortAliases(hostDir))
            if (AnsiCompareText(alias, name) == 0) {
                hostName = AnsiToUtf8(longName);
                return true;
            }
    return false;
}

std::string Join(const std::string& host, const std::string& name) { return host + (host == "/" ? "" : "/") + name; }

// Host += "/" + the host spelling of an ANSI name.
void AppendHostName(std::string& host, const std::string& name) {
    if (host != "/") host += '/';
    if (AllAscii(name)) host += name;
    else host += AnsiToUtf8(name);
}

// A written name as the host holds it: bytes that 1252 leaves undefined do not survive
// the way to UTF-8 and back.
void AsOnHost(std::string& part) {
    for (unsigned char c : part)
        if (c >= 0x80) {
            part = Utf8ToAnsi(AnsiToUtf8(part));
            return;
        }
}

}  // namespace

THostFolder::~THostFolder() {
    if (Fd >= 0) ::close(Fd);
}

std::string TResolvedPath::Key() const {
    if (!KnownKey.empty()) return KnownKey;
    std::string key = Win.Full();
    AnsiUpperInPlace(key);
    return key;
}

namespace {

// The folder of the path resolved last, as written: files are mostly made one after
// another in one folder, and its names need not be parsed and joined each time.
struct TParentMemo {
    std::string Written;  // the path up to its last backslash, as given
    std::string DriveHost;  // the drive's host folder then: the machine may change
    std::vector<std::string> Parts;  // the folder's names, host-spelled
    std::string Host;  // the folder as written on the host
    size_t FullSize = 0;  // of the folder's full Windows path
    std::string KeyPrefix;  // its key and a backslash
    int Hits = 0;  // paths taken from it since it was kept
};
thread_local TParentMemo tMemo;

// A path of a known folder and a plain last name: its parts, the drive and the
// folder's host path as ParseWinPath and the joining below would make them.
bool FromMemo(const std::string& path, TResolvedPath& out, std::string& host, std::string& parent) {
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos || tMemo.Written.size() != slash || path.compare(0, slash, tMemo.Written) != 0)
        return false;
    std::string name = path.substr(slash + 1);
    size_t keep = name.find_last_not_of(". ");
    name.erase(keep == std::string::npos ? 0 : keep + 1);
    if (name.empty() || name.find('/') != std::string::npos || CheckName(name, false) != ERROR_SUCCESS)
        return false;
    if (tMemo.FullSize + 1 + name.size() >= MAX_PATH) return false;
    out.Drive = Machine().FindDrive(path[0]);
    if (!out.Drive || out.Drive->HostDir != tMemo.DriveHost) return false;
    out.Win.Drive = out.Drive->Letter;
    out.Win.Parts.reserve(tMemo.Parts.size() + 1);
    out.Win.Parts = tMemo.Parts;
    out.Win.Parts.push_back(std::move(name));
    host = out.Drive->HostDir;
    parent = tMemo.Host;
    return true;
}

// The key of a path resolved from the memo: the folder's, kept, and the last name's.
void KeyFromMemo(TResolvedPath& out) {
    std::string last = out.Win.Parts.back();
    AnsiUpperInPlace(last);
    out.KnownKey.reserve(tMemo.KeyPrefix.size() + last.size());
    out.KnownKey = tMemo.KeyPrefix;
    out.KnownKey += last;
}

}  // namespace

DWORD ResolvePath(const std::string& path, TResolvedPath& out, bool wildLast, bool expectNew) {
    out = TResolvedPath();
    std::string host, parent;
    bool removable = false;
    const bool memo = !wildLast && FromMemo(path, out, host, parent);
    if (memo) {
        removable = out.Drive->Type == DRIVE_REMOVABLE || out.Drive->Type == DRIVE_CDROM;
    } else {
        DWORD e = ParseWinPath(path, out.Win, true, wildLast);
        if (e) return e;
        TMachine& m = Machine();
        if (out.Win.Drive) {
            out.Drive = m.FindDrive(out.Win.Drive);
            if (!out.Drive) return ERROR_PATH_NOT_FOUND;
            host = out.Drive->HostDir;
            removable = out.Drive->Type == DRIVE_REMOVABLE || out.Drive->Type == DRIVE_CDROM;
        } else {
            const TUncShare* share = m.FindShare(out.Win.Server, out.Win.Share);
            if (!share) return ERROR_BAD_NETPATH;
            host = share->HostDir;
        }
        parent = host;
        for (size_t i = 0; i + 1 < out.Win.Parts.size(); ++i) parent = Join(parent, AnsiToUtf8(out.Win.Parts[i]));
    }
    const size_t n = out.Win.Parts.size();
    // Most paths name what exists as written: then one look settles them. For a new name
    // one more look at its folder leaves only the last name to find.
    struct stat st;
    bool lastAbsent = expectNew;  // no entry of the last name as written (or, new, none looked for)
    if (n > 0 && !expectNew) {
        std::string full = Join(parent, AnsiToUtf8(out.Win.Parts[n - 1]));
        if (::lstat(full.c_str(), &st) == 0) {
            for (auto& part : out.Win.Parts) AsOnHost(part);
            if (memo) KeyFromMemo(out);
            out.Host = full;
            out.Exists = out.ParentExists = true;
            out.IsDir = S_ISDIR(st.st_mode) ||
                        (S_ISLNK(st.st_mode) && ::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
            return ERROR_SUCCESS;
        }
        lastAbsent = errno == ENOENT;
    }
    // A remembered folder whose way is watched needs no look on the host; only names
    // found without an alias are taken this way.
    if (memo && lastAbsent) {
        std::string& part = out.Win.Parts.back();
        std::string folded = part, hostName;
        AnsiUpperInPlace(folded);
        bool found = false;
        std::shared_ptr<const THostFolder> folder;
        if (FolderIndex().FindTrusted(parent, folded, hostName, found, folder) &&
            (found || part.find('~') == std::string::npos)) {
            out.ParentExists = true;
            out.Host = std::move(parent);
            if (found) {
                out.Host = Join(out.Host, hostName);
                part = Utf8ToAnsi(hostName);
                out.Exists = true;
                out.IsDir = ::stat(out.Host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            } else {
                out.HostName = AllAscii(part) ? part : AnsiToUtf8(part);
                if (out.Host != "/") out.Host += '/';
                out.Host += out.HostName;
                out.Folder = std::move(folder);
            }
            if (found) KeyFromMemo(out);
            else out.KnownKey = tMemo.KeyPrefix + folded;  // the last name, upper-cased already
            return ERROR_SUCCESS;
        }
    }
    // St is the stat of Host while that is a folder.
    size_t first = 0;  // the first name still to find
    struct stat folderSt {};  // of the remembered folder, when it was found
    if (n > 1 && ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (!memo) {
            for (size_t i = 0; i + 1 < n; ++i) AsOnHost(out.Win.Parts[i]);
            // Only plain drive paths are kept ("C:\folder\name"): their folder's parse
            // depends neither on the current folder nor on the last name, which must
            // be the last part (not "..", "." or nothing).
            const size_t slash = path.rfind('\\');
            const size_t lastChar = path.find_last_not_of(". ");
            if (out.Win.Drive && !wildLast && path.size() > 3 && path[1] == ':' && path[2] == '\\' &&
                slash != std::string::npos && lastChar != std::string::npos && lastChar > slash &&
                path.find('/') == std::string::npos) {
                tMemo.Written = path.substr(0, slash);
                tMemo.DriveHost = out.Drive->HostDir;
                tMemo.Parts.assign(out.Win.Parts.begin(), out.Win.Parts.end() - 1);
                tMemo.Host = parent;
                tMemo.FullSize = out.Win.FullSize() - 1 - out.Win.Parts.back().size();
                TWinPath folder{out.Win.Drive, {}, {}, tMemo.Parts};
                tMemo.KeyPrefix = folder.Full() + "\\";
                AnsiUpperInPlace(tMemo.KeyPrefix);
                tMemo.Hits = 0;
            }
        }
        host = std::move(parent);
        first = n - 1;
        folderSt = st;
    } else {
        if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            if (!out.Win.Drive) return ERROR_BAD_NETPATH;
            return removable ? ERROR_NOT_READY : ERROR_PATH_NOT_FOUND;
        }
        if (n > 1) lastAbsent = false;  // not known: its folder may be spelt otherwise
    }
    bool exists = true, isDir = true;
    out.ParentExists = true;
    for (size_t i = first; i < n; ++i) {
        std::string& part = out.Win.Parts[i];
        std::string hostName;
        if (exists && isDir && FindEntry(host, st, part, hostName, lastAbsent && i + 1 == n)) {
            host = Join(host, hostName);
            part = Utf8ToAnsi(hostName);
            isDir = ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            if (i + 1 < n && !isDir) out.ParentExists = false;
            continue;
        }
        if (i + 1 < n || !exists || !isDir) out.ParentExists = false;
        exists = false;
        AppendHostName(host, part);
    }
    if (memo && first == n - 1) {
        KeyFromMemo(out);  // the folder's names are the memo's
        // A third path in a row: the way to it is worth watching.
        if (++tMemo.Hits >= 2) FolderIndex().Trust(tMemo.Host, folderSt);
    }
    out.Host = std::move(host);
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
