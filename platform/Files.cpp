#include "platform/Files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/Handles.h"
#include "platform/Sqlite.h"

namespace kv {

BOOL DelayMoveUntilReboot(const char* existingFileName, const char* newFileName, DWORD flags);  // Boot.cpp

// ---- the handle table ----------------------------------------------------------------

namespace {
std::mutex gHandleLock;
std::map<uintptr_t, std::unique_ptr<THandleObject>> gHandles;
uintptr_t gNextHandle = 0x100;
}  // namespace

HANDLE AddHandle(std::unique_ptr<THandleObject> obj) {
    std::lock_guard<std::mutex> lock(gHandleLock);
    uintptr_t h = gNextHandle;
    gNextHandle += 4;
    gHandles[h] = std::move(obj);
    return reinterpret_cast<HANDLE>(h);
}

THandleObject* FindHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(gHandleLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(h));
    return it == gHandles.end() ? nullptr : it->second.get();
}

std::unique_ptr<THandleObject> TakeHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(gHandleLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(h));
    if (it == gHandles.end()) return nullptr;
    auto obj = std::move(it->second);
    gHandles.erase(it);
    return obj;
}

namespace {

template <class T>
T Fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

DWORD ErrnoToWin(int e) {
    switch (e) {
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EEXIST: return ERROR_FILE_EXISTS;
        case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        default: return ERROR_ACCESS_DENIED;
    }
}

// The three rights that share modes govern, in the bit positions of FILE_SHARE_*.
enum : DWORD { kRead = 1, kWrite = 2, kDelete = 4 };

DWORD Rights(DWORD access) {
    DWORD a = 0;
    if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL)) a |= kRead;
    if (access & (GENERIC_WRITE | GENERIC_ALL)) a |= kWrite;
    if (access & (DELETE | GENERIC_ALL)) a |= kDelete;
    return a;
}

// An opening without data access (attributes only) takes no part in sharing.
bool Conflicts(DWORD newRights, DWORD newShare, DWORD oldRights, DWORD oldShare) {
    if (!newRights || !oldRights) return false;
    return (newRights & ~oldShare & 7) || (oldRights & ~newShare & 7);
}

// ---- sharing ----------------------------------------------------------------------------
// The open files of all the machine's programs are byte-range locks of open file
// descriptions (OFD locks) on the machine's opens.lock, one description per handle: the
// kernel drops them when the handle closes or its program ends, however it ends. A file
// (by its key) owns eight bytes there, placed by a hash of the key. Byte 0 is held
// exclusively while an opening checks and takes its locks. The openings with the right
// to delete, read and write hold bytes 1, 3 and 5; the openings that do not share
// reading, deleting and writing hold bytes 2, 4 and 6: a new file's locks form one run,
// and a read that shares reading and writing checks one run and locks another.
// Keys of one hash would share their bytes; among 2^56 places that does not happen in
// practice.

constexpr int kGate = 0;

off_t ShareSlot(const std::string& key) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : key) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return static_cast<off_t>((h >> 8) << 3);
}

unsigned HeldBits(DWORD rights) {
    return (rights & kDelete ? 1u << 1 : 0) | (rights & kRead ? 1u << 3 : 0) | (rights & kWrite ? 1u << 5 : 0);
}
unsigned DeniedBits(DWORD rights) {
    return (rights & kRead ? 1u << 2 : 0) | (rights & kDelete ? 1u << 4 : 0) | (rights & kWrite ? 1u << 6 : 0);
}

// The bytes an opening holds, and the bytes whose holders it conflicts with.
unsigned HeldBytes(DWORD rights, DWORD share) { return rights ? HeldBits(rights) | DeniedBits(~share & 7) : 0; }
unsigned ConflictBytes(DWORD rights, DWORD share) {
    return rights ? DeniedBits(rights) | HeldBits(~share & 7) : 0;
}

bool SetLock(int fd, short type, off_t start, off_t len, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    while (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0)
        if (errno != EINTR) return false;
    return true;
}

// Calls Fn(start, length) for each run of set bits of Bytes, from Slot on.
template <class F>
bool EachRun(off_t slot, unsigned bytes, F fn) {
    for (int i = 0; i < 8;) {
        if (!(bytes >> i & 1)) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && (bytes >> j & 1)) ++j;
        if (!fn(slot + i, static_cast<off_t>(j - i))) return false;
        i = j;
    }
    return true;
}

// Whether another description holds any of the bytes.
bool AnyHeld(int fd, off_t slot, unsigned bytes) {
    return !EachRun(slot, bytes, [&](off_t start, off_t len) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = start;
        fl.l_len = len;
        return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_UNLCK;
    });
}

bool HoldBytes(int fd, off_t slot, unsigned bytes) {
    return EachRun(slot, bytes, [&](off_t start, off_t len) { return SetLock(fd, F_RDLCK, start, len, false); });
}

std::string OpensFile() { return Machine().RootFile("opens.lock"); }

// Descriptions of opens.lock that hold no locks, kept for the next opening (opening
// the file walks its whole path, for every file opened). A description belongs to
// the lock file it was opened on: the spares go when that changes (another machine,
// a boot) and in a forked child, which shares them with its parent.
struct TSpareShares {
    std::mutex Lock;
    std::string Root;  // of the machine whose lock file they were opened on
    unsigned Era = 0;
    std::vector<int> Fds;
    void Drop() {
        for (int fd : Fds) ::close(fd);
        Fds.clear();
        ++Era;
    }
};
TSpareShares& Spares() {
    static auto* spares = new TSpareShares;  // used until the process ends
    return *spares;
}

// Where an opening holds its sharing locks.
struct TShareHold {
    int Fd = -1;
    unsigned Era = 0;  // of the spares when Fd was taken
};

// A description of opens.lock without locks; -1 when the file cannot be opened.
TShareHold OpenOpensFile() {
    const std::string& root = Machine().Root();
    TSpareShares& s = Spares();
    std::lock_guard<std::mutex> g(s.Lock);
    if (s.Root != root) {
        s.Drop();
        s.Root = root;
    }
    TShareHold h;
    h.Era = s.Era;
    if (!s.Fds.empty()) {
        h.Fd = s.Fds.back();
        s.Fds.pop_back();
    } else {
        h.Fd = ::open(OpensFile().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    }
    return h;
}

// Gives up a description's locks, keeping it for the next opening while its lock
// file still stands.
void ReleaseOpensFile(TShareHold& h) {
    if (h.Fd < 0) return;
    TSpareShares& s = Spares();
    {
        std::lock_guard<std::mutex> g(s.Lock);
        if (h.Era == s.Era && s.Fds.size() < 8 && SetLock(h.Fd, F_UNLCK, 0, 0, false)) {
            s.Fds.push_back(h.Fd);
            h.Fd = -1;
            return;
        }
    }
    ::close(h.Fd);
    h.Fd = -1;
}

// Whether an opening of Rights and Share conflicts with a file of the in-use list: Key,
// or with Subtree a file below it.
bool InUseConflict(const std::string& key, DWORD rights, DWORD share, bool subtree) {
    if (!Conflicts(rights, share, kRead, FILE_SHARE_READ)) return false;
    std::string prefix = key + "\\";
    TSqlite::Query q(Machine().State(), "SELECT 1 FROM inuse WHERE fold=?1 OR substr(fold,1,?2)=?3");
    q.Bind(1, key).Bind(2, subtree ? static_cast<int64_t>(prefix.size()) : -1).Bind(3, prefix);
    return q.Step();
}

// Whether a file below the host folder Dir (whose key is Key) is open in a conflicting way.
bool HeldBelow(int fd, const std::string& dir, const std::string& key, unsigned bytes) {
    for (const auto& name : ListHostDir(dir)) {
        std::string host = dir + (dir == "/" ? "" : "/") + name;
        std::string k = key + "\\" + AnsiUpperCase(Utf8ToAnsi(name));
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) ? HeldBelow(fd, host, k, bytes) : AnyHeld(fd, ShareSlot(k), bytes)) return true;
    }
    return false;
}

// Checks an opening of Key against the in-use list and the open handles of the machine's
// programs. With Hold, the opening is recorded: *Hold becomes the description that holds
// its locks (-1 when it needs none). A folder being moved gives its host path as
// SubtreeHost: every file below it counts too.
DWORD CheckShare(const std::string& key, DWORD rights, DWORD share, TShareHold* hold,
                 const std::string* subtreeHost = nullptr) {
    if (TBootScope::Active() || !rights) return ERROR_SUCCESS;
    try {
        if (InUseConflict(key, rights, share, subtreeHost != nullptr)) return ERROR_SHARING_VIOLATION;
    } catch (const EDatabaseError&) {
        return ERROR_ACCESS_DENIED;
    }
    TShareHold h = OpenOpensFile();
    if (h.Fd < 0) return ERROR_ACCESS_DENIED;
    off_t slot = ShareSlot(key);
    unsigned conflicts = ConflictBytes(rights, share);
    if (hold && !SetLock(h.Fd, F_WRLCK, slot + kGate, 1, true)) {
        ReleaseOpensFile(h);
        return ERROR_ACCESS_DENIED;
    }
    bool held = AnyHeld(h.Fd, slot, conflicts) || (subtreeHost && HeldBelow(h.Fd, *subtreeHost, key, conflicts));
    if (held || !hold) {
        ReleaseOpensFile(h);
        return held ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
    }
    bool ok = HoldBytes(h.Fd, slot, HeldBytes(rights, share));
    SetLock(h.Fd, F_UNLCK, slot + kGate, 1, false);
    if (!ok) {
        ReleaseOpensFile(h);
        return ERROR_ACCESS_DENIED;
    }
    *hold = h;
    return ERROR_SUCCESS;
}

// Records the opening of a file just created, which nobody else can have open.
TShareHold HoldNewFile(const std::string& key, DWORD rights, DWORD share) {
    if (TBootScope::Active() || !rights) return {};
    TShareHold h = OpenOpensFile();
    if (h.Fd >= 0 && !HoldBytes(h.Fd, ShareSlot(key), HeldBytes(rights, share))) ReleaseOpensFile(h);
    return h;
}

}  // namespace

// At boot no program holds a file: a new opens.lock leaves the old one's locks behind.
void ForgetOpenFiles() {
    {
        std::lock_guard<std::mutex> g(Spares().Lock);
        Spares().Drop();
    }
    std::string fresh = OpensFile() + ".new";
    int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ::close(fd);
    ::rename(fresh.c_str(), OpensFile().c_str());
}

namespace {

// ---- attributes ----------------------------------------------------------------------
// Read-only is the host's write permission of a file; hidden, system, archive and
// temporary live in the machine's state, keyed like share checks and stamped with the
// identity of their file (device, inode, birth time). A record whose file was removed,
// or replaced by a new one of the same name, by any program or on the host, no longer
// applies: a new file starts with the defaults, with nothing to clear away first.

constexpr DWORD kStoredAttrs = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_READONLY;

struct TFileId {
    std::string Ident;  // empty when the file cannot be looked at
    bool ReadOnly = false;
};

TFileId Identify(int dirFd, const char* path, int flags) {
    TFileId id;
    struct statx sx;
    if (::statx(dirFd, path, flags, STATX_TYPE | STATX_MODE | STATX_INO | STATX_BTIME, &sx) != 0) return id;
    bool born = sx.stx_mask & STATX_BTIME;
    const uint64_t fields[] = {sx.stx_dev_major, sx.stx_dev_minor, sx.stx_ino,
                               born ? static_cast<uint64_t>(sx.stx_btime.tv_sec) : 0,
                               born ? sx.stx_btime.tv_nsec : 0};
    for (uint64_t v : fields)
        for (int i = 0; i < 8; ++i) id.Ident += static_cast<char>(v >> (8 * i));
    id.ReadOnly = S_ISREG(sx.stx_mode) && !(sx.stx_mode & S_IWUSR);
    return id;
}
TFileId Identify(const std::string& host) { return Identify(AT_FDCWD, host.c_str(), 0); }
TFileId Identify(int fd) { return Identify(fd, "", AT_EMPTY_PATH); }

bool HostReadOnly(const std::string& host) { return Identify(host).ReadOnly; }

// The state with the attribute records; records of older machines, which have no
// identity, get that of the file they name (or go with it) on first use.
TSqlite& AttrStore() {
    static std::mutex lock;
    static std::string stamped;  // the machine whose records have identities
    TSqlite& db = Machine().State();
    std::lock_guard<std::mutex> guard(lock);
    if (stamped == Machine().Root()) return db;
    auto old = [&db] {
        TSqlite::Query q(db, "SELECT 1 FROM pragma_table_info('attrs') WHERE name='ident'");
        return !q.Step();
    };
    if (old()) {
        TSqlite::Transaction t(db);
        if (old()) {  // (unless another program was first)
            db.Exec("ALTER TABLE attrs ADD COLUMN ident BLOB");
            std::vector<std::string> folds;
            {
                TSqlite::Query q(db, "SELECT fold FROM attrs");
                while (q.Step()) folds.push_back(q.Blob(0));
            }
            for (const auto& fold : folds) {
                TResolvedPath r;
                std::string ident = ResolvePath(fold, r) == ERROR_SUCCESS && r.Exists ? Identify(r.Host).Ident : "";
                if (ident.empty()) TSqlite::Query(db, "DELETE FROM attrs WHERE fold=?").Bind(1, fold).Run();
                else TSqlite::Query(db, "UPDATE attrs SET ident=? WHERE fold=?").Bind(1, ident).Bind(2, fold).Run();
            }
        }
        t.Commit();
    }
    stamped = Machine().Root();
    return db;
}

DWORD StoredAttrs(const std::string& key, bool isDir, const std::string& ident) {
    DWORD def = isDir ? 0u : static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE);
    try {
        TSqlite::Query q(AttrStore(), "SELECT attr,ident FROM attrs WHERE fold=?");
        q.Bind(1, key);
        return q.Step() && !ident.empty() && q.Blob(1) == ident ? static_cast<DWORD>(q.Int(0)) : def;
    } catch (const EDatabaseError&) {
        return def;
    }
}

void StoreAttrs(const std::string& key, bool isDir, DWORD attrs, const std::string& ident) {
    DWORD def = isDir ? 0u : static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE);
    try {
        TSqlite& db = AttrStore();
        if (attrs != def && !ident.empty()) {
            TSqlite::Query(db, "INSERT OR REPLACE INTO attrs(fold,attr,ident) VALUES(?,?,?)")
                .Bind(1, key)
                .Bind(2, attrs)
                .Bind(3, ident)
                .Run();
            return;
        }
        bool recorded;
        {
            TSqlite::Query q(db, "SELECT 1 FROM attrs WHERE fold=?");
            recorded = q.Bind(1, key).Step();
        }
        if (recorded) TSqlite::Query(db, "DELETE FROM attrs WHERE fold=?").Bind(1, key).Run();
    } catch (const EDatabaseError&) {
    }
}

// Moves (or with an empty NewKey drops) the stored attributes of Key and all below it.
void MoveAttrs(const std::string& key, const std::string& newKey) {
    try {
        TSqlite& db = AttrStore();
        TSqlite::Transaction t(db);
        struct TRow {
            std::string fold;
            int64_t attr;
            std::string ident;
        };
        std::vector<TRow> rows;
        std::string prefix = key + "\\";
        {
            TSqlite::Query q(db, "SELECT fold,attr,ident FROM attrs WHERE fold=?1 OR substr(fold,1,?2)=?3");
            q.Bind(1, key).Bind(2, static_cast<int64_t>(prefix.size())).Bind(3, prefix);
            while (q.Step()) rows.push_back({q.Blob(0), q.Int(1), q.Blob(2)});
        }
        for (const auto& row : rows) {
            TSqlite::Query(db, "DELETE FROM attrs WHERE fold=?").Bind(1, row.fold).Run();
            if (!newKey.empty())
                TSqlite::Query(db, "INSERT OR REPLACE INTO attrs(fold,attr,ident) VALUES(?,?,?)")
                    .Bind(1, newKey + row.fold.substr(key.size()))
                    .Bind(2, row.attr)
                    .Bind(3, row.ident)
                    .Run();
        }
        t.Commit();
    } catch (const EDatabaseError&) {
    }
}

DWORD AttributesOf(const TResolvedPath& r) {
    TFileId id = Identify(r.Host);
    if (r.IsDir) return FILE_ATTRIBUTE_DIRECTORY | (r.Win.IsRoot() ? 0 : StoredAttrs(r.Key(), true, id.Ident));
    DWORD a = StoredAttrs(r.Key(), false, id.Ident) & ~FILE_ATTRIBUTE_READONLY;
    if (id.ReadOnly) a |= FILE_ATTRIBUTE_READONLY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

// ---- capacity of drives ----------------------------------------------------------------

constexpr int64_t kCluster = 512;
int64_t Alloc(int64_t size) { return (size + kCluster - 1) / kCluster * kCluster; }

// Bytes taken on a FAT disk: every file rounded up to whole clusters, a cluster per folder.
int64_t UsedBytes(const std::string& dir) {
    int64_t used = 0;
    for (const auto& name : ListHostDir(dir)) {
        std::string p = dir + "/" + name;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) used += kCluster + UsedBytes(p);
        else used += Alloc(st.st_size);
    }
    return used;
}

int64_t FreeBytes(const TDrive& d) { return std::max<int64_t>(0, d.Capacity - UsedBytes(d.HostDir)); }

// ---- open files --------------------------------------------------------------------------

class TFileObject : public THandleObject {
public:
    ~TFileObject() override {
        if (Fd >= 0) ::close(Fd);
        ReleaseOpensFile(Share);  // gives up the sharing locks
    }
    int Fd = -1;
    TShareHold Share;  // the description holding its sharing locks
    int64_t Pos = 0;   // the descriptor's position, -1 when not known: asking costs a call
    DWORD Access = 0;  // rights
    std::string Key, Host;
    TDrive Drive;      // a copy: the machine may change while the file is open
};

// A forked child shares its parent's open file descriptions: were it to keep the
// sharing locks of the handles it inherits, a file would stay held after the parent
// closed it. The child's copies of the handles hold no locks.
void DropInheritedShares() {
    for (auto& [h, obj] : gHandles)
        if (auto* f = dynamic_cast<TFileObject*>(obj.get()); f && f->Share.Fd >= 0) {
            ::close(f->Share.Fd);
            f->Share.Fd = -1;
        }
    gHandleLock.unlock();
    Spares().Drop();
    Spares().Lock.unlock();
}
const bool kForkHandled =
    (::pthread_atfork(
         [] {
             gHandleLock.lock();
             Spares().Lock.lock();
         },
         [] {
             Spares().Lock.unlock();
             gHandleLock.unlock();
         },
         DropInheritedShares),
     true);

class TFindObject : public THandleObject {
public:
    std::vector<WIN32_FIND_DATAA> Items;
    size_t Next = 0;
};

TFileObject* FileOf(HANDLE h) {
    auto* f = HandleAs<TFileObject>(h);
    if (!f) SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

// How many of Count bytes fit when written at the file's position.
int64_t Room(const TFileObject& f, int64_t count) {
    if (!f.Drive.Capacity) return count;
    struct stat st;
    if (::fstat(f.Fd, &st) != 0) return count;
    int64_t pos = ::lseek(f.Fd, 0, SEEK_CUR);
    if (pos + count <= st.st_size) return count;
    int64_t limit = Alloc(st.st_size) + FreeBytes(f.Drive) / kCluster * kCluster;
    return std::clamp<int64_t>(limit - pos, 0, count);
}

constexpr int64_t kEpochDiff = 11644473600LL;  // seconds from 1601 to 1970

FILETIME ToFileTime(const struct timespec& ts) {
    uint64_t v = static_cast<uint64_t>(ts.tv_sec + kEpochDiff) * 10000000ULL + ts.tv_nsec / 100;
    return {static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

struct timespec FromFileTime(const FILETIME& ft) {
    uint64_t v = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(v / 10000000ULL) - kEpochDiff;
    ts.tv_nsec = static_cast<long>(v % 10000000ULL) * 100;
    return ts;
}

bool DosStamp(time_t secs, int32_t& stamp) {
    struct tm t;
    if (!gmtime_r(&secs, &t) || t.tm_year < 80 || t.tm_year > 207) return false;
    uint32_t date = ((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday;
    uint32_t time = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2);
    stamp = static_cast<int32_t>((date << 16) | time);
    return true;
}

bool FromDosStamp(WORD date, WORD time, time_t& secs) {
    using namespace std::chrono;
    const year_month_day day{year{(date >> 9) + 1980}, month{static_cast<unsigned>((date >> 5) & 15)},
                             std::chrono::day{static_cast<unsigned>(date & 31)}};
    const int h = time >> 11, m = (time >> 5) & 63, s = (time & 31) * 2;
    if (!day.ok() || h > 23 || m > 59 || s > 59) return false;  // 31 February does not exist
    secs = static_cast<time_t>(sys_days(day).time_since_epoch().count()) * 86400 + h * 3600 + m * 60 + s;
    return true;
}

DWORD NotFound(const TResolvedPath& r) { return r.ParentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }

// The name the caller wrote for the last part of Path (ResolvePath gives the one on disk).
std::string WrittenName(const std::string& path) {
    TWinPath w;
    ParseWinPath(path, w, false);
    return w.Parts.empty() ? "" : w.Parts.back();
}

std::string ParentHost(const std::string& host) {
    size_t slash = host.rfind('/');
    return slash == 0 ? "/" : host.substr(0, slash);
}

std::string ParentKey(const TResolvedPath& r) {
    TWinPath p = r.Win;
    p.Parts.pop_back();
    return AnsiUpperCase(p.Full());
}

std::string ChildKey(const std::string& parentKey, const std::string& name) {
    return parentKey + (parentKey.back() == '\\' ? "" : "\\") + AnsiUpperCase(name);
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD access, DWORD share, void* /*security*/, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName ? fileName : "", r, false, disposition == CREATE_NEW);
    if (e) return Fail(e, INVALID_HANDLE_VALUE);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (r.IsDir || r.Win.IsRoot()) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (!r.ParentExists) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    bool exists = r.Exists;
    if (exists && disposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING))
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    bool truncate = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    DWORD rights = Rights(access);
    if (exists && (rights & kWrite || truncate) && HostReadOnly(r.Host))
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

    auto f = std::make_unique<TFileObject>();
    f->Access = rights;
    f->Key = r.KnownKey.empty() ? r.Key() : std::move(r.KnownKey);
    f->Host = std::move(r.Host);
    if (r.Drive) f->Drive = *r.Drive;
    int mode = (rights & kWrite || truncate) ? ((rights & kRead) ? O_RDWR : O_WRONLY) : O_RDONLY;
    if (exists) {
        e = CheckShare(f->Key, rights, share, &f->Share);
        if (e) return Fail(e, INVALID_HANDLE_VALUE);
        f->Fd = ::open(f->Host.c_str(), mode | O_CLOEXEC | (truncate ? O_TRUNC : 0));
    } else {
        // In a folder known without a look, made there: the walk along the path is saved.
        const int flags = mode | O_CLOEXEC | O_CREAT | O_EXCL;
        f->Fd = r.Folder ? ::openat(r.Folder->Fd, r.HostName.c_str(), flags, 0666) : ::open(f->Host.c_str(), flags, 0666);
        if (f->Fd >= 0) f->Share = HoldNewFile(f->Key, rights, share);
    }
    if (f->Fd < 0) return Fail(ErrnoToWin(errno), INVALID_HANDLE_VALUE);
    if (!exists || truncate) {
        DWORD attrs = flagsAndAttributes & kStoredAttrs;
        DWORD stored = (attrs & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_ARCHIVE;
        // A new file has the default attributes without a record.
        if (truncate || stored != FILE_ATTRIBUTE_ARCHIVE) StoreAttrs(f->Key, false, stored, Identify(f->Fd).Ident);
        if (attrs & FILE_ATTRIBUTE_READONLY) ::fchmod(f->Fd, 0444);
    }
    SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                        : ERROR_SUCCESS);
    return AddHandle(std::move(f));
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void* /*overlapped*/) {
    if (read) *read = 0;
    TFileObject* f = FileOf(file);
    if (!f) return false;
    if (!(f->Access & kRead)) return Fail(ERROR_ACCESS_DENIED, false);
    DWORD done = 0;
    while (done < count) {
        ssize_t n = ::read(f->Fd, static_cast<char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            f->Pos = -1;
            return Fail(ErrnoToWin(errno), false);
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (f->Pos >= 0) f->Pos += done;
    if (read) *read = done;
    return true;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* /*overlapped*/) {
    if (written) *written = 0;
    TFileObject* f = FileOf(file);
    if (!f) return false;
    if (!(f->Access & kWrite)) return Fail(ERROR_ACCESS_DENIED, false);
    auto fits = static_cast<DWORD>(Room(*f, count));
    DWORD done = 0;
    while (done < fits) {
        ssize_t n = ::write(f->Fd, static_cast<const char*>(buffer) + done, fits - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<DWORD>(n);
    }
    if (f->Pos >= 0) f->Pos += done;
    if (written) *written = done;
    if (done < count) return Fail(ERROR_DISK_FULL, false);
    return true;
}

int64_t FileSeek64(HANDLE file, int64_t offset, DWORD method) {
    TFileObject* f = FileOf(file);
    if (!f) return -1;
    if (method > FILE_END) return Fail(ERROR_INVALID_PARAMETER, int64_t(-1));
    if (method == FILE_BEGIN && offset < 0) return Fail(ERROR_NEGATIVE_SEEK, int64_t(-1));
    // Where the descriptor stands already, asking costs a call for nothing.
    if (f->Pos >= 0 && ((method == FILE_CURRENT && offset == 0) || (method == FILE_BEGIN && offset == f->Pos)))
        return f->Pos;
    static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    f->Pos = ::lseek(f->Fd, offset, whence[method]);
    if (f->Pos < 0) return Fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : ErrnoToWin(errno), int64_t(-1));
    return f->Pos;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
    int64_t offset = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                                                          << 32) |
                                                         static_cast<uint32_t>(distance))
                                  : distance;
    int64_t pos = FileSeek64(file, offset, method);
    if (pos < 0) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) *distanceHigh = static_cast<LONG>(pos >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(pos);
}

BOOL SetEndOfFile(HANDLE file) {
    TFileObject* f = FileOf(file);
    if (!f) return false;
    if (!(f->Access & kWrite)) return Fail(ERROR_ACCESS_DENIED, false);
    int64_t pos = ::lseek(f->Fd, 0, SEEK_CUR);
    struct stat st;
    if (::fstat(f->Fd, &st) != 0) return Fail(ERROR_ACCESS_DENIED, false);
    if (pos > st.st_size && f->Drive.Capacity) {
        ::lseek(f->Fd, st.st_size, SEEK_SET);
        bool fits = Room(*f, pos - st.st_size) == pos - st.st_size;
        ::lseek(f->Fd, pos, SEEK_SET);
        if (!fits) return Fail(ERROR_DISK_FULL, false);
    }
    if (::ftruncate(f->Fd, pos) != 0) return Fail(ErrnoToWin(errno), false);
    return true;
}

DWORD GetFileSize(HANDLE file, DWORD* sizeHigh) {
    TFileObject* f = FileOf(file);
    if (!f) return INVALID_FILE_SIZE;
    struct stat st;
    if (::fstat(f->Fd, &st) != 0) return Fail(ERROR_ACCESS_DENIED, INVALID_FILE_SIZE);
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(st.st_size);
}

BOOL FlushFileBuffers(HANDLE file) {
    TFileObject* f = FileOf(file);
    if (!f) return false;
    ::fdatasync(f->Fd);
    return true;
}

BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    TFileObject* f = FileOf(file);
    if (!f) return false;
    struct stat st;
    if (::fstat(f->Fd, &st) != 0) return Fail(ERROR_ACCESS_DENIED, false);
    if (creation) *creation = ToFileTime(st.st_mtim);
    if (lastAccess) *lastAccess = ToFileTime(st.st_atim);
    if (lastWrite) *lastWrite = ToFileTime(st.st_mtim);
    return true;
}

BOOL SetFileTime(HANDLE file, const FILETIME* /*creation*/, const FILETIME* lastAccess, const FILETIME* lastWrite) {
    TFileObject* f = FileOf(file);
    if (!f) return false;
    if (!(f->Access & kWrite)) return Fail(ERROR_ACCESS_DENIED, false);
    struct timespec ts[2];
    ts[0].tv_nsec = ts[1].tv_nsec = UTIME_OMIT;
    if (lastAccess) ts[0] = FromFileTime(*lastAccess);
    if (lastWrite) ts[1] = FromFileTime(*lastWrite);
    if (::futimens(f->Fd, ts) != 0) return Fail(ErrnoToWin(errno), false);
    return true;
}

BOOL CloseHandle(HANDLE object) {
    auto obj = TakeHandle(object);
    if (!obj) return Fail(ERROR_INVALID_HANDLE, false);
    obj->Close();
    return true;
}

void ForgetInheritedHandles() {
    std::lock_guard<std::mutex> lock(gHandleLock);
    gHandles.clear();  // closes the descriptors; the parent's records stay
}

// ---- files and folders -----------------------------------------------------------------

BOOL DeleteFileA(const char* fileName) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName ? fileName : "", r);
    if (e) return Fail(e, false);
    if (!r.Exists) return Fail(NotFound(r), false);
    if (r.IsDir || HostReadOnly(r.Host)) return Fail(ERROR_ACCESS_DENIED, false);
    e = CheckShare(r.Key(), kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr);
    if (e) return Fail(e, false);
    if (::unlink(r.Host.c_str()) != 0) return Fail(ErrnoToWin(errno), false);
    MoveAttrs(r.Key(), "");
    return true;
}

BOOL CopyFileA(const char* existingFileName, const char* newFileName, BOOL failIfExists) {
    HANDLE src = CreateFileA(existingFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (src == INVALID_HANDLE_VALUE) return false;
    TResolvedPath s;
    ResolvePath(existingFileName, s);
    DWORD attrs = AttributesOf(s);
    HANDLE dst = CreateFileA(newFileName, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (dst == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        CloseHandle(src);
        return Fail(e, false);
    }
    std::vector<char> buf(65536);
    DWORD e = ERROR_SUCCESS;
    for (;;) {
        DWORD n = 0, w = 0;
        if (!ReadFile(src, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
            e = GetLastError();
            break;
        }
        if (n == 0) break;
        if (!WriteFile(dst, buf.data(), n, &w, nullptr)) {
            e = GetLastError();
            break;
        }
    }
    FILETIME ft;
    if (!e && GetFileTime(src, nullptr, nullptr, &ft)) SetFileTime(dst, nullptr, nullptr, &ft);
    CloseHandle(src);
    CloseHandle(dst);
    if (e) {
        DeleteFileA(newFileName);  // a partial copy is no copy
        return Fail(e, false);
    }
    SetFileAttributesA(newFileName, attrs);
    return true;
}

BOOL MoveFileA(const char* existingFileName, const char* newFileName) {
    return MoveFileExA(existingFileName, newFileName, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileExA(const char* existingFileName, const char* newFileName, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return DelayMoveUntilReboot(existingFileName, newFileName, flags);
    if (!newFileName) return Fail(ERROR_INVALID_PARAMETER, false);
    TResolvedPath s, d;
    DWORD e = ResolvePath(existingFileName ? existingFileName : "", s);
    if (!e) e = ResolvePath(newFileName, d);
    if (e) return Fail(e, false);
    if (!s.Exists) return Fail(NotFound(s), false);
    if (s.Win.IsRoot() || d.Win.IsRoot()) return Fail(ERROR_ACCESS_DENIED, false);
    if (!d.ParentExists) return Fail(ERROR_PATH_NOT_FOUND, false);
    bool sameFile = d.Exists && d.Host == s.Host;  // a change of case only
    if (d.Exists && !sameFile) {
        if (!(flags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS, false);
        if (d.IsDir || s.IsDir || HostReadOnly(d.Host)) return Fail(ERROR_ACCESS_DENIED, false);
        e = CheckShare(d.Key(), kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr);
        if (e) return Fail(e, false);
    }
    e = CheckShare(s.Key(), kDelete, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                   s.IsDir ? &s.Host : nullptr);
    if (e) return Fail(e, false);
    std::string name = WrittenName(newFileName);
    std::string parent = ParentHost(d.Host);
    std::string target = parent + (parent == "/" ? "" : "/") + AnsiToUtf8(name);
    std::string newKey = ChildKey(ParentKey(d), name);
    bool sameDrive = s.Drive == d.Drive && (s.Drive || SameText(s.Win.Root(), d.Win.Root()));
    if (sameDrive) {
        if (d.Exists && !sameFile && ::unlink(d.Host.c_str()) != 0) return Fail(ErrnoToWin(errno), false);
        if (::rename(s.Host.c_str(), target.c_str()) == 0) {
            MoveAttrs(s.Key(), newKey);
            return true;
        }
        if (errno != EXDEV) return Fail(ErrnoToWin(errno), false);
    }
    if (s.IsDir || !(flags & MOVEFILE_COPY_ALLOWED)) return Fail(ERROR_NOT_SAME_DEVICE, false);
    if (!CopyFileA(existingFileName, newFileName, false)) return false;
    return DeleteFileA(existingFileName);
}

DWORD GetFileAttributesA(const char* fileName) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName ? fileName : "", r);
    if (e) return Fail(e, INVALID_FILE_ATTRIBUTES);
    if (!r.Exists) return Fail(NotFound(r), INVALID_FILE_ATTRIBUTES);
    return AttributesOf(r);
}

BOOL SetFileAttributesA(const char* fileName, DWORD attributes) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName ? fileName : "", r);
    if (e) return Fail(e, false);
    if (!r.Exists) return Fail(NotFound(r), false);
    if (r.Win.IsRoot()) return true;
    DWORD stored = attributes & kStoredAttrs;
    if (r.IsDir) {
        StoreAttrs(r.Key(), true, stored, Identify(r.Host).Ident);
        return true;
    }
    struct stat st;
    if (::stat(r.Host.c_str(), &st) != 0) return Fail(ErrnoToWin(errno), false);
    mode_t mode = (stored & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                                                     : (st.st_mode | S_IWUSR);
    if (mode != st.st_mode && ::chmod(r.Host.c_str(), mode & 07777) != 0) return Fail(ErrnoToWin(errno), false);
    StoreAttrs(r.Key(), false, stored & ~FILE_ATTRIBUTE_READONLY, Identify(r.Host).Ident);
    return true;
}

BOOL CreateDirectoryA(const char* pathName, void* /*security*/) {
    TResolvedPath r;
    DWORD e = ResolvePath(pathName ? pathName : "", r);
    if (e) return Fail(e, false);
    if (r.Exists) return Fail(ERROR_ALREADY_EXISTS, false);
    if (!r.ParentExists) return Fail(ERROR_PATH_NOT_FOUND, false);
    if (r.Drive && r.Drive->Capacity && FreeBytes(*r.Drive) < kCluster) return Fail(ERROR_DISK_FULL, false);
    if (::mkdir(r.Host.c_str(), 0777) != 0) return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrnoToWin(errno), false);
    return true;
}

BOOL RemoveDirectoryA(const char* pathName) {
    TResolvedPath r;
    DWORD e = ResolvePath(pathName ? pathName : "", r);
    if (e) return Fail(e, false);
    if (!r.Exists) return Fail(NotFound(r), false);
    if (!r.IsDir) return Fail(ERROR_DIRECTORY, false);
    if (r.Win.IsRoot()) return Fail(ERROR_ACCESS_DENIED, false);
    if (::rmdir(r.Host.c_str()) != 0) return Fail(ErrnoToWin(errno), false);
    MoveAttrs(r.Key(), "");
    return true;
}

// ---- searching -------------------------------------------------------------------------------

namespace {

// Windows wildcards without regard to case: "*" any run, "?" one character (or none at
// the end of a name or before its dot), "." also matches the end of a name ("a.*" finds
// "a"), and a pattern ending in "." finds only names without an extension.
bool WildMatch(const std::string& pattern, const std::string& name) {
    std::string p = AnsiUpperCase(pattern), n = AnsiUpperCase(name);
    if (p.size() > 1 && p.back() == '.' && p.find_first_not_of('.') != std::string::npos) {
        if (n.find('.') != std::string::npos) return false;
        p.pop_back();
    }
    size_t m = p.size(), k = n.size();
    std::vector<char> next(k + 1, 0), cur(k + 1, 0);
    next[k] = 1;  // an empty pattern matches only the end of the name
    for (size_t i = m; i-- > 0;) {
        for (size_t j = k + 1; j-- > 0;) {
            bool end = j == k;
            bool r;
            switch (p[i]) {
                case '*': r = next[j] || (!end && cur[j + 1]); break;
                case '?': r = (!end && next[j + 1]) || ((end || n[j] == '.') && next[j]); break;
                case '.': r = (!end && n[j] == '.' && next[j + 1]) || (end && next[j]); break;
                default: r = !end && p[i] == n[j] && next[j + 1]; break;
            }
            cur[j] = r;
        }
        std::swap(next, cur);
    }
    return next[0];
}

bool FillFindData(const std::string& host, const std::string& name, const std::string& alias, DWORD attrs,
                  WIN32_FIND_DATAA& fd) {
    struct stat st;
    if (::stat(host.c_str(), &st) != 0 || name.size() >= MAX_PATH) return false;
    memset(&fd, 0, sizeof fd);
    fd.dwFileAttributes = attrs;
    fd.ftCreationTime = fd.ftLastWriteTime = ToFileTime(st.st_mtim);
    fd.ftLastAccessTime = ToFileTime(st.st_atim);
    if (!S_ISDIR(st.st_mode)) {
        fd.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
        fd.nFileSizeLow = static_cast<DWORD>(st.st_size);
    }
    memcpy(fd.cFileName, name.c_str(), name.size() + 1);
    memcpy(fd.cAlternateFileName, alias.c_str(), std::min<size_t>(alias.size(), 13));
    return true;
}

}  // namespace

HANDLE FindFirstFileA(const char* fileName, WIN32_FIND_DATAA* data) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName ? fileName : "", r, true);
    if (e) return Fail(e, INVALID_HANDLE_VALUE);
    if (r.Win.IsRoot()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    if (!r.ParentExists) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    const std::string pattern = r.Win.Parts.back();
    std::string dirHost = ParentHost(r.Host);
    auto find = std::make_unique<TFindObject>();
    std::map<std::string, std::string> aliases;
    for (auto& [longName, alias] : ShortAliases(dirHost)) aliases[longName] = alias;
    std::vector<std::string> names;
    if (r.Win.Parts.size() > 1) names = {".", ".."};
    std::vector<std::string> entries;
    for (const auto& h : ListHostDir(dirHost)) entries.push_back(Utf8ToAnsi(h));
    std::sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
        int c = AnsiCompareText(a, b);
        return c ? c < 0 : a < b;
    });
    names.insert(names.end(), entries.begin(), entries.end());
    for (const std::string& name : names) {
        bool dots = name == "." || name == "..";
        if (!dots && name.find_first_of("<>:\"|?*\\") != std::string::npos) continue;  // no Windows name
        auto a = aliases.find(name);
        std::string alias = a == aliases.end() ? "" : a->second;
        bool match = dots ? pattern.find('*') != std::string::npos && pattern.find_first_not_of("*.") == std::string::npos
                          : WildMatch(pattern, name) || (!alias.empty() && WildMatch(pattern, alias));
        if (!match) continue;
        std::string host = dots ? (name == "." ? dirHost : ParentHost(dirHost))
                                : dirHost + (dirHost == "/" ? "" : "/") + AnsiToUtf8(name);
        TResolvedPath entry;
        entry.Win = r.Win;
        entry.Win.Parts.back() = name;
        entry.Host = host;
        entry.Exists = true;
        struct stat st;
        entry.IsDir = ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        DWORD attrs = dots ? FILE_ATTRIBUTE_DIRECTORY : AttributesOf(entry);
        WIN32_FIND_DATAA fd;
        if (FillFindData(host, name, alias, attrs, fd)) find->Items.push_back(fd);
    }
    if (find->Items.empty()) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *data = find->Items[0];
    find->Next = 1;
    return AddHandle(std::move(find));
}

BOOL FindNextFileA(HANDLE find, WIN32_FIND_DATAA* data) {
    auto* f = HandleAs<TFindObject>(find);
    if (!f) return Fail(ERROR_INVALID_HANDLE, false);
    if (f->Next >= f->Items.size()) return Fail(ERROR_NO_MORE_FILES, false);
    *data = f->Items[f->Next++];
    return true;
}

BOOL FindClose(HANDLE find) {
    if (!HandleAs<TFindObject>(find)) return Fail(ERROR_INVALID_HANDLE, false);
    return CloseHandle(find);
}

// ---- drives ----------------------------------------------------------------------------------

namespace {

// The drive (or share) of a root path: nullptr root means the current folder's.
bool DriveSpace(const char* path, uint64_t& free, uint64_t& total, int64_t* capacity) {
    TResolvedPath r;
    DWORD e = ResolvePath(path ? path : GetCurrentDir(), r);
    if (e) return Fail(e, false);
    if (capacity) *capacity = r.Drive ? r.Drive->Capacity : 0;
    if (r.Drive && r.Drive->Capacity) {
        total = static_cast<uint64_t>(r.Drive->Capacity);
        free = static_cast<uint64_t>(FreeBytes(*r.Drive));
        return true;
    }
    std::string host = r.Drive ? r.Drive->HostDir : Machine().FindShare(r.Win.Server, r.Win.Share)->HostDir;
    struct statvfs vfs;
    if (::statvfs(host.c_str(), &vfs) != 0) return Fail(ERROR_NOT_READY, false);
    free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    return true;
}

}  // namespace

BOOL GetDiskFreeSpaceA(const char* rootPath, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
    uint64_t free = 0, total = 0;
    int64_t capacity = 0;
    if (!DriveSpace(rootPath, free, total, &capacity)) return false;
    // FAT floppies have 512-byte clusters; elsewhere report 4 KiB clusters.
    DWORD spc = capacity ? 1 : 8;
    uint64_t cluster = 512ULL * spc;
    if (sectorsPerCluster) *sectorsPerCluster = spc;
    if (bytesPerSector) *bytesPerSector = 512;
    if (freeClusters) *freeClusters = static_cast<DWORD>(std::min<uint64_t>(free / cluster, 0xFFFFFFFFu));
    if (totalClusters) *totalClusters = static_cast<DWORD>(std::min<uint64_t>(total / cluster, 0xFFFFFFFFu));
    return true;
}

BOOL GetDiskFreeSpaceExA(const char* directory, uint64_t* freeToCaller, uint64_t* total, uint64_t* totalFree) {
    uint64_t free = 0, size = 0;
    if (!DriveSpace(directory, free, size, nullptr)) return false;
    if (freeToCaller) *freeToCaller = free;
    if (total) *total = size;
    if (totalFree) *totalFree = free;
    return true;
}

UINT GetDriveTypeA(const char* rootPath) {
    TWinPath w;
    if (ParseWinPath(rootPath ? rootPath : GetCurrentDir(), w, false) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
    if (!w.Drive) return Machine().FindShare(w.Server, w.Share) ? DRIVE_REMOTE : DRIVE_NO_ROOT_DIR;
    const TDrive* d = Machine().FindDrive(w.Drive);
    return d ? d->Type : DRIVE_NO_ROOT_DIR;
}

DWORD GetLogicalDrives() {
    DWORD mask = 0;
    for (const auto& d : Machine().Drives()) mask |= 1u << (d.Letter - 'A');
    return mask;
}

// ---- temporary files -----------------------------------------------------------------------

DWORD GetTempPathA(DWORD size, char* buffer) {
    std::string t = Machine().TempDir();
    if (t.empty() || t.back() != '\\') t += '\\';
    return CopyToBuffer(t, buffer, size);
}

UINT GetTempFileNameA(const char* pathName, const char* prefix, UINT unique, char* tempFileName) {
    TResolvedPath r;
    DWORD e = ResolvePath(pathName ? pathName : "", r);
    if (e) return Fail(e, 0u);
    if (!r.IsDir) return Fail(ERROR_DIRECTORY, 0u);
    std::string dir = r.Win.Full();
    if (dir.back() != '\\') dir += '\\';
    std::string pre = std::string(prefix ? prefix : "").substr(0, 3);
    auto nameOf = [&](UINT u) { return dir + pre + Format("%X", {u}) + ".TMP"; };
    auto put = [&](const std::string& name) {
        if (name.size() >= MAX_PATH) return false;
        if (tempFileName) memcpy(tempFileName, name.c_str(), name.size() + 1);
        return true;
    };
    if (unique) {
        unique &= 0xFFFF;
        return put(nameOf(unique)) ? unique : Fail(ERROR_FILENAME_EXCED_RANGE, 0u);
    }
    static std::atomic<UINT> counter{static_cast<UINT>(getpid() * 2654435761u ^ static_cast<UINT>(time(nullptr)))};
    for (int tries = 0; tries < 0xFFFF; ++tries) {
        UINT u = ++counter & 0xFFFF;
        if (!u) continue;
        std::string name = nameOf(u);
        if (name.size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE, 0u);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return 0;
        }
        CloseHandle(h);
        put(name);
        return u;
    }
    return Fail(ERROR_FILE_EXISTS, 0u);
}

// ---- times -------------------------------------------------------------------------------------

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, FILETIME* localFileTime) {
    *localFileTime = *fileTime;
    return true;
}

BOOL LocalFileTimeToFileTime(const FILETIME* localFileTime, FILETIME* fileTime) {
    *fileTime = *localFileTime;
    return true;
}

BOOL FileTimeToDosDateTime(const FILETIME* fileTime, WORD* fatDate, WORD* fatTime) {
    int32_t stamp;
    if (!DosStamp(FromFileTime(*fileTime).tv_sec, stamp)) return Fail(ERROR_INVALID_PARAMETER, false);
    *fatDate = static_cast<WORD>(static_cast<uint32_t>(stamp) >> 16);
    *fatTime = static_cast<WORD>(stamp);
    return true;
}

BOOL DosDateTimeToFileTime(WORD fatDate, WORD fatTime, FILETIME* fileTime) {
    time_t secs;
    if (!FromDosStamp(fatDate, fatTime, secs)) return Fail(ERROR_INVALID_PARAMETER, false);
    *fileTime = ToFileTime({secs, 0});
    return true;
}

FILETIME DateTimeToFileTime(TDateTime d) {
    auto v = static_cast<uint64_t>(Round((d + 109205.0) * 864000000000.0));
    return {static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

TDateTime FileTimeToDateTime(const FILETIME& ft) {
    uint64_t v = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<double>(v) / 864000000000.0 - 109205.0;
}

// ---- the class library's file routines -------------------------------------------------------

bool FileExists(const std::string& fileName) {
    TResolvedPath r;
    return ResolvePath(fileName, r) == ERROR_SUCCESS && r.Exists && !r.IsDir;
}

bool DirectoryExists(const std::string& name) {
    TResolvedPath r;
    return ResolvePath(name, r) == ERROR_SUCCESS && r.IsDir;
}

bool ForceDirectories(const std::string& dir) {
    if (dir.empty()) throw EInOutError("Unable to create directory");
    TWinPath w;
    DWORD e = ParseWinPath(dir, w);
    if (e) return Fail(e, false);
    // Mostly only the last folders are missing: the look goes up from the bottom.
    TWinPath step = w;
    size_t have = w.Parts.size();
    for (; have > 0; --have) {
        step.Parts.resize(have);
        if (DirectoryExists(step.Full())) break;
    }
    step.Parts.resize(have);
    for (size_t i = have; i < w.Parts.size(); ++i) {
        step.Parts.push_back(w.Parts[i]);
        if (!CreateDirectoryA(step.Full().c_str(), nullptr)) return false;
    }
    return true;
}

int32_t FileAge(const std::string& fileName) {
    TResolvedPath r;
    struct stat st;
    int32_t stamp;
    if (ResolvePath(fileName, r) || !r.Exists || r.IsDir || ::stat(r.Host.c_str(), &st) != 0 ||
        !DosStamp(st.st_mtim.tv_sec, stamp))
        return -1;
    return stamp;
}

int32_t FileGetDate(HANDLE file) {
    FILETIME ft;
    WORD date, time;
    if (!GetFileTime(file, nullptr, nullptr, &ft) || !FileTimeToDosDateTime(&ft, &date, &time)) return -1;
    return static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
}

int FileSetDate(HANDLE file, int32_t age) {
    FILETIME ft;
    if (!DosDateTimeToFileTime(static_cast<WORD>(static_cast<uint32_t>(age) >> 16), static_cast<WORD>(age), &ft) ||
        !SetFileTime(file, nullptr, nullptr, &ft))
        return static_cast<int>(GetLastError());
    return 0;
}

int FileSetDate(const std::string& fileName, int32_t age) {
    HANDLE h = CreateFileA(fileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    int r = FileSetDate(h, age);
    CloseHandle(h);
    return r;
}

namespace {
bool DriveRoot(BYTE drive, std::string& root) {
    if (drive == 0) {
        TWinPath w;
        if (ParseWinPath(GetCurrentDir(), w, false)) return false;
        root = w.Root();
        return true;
    }
    if (drive > 26) return false;
    root = std::string(1, static_cast<char>('A' + drive - 1)) + ":\\";
    return true;
}
}  // namespace

int64_t DiskFree(BYTE drive) {
    std::string root;
    uint64_t free;
    if (!DriveRoot(drive, root) || !GetDiskFreeSpaceExA(root.c_str(), &free, nullptr, nullptr)) return -1;
    return static_cast<int64_t>(free);
}

int64_t DiskSize(BYTE drive) {
    std::string root;
    uint64_t total;
    if (!DriveRoot(drive, root) || !GetDiskFreeSpaceExA(root.c_str(), nullptr, &total, nullptr)) return -1;
    return static_cast<int64_t>(total);
}

namespace {
int FindMatching(TSearchRec& f) {
    while (f.FindData.dwFileAttributes & static_cast<DWORD>(f.ExcludeAttr))
        if (!FindNextFileA(f.FindHandle, &f.FindData)) return static_cast<int>(GetLastError());
    WORD date, time;
    FileTimeToDosDateTime(&f.FindData.ftLastWriteTime, &date, &time);
    f.Time = static_cast<int32_t>((static_cast<uint32_t>(date) << 16) | time);
    f.Size = static_cast<int64_t>((static_cast<uint64_t>(f.FindData.nFileSizeHigh) << 32) | f.FindData.nFileSizeLow);
    f.Attr = static_cast<int32_t>(f.FindData.dwFileAttributes);
    f.Name = f.FindData.cFileName;
    return 0;
}
}  // namespace

int FindFirst(const std::string& path, int32_t attr, TSearchRec& f) {
    f.ExcludeAttr = ~attr & (faHidden | faSysFile | faVolumeID | faDirectory);
    f.FindHandle = FindFirstFileA(path.c_str(), &f.FindData);
    if (f.FindHandle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    int r = FindMatching(f);
    if (r) FindClose(f);
    return r;
}

int FindNext(TSearchRec& f) {
    if (!FindNextFileA(f.FindHandle, &f.FindData)) return static_cast<int>(GetLastError());
    return FindMatching(f);
}

void FindClose(TSearchRec& f) {
    if (f.FindHandle != INVALID_HANDLE_VALUE) FindClose(f.FindHandle);
    f.FindHandle = INVALID_HANDLE_VALUE;
}

// ---- the in-use list ---------------------------------------------------------------------------

void AddInUse(const std::string& fileName) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName, r);
    if (e) throw EOSError(e);
    TSqlite::Query(Machine().State(), "INSERT OR REPLACE INTO inuse(fold,path) VALUES(?,?)")
        .Bind(1, r.Key())
        .Bind(2, r.Win.Full())
        .Run();
}

bool RemoveInUse(const std::string& fileName) {
    TResolvedPath r;
    DWORD e = ResolvePath(fileName, r);
    if (e) throw EOSError(e);
    TSqlite& db = Machine().State();
    TSqlite::Query q(db, "DELETE FROM inuse WHERE fold=?");
    q.Bind(1, r.Key()).Run();
    return db.Changes() > 0;
}

std::vector<std::string> InUseList() {
    std::vector<std::string> list;
    TSqlite::Query q(Machine().State(), "SELECT path FROM inuse ORDER BY fold");
    while (q.Step()) list.push_back(q.Blob(0));
    return list;
}

void ClearInUse() { Machine().State().Exec("DELETE FROM inuse"); }

}  // namespace kv
