#include "platform/Registry.h"

#include <sqlite3.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/Sqlite.h"

namespace kv {

// ---- the store ---------------------------------------------------------------------------

namespace {

constexpr HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                           HKEY_USERS,        HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};

bool IsRoot(HKEY k) {
    for (HKEY r : kRoots)
        if (r == k) return true;
    return false;
}

int64_t RootId(HKEY k) { return static_cast<int64_t>(k & 0xF) + 1; }

std::string Fold(const std::string& name) { return AnsiUpperCase(name); }

LONG DbError(const EDatabaseError& e) {
    int code = e.Code() & 0xFF;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB ? ERROR_BADDB : ERROR_REGISTRY_IO_FAILED;
}

// A sub key path taken apart: no leading backslash, no empty names, names of at most 255.
LONG SplitSubKey(const char* subKey, std::vector<std::string>& parts) {
    parts.clear();
    std::string s = subKey ? subKey : "";
    if (s.empty()) return ERROR_SUCCESS;
    if (s[0] == '\\') return ERROR_BAD_PATHNAME;
    if (s.back() == '\\') s.pop_back();
    size_t start = 0;
    for (;;) {
        size_t end = s.find('\\', start);
        std::string name = s.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (name.empty()) return ERROR_BAD_PATHNAME;
        if (name.size() > kMaxKeyNameLen) return ERROR_INVALID_PARAMETER;
        parts.push_back(name);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

bool KeyAlive(TSqlite& db, int64_t id) {
    TSqlite::Query q(db, "SELECT 1 FROM keys WHERE id=?");
    q.Bind(1, id);
    return q.Step();
}

int64_t ChildKey(TSqlite& db, int64_t parent, const std::string& name) {
    TSqlite::Query q(db, "SELECT id FROM keys WHERE parent=? AND fold=?");
    q.Bind(1, parent).Bind(2, Fold(name));
    return q.Step() ? q.Int(0) : 0;
}

// How many keys lie above Id (a root key has none).
size_t Depth(TSqlite& db, int64_t id) {
    size_t depth = 0;
    for (;;) {
        TSqlite::Query q(db, "SELECT parent FROM keys WHERE id=?");
        q.Bind(1, id);
        if (!q.Step() || q.Int(0) == 0) return depth;
        id = q.Int(0);
        ++depth;
    }
}

LONG StoreWalk(TSqlite& db, int64_t from, const std::vector<std::string>& parts, bool create, int64_t& id,
               bool* created) {
    if (created) *created = false;
    std::unique_ptr<TSqlite::Transaction> t;
    if (create) t = std::make_unique<TSqlite::Transaction>(db);
    if (!KeyAlive(db, from)) return ERROR_KEY_DELETED;
    id = from;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string& name = parts[i];
        int64_t child = ChildKey(db, id, name);
        if (!child) {
            if (!create) return ERROR_FILE_NOT_FOUND;
            // Windows keeps keys at most 512 levels deep; so do the recursive walkers.
            if (Depth(db, id) + parts.size() - i > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
            TSqlite::Query(db, "INSERT INTO keys(parent,name,fold) VALUES(?,?,?)")
                .Bind(1, id)
                .Bind(2, name)
                .Bind(3, Fold(name))
                .Run();
            child = db.LastInsertRowId();
            if (created) *created = true;
        }
        id = child;
    }
    if (t) t->Commit();
    return ERROR_SUCCESS;
}

// Writes a value inside the caller's transaction.
LONG StorePut(TSqlite& db, int64_t id, const std::string& name, DWORD type, const std::string& data) {
    if (name.size() > kMaxValueNameLen || data.size() > kMaxValueSize) return ERROR_INVALID_PARAMETER;
    if (!KeyAlive(db, id)) return ERROR_KEY_DELETED;
    TSqlite::Query(db,
                   "INSERT INTO vals(key,name,fold,type,data) VALUES(?1,?2,?3,?4,?5) "
                   "ON CONFLICT(key,fold) DO UPDATE SET type=?4, data=?5")
        .Bind(1, id)
        .Bind(2, name)
        .Bind(3, Fold(name))
        .Bind(4, type)
        .Bind(5, data)
        .Run();
    return ERROR_SUCCESS;
}

LONG StoreSet(TSqlite& db, int64_t id, const std::string& name, DWORD type, const std::string& data) {
    TSqlite::Transaction t(db);
    LONG rc = StorePut(db, id, name, type, data);
    if (!rc) t.Commit();
    return rc;
}

// ---- key handles ----

struct TKeyRef {
    int64_t Id;
    REGSAM Access;
    std::string Machine;
};

std::mutex gKeyLock;
std::map<HKEY, TKeyRef> gKeys;
HKEY gNextKey = 0x1000;

LONG Resolve(HKEY key, int64_t& id, REGSAM* access = nullptr) {
    if (IsRoot(key)) {
        id = RootId(key);
        if (access) *access = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(gKeyLock);
    auto it = gKeys.find(key);
    if (it == gKeys.end() || it->second.Machine != Machine().Root()) return ERROR_INVALID_HANDLE;
    id = it->second.Id;
    if (access) *access = it->second.Access;
    return ERROR_SUCCESS;
}

HKEY NewKeyHandle(int64_t id, REGSAM access) {
    std::lock_guard<std::mutex> lock(gKeyLock);
    HKEY h = gNextKey;
    gNextKey += 4;
    gKeys[h] = {id, access, Machine().Root()};
    return h;
}

DWORD CopyName(const std::string& name, char* buffer, DWORD* size) {
    if (!size || !buffer) return ERROR_INVALID_PARAMETER;
    if (name.size() >= *size) return ERROR_MORE_DATA;
    memcpy(buffer, name.c_str(), name.size() + 1);
    *size = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

DWORD CopyData(const std::string& data, BYTE* buffer, DWORD* size) {
    if (!size) return buffer ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD room = *size;
    *size = static_cast<DWORD>(data.size());
    if (!buffer) return ERROR_SUCCESS;
    if (data.size() > room) return ERROR_MORE_DATA;
    if (!data.empty()) memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

}  // namespace

void InitRegistrySchema(TSqlite& db) {
    db.Exec(
        "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name BLOB NOT NULL,"
        " fold BLOB NOT NULL, UNIQUE(parent, fold));"
        "CREATE TABLE IF NOT EXISTS vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name BLOB NOT NULL,"
        " fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));");
    for (HKEY r : kRoots)
        TSqlite::Query(db, "INSERT OR IGNORE INTO keys(id,parent,name,fold) VALUES(?,0,?,?)")
            .Bind(1, RootId(r))
            .Bind(2, RootKeyName(r))
            .Bind(3, RootKeyName(r))
            .Run();
}

// The registry of a newly installed Windows: the folders the setup programs look up.
void InitRegistryDefaults(TMachine& m) {
    TSqlite& db = m.RegistryDb();
    auto set = [&](HKEY root, const std::string& key, const std::string& name, const std::string& value) {
        std::vector<std::string> parts;
        int64_t id;
        SplitSubKey(key.c_str(), parts);
        StoreWalk(db, RootId(root), parts, true, id, nullptr);
        if (!name.empty() || !value.empty()) StoreSet(db, id, name, REG_SZ, value + '\0');
    };
    const std::string cv = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    set(HKEY_LOCAL_MACHINE, cv, "ProgramFilesDir", "C:\\Program Files");
    set(HKEY_LOCAL_MACHINE, cv, "CommonFilesDir", "C:\\Program Files\\Common Files");
    set(HKEY_LOCAL_MACHINE, cv + "\\RunOnce", "", "");
    set(HKEY_LOCAL_MACHINE, cv + "\\Run", "", "");
    set(HKEY_LOCAL_MACHINE, cv + "\\SharedDLLs", "", "");
    set(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Session Manager", "", "");
    if (m.IsNT()) {
        const std::string nt = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
        set(HKEY_LOCAL_MACHINE, nt, "CurrentVersion", Format("%d.%d", {m.MajorVersion(), m.MinorVersion()}));
        set(HKEY_LOCAL_MACHINE, nt, "CurrentBuildNumber", IntToStr(m.BuildNumber()));
    }
    set(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "", "");
    for (const auto& [name, path] : m.DefaultShellFolders())
        set(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", name, path);
}

// Appends Items to a multi-string value (creating key and value) in one transaction, so
// that programs adding at the same time lose nothing. Entries may be empty.
LONG RegAppendMultiSz(HKEY root, const std::string& subKey, const std::string& name,
                      const std::vector<std::string>& items) {
    std::vector<std::string> parts;
    LONG rc = SplitSubKey(subKey.c_str(), parts);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        int64_t id;
        rc = StoreWalk(db, RootId(root), parts, true, id, nullptr);
        if (rc) return rc;
        TSqlite::Transaction t(db);
        std::string data;
        {
            TSqlite::Query q(db, "SELECT type,data FROM vals WHERE key=? AND fold=?");
            q.Bind(1, id).Bind(2, Fold(name));
            if (q.Step() && q.Int(0) == REG_MULTI_SZ) data = q.Blob(1);
        }
        if (!data.empty() && data.back() == '\0') data.pop_back();  // the list's terminator
        if (!data.empty() && data.back() != '\0') data += '\0';
        for (const auto& item : items) data += item + '\0';
        data += '\0';
        rc = StorePut(db, id, name, REG_MULTI_SZ, data);
        if (!rc) t.Commit();
        return rc;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

std::string RootKeyName(HKEY root) {
    switch (root) {
        case HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
        case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
        case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
        case HKEY_USERS: return "HKEY_USERS";
        case HKEY_CURRENT_CONFIG: return "HKEY_CURRENT_CONFIG";
        case HKEY_DYN_DATA: return "HKEY_DYN_DATA";
        default: return "";
    }
}

bool ParseRootKey(const std::string& fullKey, HKEY& root, std::string& subKey) {
    static const std::pair<const char*, HKEY> shortNames[] = {{"HKCR", HKEY_CLASSES_ROOT}, {"HKCU", HKEY_CURRENT_USER},
                                                              {"HKLM", HKEY_LOCAL_MACHINE}, {"HKU", HKEY_USERS},
                                                              {"HKCC", HKEY_CURRENT_CONFIG}, {"HKDD", HKEY_DYN_DATA}};
    size_t slash = fullKey.find('\\');
    std::string first = fullKey.substr(0, slash);
    subKey = slash == std::string::npos ? "" : fullKey.substr(slash + 1);
    for (HKEY r : kRoots)
        if (SameText(first, RootKeyName(r))) {
            root = r;
            return true;
        }
    for (const auto& [name, r] : shortNames)
        if (SameText(first, name)) {
            root = r;
            return true;
        }
    return false;
}

// ---- the Win32 functions -----------------------------------------------------------------------

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD, char*, DWORD, REGSAM sam, void*, HKEY* result,
                     DWORD* disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    int64_t from, id;
    REGSAM access;
    std::vector<std::string> parts;
    LONG rc = Resolve(key, from, &access);
    if (!rc) rc = SplitSubKey(subKey, parts);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        bool created = false;
        if (!parts.empty() && !(access & KEY_CREATE_SUB_KEY) && StoreWalk(db, from, parts, false, id, nullptr))
            return ERROR_ACCESS_DENIED;
        rc = StoreWalk(db, from, parts, true, id, &created);
        if (rc) return rc;
        if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *result = NewKeyHandle(id, sam);
        return ERROR_SUCCESS;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD, REGSAM sam, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = 0;
    int64_t from, id;
    std::vector<std::string> parts;
    LONG rc = Resolve(key, from);
    if (!rc) rc = SplitSubKey(subKey, parts);
    if (rc) return rc;
    try {
        rc = StoreWalk(Machine().RegistryDb(), from, parts, false, id, nullptr);
        if (rc) return rc;
        *result = NewKeyHandle(id, sam);
        return ERROR_SUCCESS;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegCloseKey(HKEY key) {
    if (IsRoot(key)) return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(gKeyLock);
    return gKeys.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
    int64_t id;
    REGSAM access;
    LONG rc = Resolve(key, id, &access);
    if (rc) return rc;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!data && size) return ERROR_INVALID_PARAMETER;
    if (size > kMaxValueSize) return ERROR_INVALID_PARAMETER;
    try {
        return StoreSet(Machine().RegistryDb(), id, valueName ? valueName : "", type,
                        std::string(reinterpret_cast<const char*>(data), data ? size : 0));
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
    int64_t id;
    LONG rc = Resolve(key, id);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        if (!KeyAlive(db, id)) return ERROR_KEY_DELETED;
        TSqlite::Query q(db, "SELECT type,data FROM vals WHERE key=? AND fold=?");
        q.Bind(1, id).Bind(2, Fold(valueName ? valueName : ""));
        if (!q.Step()) return ERROR_FILE_NOT_FOUND;
        if (type) *type = static_cast<DWORD>(q.Int(0));
        return CopyData(q.Blob(1), data, size);
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
    int64_t id;
    REGSAM access;
    LONG rc = Resolve(key, id, &access);
    if (rc) return rc;
    if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    try {
        TSqlite& db = Machine().RegistryDb();
        if (!KeyAlive(db, id)) return ERROR_KEY_DELETED;
        TSqlite::Query q(db, "DELETE FROM vals WHERE key=? AND fold=?");
        q.Bind(1, id).Bind(2, Fold(valueName ? valueName : "")).Run();
        return db.Changes() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
    int64_t from, id;
    std::vector<std::string> parts;
    LONG rc = Resolve(key, from);
    if (!rc) rc = SplitSubKey(subKey, parts);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        TSqlite::Transaction t(db);
        rc = StoreWalk(db, from, parts, false, id, nullptr);
        if (rc) return rc;
        if (id <= RootId(HKEY_DYN_DATA)) return ERROR_ACCESS_DENIED;
        {
            TSqlite::Query q(db, "SELECT 1 FROM keys WHERE parent=?");
            q.Bind(1, id);
            if (q.Step()) return ERROR_ACCESS_DENIED;
        }
        TSqlite::Query(db, "DELETE FROM vals WHERE key=?").Bind(1, id).Run();
        TSqlite::Query(db, "DELETE FROM keys WHERE id=?").Bind(1, id).Run();
        t.Commit();
        return ERROR_SUCCESS;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD*, char*, DWORD*, FILETIME* lastWrite) {
    int64_t id;
    LONG rc = Resolve(key, id);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        if (!KeyAlive(db, id)) return ERROR_KEY_DELETED;
        TSqlite::Query q(db, "SELECT name FROM keys WHERE parent=? ORDER BY fold LIMIT 1 OFFSET ?");
        q.Bind(1, id).Bind(2, index);
        if (!q.Step()) return ERROR_NO_MORE_ITEMS;
        if (lastWrite) *lastWrite = FILETIME{};
        return CopyName(q.Blob(0), name, nameSize);
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* valueNameSize, DWORD*, DWORD* type, BYTE* data,
                   DWORD* dataSize) {
    int64_t id;
    LONG rc = Resolve(key, id);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        if (!KeyAlive(db, id)) return ERROR_KEY_DELETED;
        TSqlite::Query q(db, "SELECT name,type,data FROM vals WHERE key=? ORDER BY id LIMIT 1 OFFSET ?");
        q.Bind(1, id).Bind(2, index);
        if (!q.Step()) return ERROR_NO_MORE_ITEMS;
        rc = CopyName(q.Blob(0), valueName, valueNameSize);
        if (rc) return rc;
        if (type) *type = static_cast<DWORD>(q.Int(1));
        return CopyData(q.Blob(2), data, dataSize);
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegQueryInfoKeyA(HKEY key, char* className, DWORD* classSize, DWORD*, DWORD* subKeys, DWORD* maxSubKeyLen,
                      DWORD* maxClassLen, DWORD* values, DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD*,
                      FILETIME* lastWrite) {
    int64_t id;
    LONG rc = Resolve(key, id);
    if (rc) return rc;
    try {
        TSqlite& db = Machine().RegistryDb();
        if (!KeyAlive(db, id)) return ERROR_KEY_DELETED;
        TSqlite::Query k(db, "SELECT count(*), coalesce(max(length(name)),0) FROM keys WHERE parent=?");
        k.Bind(1, id).Step();
        if (subKeys) *subKeys = static_cast<DWORD>(k.Int(0));
        if (maxSubKeyLen) *maxSubKeyLen = static_cast<DWORD>(k.Int(1));
        TSqlite::Query v(db,
                         "SELECT count(*), coalesce(max(length(name)),0), coalesce(max(length(data)),0) FROM vals "
                         "WHERE key=?");
        v.Bind(1, id).Step();
        if (values) *values = static_cast<DWORD>(v.Int(0));
        if (maxValueNameLen) *maxValueNameLen = static_cast<DWORD>(v.Int(1));
        if (maxValueLen) *maxValueLen = static_cast<DWORD>(v.Int(2));
        if (className && classSize && *classSize) *className = 0;
        if (classSize) *classSize = 0;
        if (maxClassLen) *maxClassLen = 0;
        if (lastWrite) *lastWrite = FILETIME{};
        return ERROR_SUCCESS;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

LONG RegFlushKey(HKEY key) {
    int64_t id;
    LONG rc = Resolve(key, id);
    if (rc) return rc;
    try {
        Machine().RegistryDb().Checkpoint();
        return ERROR_SUCCESS;
    } catch (const EDatabaseError& e) {
        return DbError(e);
    }
}

// ---- TRegistry -----------------------------------------------------------------------------------

namespace {

TRegDataType DataTypeOf(DWORD type) {
    switch (type) {
        case REG_SZ: return rdString;
        case REG_EXPAND_SZ: return rdExpandString;
        case REG_DWORD: return rdInteger;
        case REG_BINARY: return rdBinary;
        default: return rdUnknown;
    }
}

[[noreturn]] void ReadError(const std::string& name) {
    throw ERegistryException("Invalid data type for '%s'", {name});
}

// A path beginning with "\" is absolute (from the root key).
bool IsRelative(std::string& key) {
    if (!key.empty() && key[0] == '\\') {
        key.erase(0, 1);
        return false;
    }
    return true;
}

}  // namespace

void TRegistry::SetRootKey(HKEY root) {
    if (FRootKey == root) return;
    FRootKey = root;
    CloseKey();
}

HKEY TRegistry::BaseKey(bool relative) const { return FCurrentKey && relative ? FCurrentKey : FRootKey; }

void TRegistry::ChangeKey(HKEY key, const std::string& path) {
    CloseKey();
    FCurrentKey = key;
    FCurrentPath = path;
}

void TRegistry::CloseKey() {
    if (!FCurrentKey) return;
    if (!LazyWrite) RegFlushKey(FCurrentKey);
    RegCloseKey(FCurrentKey);
    FCurrentKey = 0;
    FCurrentPath.clear();
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::string s = key;
    bool relative = IsRelative(s);
    HKEY h = 0;
    LONG rc = !canCreate || s.empty()
                  ? RegOpenKeyExA(BaseKey(relative), s.c_str(), 0, FAccess, &h)
                  : RegCreateKeyExA(BaseKey(relative), s.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, FAccess,
                                    nullptr, &h, nullptr);
    if (rc) {
        SetLastError(rc);
        return false;
    }
    if (FCurrentKey && relative) s = FCurrentPath + "\\" + s;
    ChangeKey(h, s);
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
    REGSAM old = FAccess;
    FAccess = KEY_READ;
    bool ok = OpenKey(key, false);
    FAccess = old;
    return ok;
}

bool TRegistry::CreateKey(const std::string& key) {
    std::string s = key;
    bool relative = IsRelative(s);
    HKEY h = 0;
    LONG rc = RegCreateKeyExA(BaseKey(relative), s.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, FAccess, nullptr, &h,
                              nullptr);
    if (rc) {
        SetLastError(rc);
        throw ERegistryException("Failed to create key %s", {key});
    }
    RegCloseKey(h);
    return true;
}

HKEY TRegistry::GetKey(const std::string& key) {
    std::string s = key;
    bool relative = IsRelative(s);
    HKEY h = 0;
    LONG rc = RegOpenKeyExA(BaseKey(relative), s.c_str(), 0, FAccess, &h);
    if (rc) SetLastError(rc);
    return rc ? 0 : h;
}

bool TRegistry::DeleteKey(const std::string& key) {
    HKEY h = GetKey(key);
    if (h) {
        // Sub keys first, deepest first, as the class library does.
        std::vector<std::string> names;
        char name[kMaxKeyNameLen + 1];
        for (DWORD i = 0;; ++i) {
            DWORD n = sizeof name;
            if (RegEnumKeyExA(h, i, name, &n, nullptr, nullptr, nullptr, nullptr)) break;
            names.push_back(name);
        }
        HKEY saved = FCurrentKey;
        FCurrentKey = h;
        for (const auto& n : names) DeleteKey(n);
        FCurrentKey = saved;
        RegCloseKey(h);
    }
    std::string s = key;
    bool relative = IsRelative(s);
    LONG rc = RegDeleteKeyA(BaseKey(relative), s.c_str());
    if (rc) SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

bool TRegistry::KeyExists(const std::string& key) {
    HKEY h = GetKey(key);
    if (h) RegCloseKey(h);
    return h != 0;
}

bool TRegistry::GetKeyInfo(TRegKeyInfo& info) {
    info = TRegKeyInfo();
    DWORD subKeys, maxSubKeyLen, values, maxValueName, maxData;
    LONG rc = RegQueryInfoKeyA(FCurrentKey, nullptr, nullptr, nullptr, &subKeys, &maxSubKeyLen, nullptr, &values,
                               &maxValueName, &maxData, nullptr, &info.FileTime);
    if (rc) {
        SetLastError(rc);
        return false;
    }
    info.NumSubKeys = static_cast<int32_t>(subKeys);
    info.MaxSubKeyLen = static_cast<int32_t>(maxSubKeyLen);
    info.NumValues = static_cast<int32_t>(values);
    info.MaxValueLen = static_cast<int32_t>(maxValueName);
    info.MaxDataLen = static_cast<int32_t>(maxData);
    return true;
}

bool TRegistry::HasSubKeys() {
    TRegKeyInfo info;
    return GetKeyInfo(info) && info.NumSubKeys > 0;
}

std::vector<std::string> TRegistry::GetKeyNames() {
    std::vector<std::string> names;
    char name[kMaxKeyNameLen + 1];
    for (DWORD i = 0;; ++i) {
        DWORD n = sizeof name;
        if (RegEnumKeyExA(FCurrentKey, i, name, &n, nullptr, nullptr, nullptr, nullptr)) break;
        names.push_back(name);
    }
    return names;
}

std::vector<std::string> TRegistry::GetValueNames() {
    std::vector<std::string> names;
    std::string name(kMaxValueNameLen + 1, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD n = static_cast<DWORD>(name.size());
        if (RegEnumValueA(FCurrentKey, i, name.data(), &n, nullptr, nullptr, nullptr, nullptr)) break;
        names.push_back(name.substr(0, n));
    }
    return names;
}

bool TRegistry::ValueExists(const std::string& name) {
    TRegDataInfo info;
    return GetDataInfo(name, info);
}

bool TRegistry::DeleteValue(const std::string& name) {
    LONG rc = RegDeleteValueA(FCurrentKey, name.c_str());
    if (rc) SetLastError(rc);
    return rc == ERROR_SUCCESS;
}

bool TRegistry::GetDataInfo(const std::string& name, TRegDataInfo& info) {
    info = TRegDataInfo();
    DWORD type = 0, size = 0;
    LONG rc = RegQueryValueExA(FCurrentKey, name.c_str(), nullptr, &type, nullptr, &size);
    if (rc) {
        SetLastError(rc);
        return false;
    }
    info.RegData = DataTypeOf(type);
    info.DataSize = static_cast<int32_t>(size);
    return true;
}

int32_t TRegistry::GetDataSize(const std::string& name) {
    TRegDataInfo info;
    return GetDataInfo(name, info) ? info.DataSize : -1;
}

TRegDataType TRegistry::GetDataType(const std::string& name) {
    TRegDataInfo info;
    return GetDataInfo(name, info) ? info.RegData : rdUnknown;
}

DWORD TRegistry::GetData(const std::string& name, void* buffer, DWORD size, TRegDataType& type) {
    DWORD t = 0, n = size;
    LONG rc = RegQueryValueExA(FCurrentKey, name.c_str(), nullptr, &t, static_cast<BYTE*>(buffer), &n);
    if (rc) {
        SetLastError(rc);
        throw ERegistryException("Failed to get data for '%s'", {name});
    }
    type = DataTypeOf(t);
    return n;
}

void TRegistry::PutData(const std::string& name, const void* buffer, DWORD size, DWORD type) {
    LONG rc = RegSetValueExA(FCurrentKey, name.c_str(), 0, type, static_cast<const BYTE*>(buffer), size);
    if (rc) {
        SetLastError(rc);
        throw ERegistryException("Failed to set data for '%s'", {name});
    }
}

std::string TRegistry::ReadString(const std::string& name) {
    TRegDataInfo info;
    if (!GetDataInfo(name, info)) throw ERegistryException("Failed to get data for '%s'", {name});
    if (info.RegData != rdString && info.RegData != rdExpandString) ReadError(name);
    std::string s(static_cast<size_t>(info.DataSize), '\0');
    TRegDataType type;
    s.resize(GetData(name, s.data(), static_cast<DWORD>(s.size()), type));
    return s.substr(0, s.find('\0'));
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    PutData(name, value.c_str(), static_cast<DWORD>(value.size() + 1), REG_SZ);
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
    PutData(name, value.c_str(), static_cast<DWORD>(value.size() + 1), REG_EXPAND_SZ);
}

int32_t TRegistry::ReadInteger(const std::string& name) {
    TRegDataInfo info;
    if (!GetDataInfo(name, info)) throw ERegistryException("Failed to get data for '%s'", {name});
    if (info.RegData != rdInteger || info.DataSize != 4) ReadError(name);
    uint8_t b[4];
    TRegDataType type;
    GetData(name, b, 4, type);
    return static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24));
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
    auto v = static_cast<uint32_t>(value);
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)};
    PutData(name, b, 4, REG_DWORD);
}

bool TRegistry::ReadBool(const std::string& name) { return ReadInteger(name) != 0; }
void TRegistry::WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }

double TRegistry::ReadFloat(const std::string& name) {
    TRegDataInfo info;
    if (!GetDataInfo(name, info)) throw ERegistryException("Failed to get data for '%s'", {name});
    if (info.RegData != rdBinary || info.DataSize != 8) ReadError(name);
    uint8_t b[8];
    TRegDataType type;
    GetData(name, b, 8, type);
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | b[i];
    double d;
    memcpy(&d, &bits, 8);
    return d;
}

void TRegistry::WriteFloat(const std::string& name, double value) {
    uint64_t bits;
    memcpy(&bits, &value, 8);
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(bits >> (8 * i));
    PutData(name, b, 8, REG_BINARY);
}

TDateTime TRegistry::ReadDateTime(const std::string& name) { return ReadFloat(name); }
void TRegistry::WriteDateTime(const std::string& name, TDateTime value) { WriteFloat(name, value); }

int32_t TRegistry::ReadBinaryData(const std::string& name, void* buffer, int32_t bufSize) {
    TRegDataInfo info;
    if (!GetDataInfo(name, info)) throw ERegistryException("Failed to get data for '%s'", {name});
    if ((info.RegData != rdBinary && info.RegData != rdUnknown) || info.DataSize > bufSize) ReadError(name);
    TRegDataType type;
    return static_cast<int32_t>(GetData(name, buffer, static_cast<DWORD>(info.DataSize), type));
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int32_t size) {
    if (size < 0) throw ERegistryException("Failed to set data for '%s'", {name});
    PutData(name, buffer, static_cast<DWORD>(size), REG_BINARY);
}

}  // namespace kv
