#include "platform/Machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/Paths.h"
#include "platform/Sqlite.h"

namespace kv {

void InitRegistrySchema(TSqlite& db);  // Registry.cpp
void InitRegistryDefaults(TMachine& m);

namespace fs = std::filesystem;

const std::vector<TVersionPreset>& VersionPresets() {
    // The 9x family keeps major and minor version in the high word of the build number.
    static const std::vector<TVersionPreset> presets = {
        {"Win95", "Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, "", "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP"},
        {"Win98", "Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A07CE, "", "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP"},
        {"NT4", "Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6", "C:\\WINNT",
         "C:\\WINNT\\system32", "C:\\TEMP"},
        {"NT351", "Windows NT 3.51", VER_PLATFORM_WIN32_NT, 3, 51, 1057, "Service Pack 5", "C:\\WINNT35",
         "C:\\WINNT35\\system32", "C:\\TEMP"},
        {"Win32s", "Win32s on Windows 3.1", VER_PLATFORM_WIN32s, 3, 10, 0, "", "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\TEMP"},
    };
    return presets;
}

const TVersionPreset* FindVersionPreset(const std::string& name) {
    for (const auto& p : VersionPresets())
        if (SameText(p.Name, name) || SameText(p.Title, name)) return &p;
    return nullptr;
}

namespace {

[[noreturn]] void BadConfig(const std::string& root, const std::string& what) {
    throw Exception(root + "/machine.ini: " + what);
}

int32_t ConfigInt(const TIniText& ini, const std::string& root, const char* section, const char* ident,
                  int32_t def) {
    std::string v;
    if (!ini.Read(section, ident, v) || v.empty()) return def;
    int32_t n;
    if (!TryStrToInt(v, n)) BadConfig(root, Format("%s is not a number: %s", {ident, v}));
    return n;
}

// Serialises machine creation between processes that start on a new folder together.
class TFolderLock {
public:
    explicit TFolderLock(const std::string& path) {
        FFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (FFd >= 0) ::flock(FFd, LOCK_EX);
    }
    ~TFolderLock() {
        if (FFd >= 0) ::close(FFd);
    }

private:
    int FFd;
};

void MakeDirs(const std::string& host) {
    std::error_code ec;
    fs::create_directories(host, ec);
}

}  // namespace

TMachine::TMachine(const std::string& hostRoot, const std::string& preset) {
    std::error_code ec;
    fs::create_directories(hostRoot, ec);
    if (!fs::is_directory(hostRoot)) throw Exception("Cannot create the machine folder " + hostRoot);
    FRoot = fs::canonical(hostRoot).string();
    TFolderLock lock(RootFile(".lock"));
    bool fresh = !fs::exists(RootFile("machine.ini"));
    if (fresh) CreateDefaults(preset);
    LoadConfig();
    for (const auto& d : FDrives)
        if (d.Type == DRIVE_FIXED && d.HostDir != "/") MakeDirs(d.HostDir);
    if (fresh) {
        // The standard folders and the registry of a newly installed Windows.
        const TDrive* c = FindDrive('C');
        if (c) {
            auto host = [&](const std::string& win) {
                std::string h = c->HostDir;
                for (size_t i = 3; i <= win.size(); ++i) {
                    size_t j = win.find('\\', i);
                    if (j == std::string::npos) j = win.size();
                    h += "/" + AnsiToUtf8(win.substr(i, j - i));
                    i = j;
                }
                return h;
            };
            std::vector<std::string> dirs = {FWindowsDir, FSystemDir, FTempDir, "C:\\Program Files",
                                             "C:\\Program Files\\Common Files"};
            for (const auto& [name, dir] : DefaultShellFolders()) dirs.push_back(dir);
            for (const std::string& dir : dirs)
                if (dir.size() > 3 && toupper(static_cast<unsigned char>(dir[0])) == 'C') MakeDirs(host(dir));
        }
        InitRegistryDefaults(*this);
    }
}

TMachine::~TMachine() = default;

void TMachine::CreateDefaults(const std::string& presetName) {
    const TVersionPreset* p = FindVersionPreset(presetName);
    if (!p) throw Exception("Unknown Windows version " + presetName);
    std::string text =
        "; The emulated Windows machine. Version: Win95, Win98, NT4, NT351 or Win32s; PlatformId,\r\n"
        "; MajorVersion, MinorVersion, BuildNumber and CSDVersion override the version's data.\r\n"
        "[Machine]\r\n"
        "Version=" + std::string(p->Name) + "\r\n"
        "WindowsDir=" + p->WindowsDir + "\r\n"
        "SystemDir=" + p->SystemDir + "\r\n"
        "TempDir=" + p->TempDir + "\r\n"
        "CodePage=1252\r\n"
        "LanguageId=0x0409\r\n"
        "ScreenWidth=1024\r\n"
        "ScreenHeight=768\r\n"
        "CaptionHeight=18\r\n"
        "ShutdownPrivilege=1\r\n"
        "UserName=Administrator\r\n"
        "\r\n"
        "; Letter=type,folder[,capacity in bytes]; the folder is relative to the machine folder.\r\n"
        "[Drives]\r\n"
        "A=removable,drive_a,1457664\r\n"
        "C=fixed,drive_c\r\n"
        "Z=fixed,/\r\n"
        "\r\n"
        "; \\\\server\\share=folder\r\n"
        "[UNC]\r\n";
    TIniText ini;
    ini.SetText(text);
    if (!SaveIniHost(RootFile("machine.ini"), ini)) throw Exception("Cannot write " + RootFile("machine.ini"));
    MakeDirs(RootFile("drive_a"));
}

std::vector<std::pair<std::string, std::string>> TMachine::DefaultShellFolders() const {
    if (FPlatformId == VER_PLATFORM_WIN32s || (IsNT() && FMajor < 4)) return {};
    const std::string w = FWindowsDir;
    const std::string p = IsNT() ? w + "\\Profiles\\" + FUserName : w;
    return {{"Desktop", p + "\\Desktop"},
            {"Start Menu", p + "\\Start Menu"},
            {"Programs", p + "\\Start Menu\\Programs"},
            {"Startup", p + "\\Start Menu\\Programs\\StartUp"},
            {"Personal", IsNT() ? p + "\\Personal" : std::string("C:\\My Documents")},
            {"Favorites", p + "\\Favorites"},
            {"SendTo", p + "\\SendTo"},
            {"Recent", p + "\\Recent"},
            {"Templates", p + "\\ShellNew"},
            {"Fonts", w + "\\Fonts"}};
}

std::string TMachine::ConfigValue(const std::string& section, const std::string& ident,
                                  const std::string& def) const {
    std::string v;
    return FConfig.Read(section, ident, v) ? v : def;
}

void TMachine::LoadConfig() {
    FConfig = LoadIniHost(RootFile("machine.ini"));
    FVersionName = ConfigValue("Machine", "Version", "NT4");
    const TVersionPreset* p = FindVersionPreset(FVersionName);
    if (!p) BadConfig(FRoot, "unknown Version " + FVersionName);
    FVersionName = p->Name;
    FPlatformId = ConfigInt(FConfig, FRoot, "Machine", "PlatformId", p->PlatformId);
    FMajor = ConfigInt(FConfig, FRoot, "Machine", "MajorVersion", p->Major);
    FMinor = ConfigInt(FConfig, FRoot, "Machine", "MinorVersion", p->Minor);
    FBuild = ConfigInt(FConfig, FRoot, "Machine", "BuildNumber", static_cast<int32_t>(p->Build));
    FCSD = ConfigValue("Machine", "CSDVersion", p->CSDVersion);
    FWindowsDir = ConfigValue("Machine", "WindowsDir", p->WindowsDir);
    FSystemDir = ConfigValue("Machine", "SystemDir", p->SystemDir);
    FTempDir = ConfigValue("Machine", "TempDir", p->TempDir);
    FCodePage = ConfigInt(FConfig, FRoot, "Machine", "CodePage", 1252);
    FLanguageId = static_cast<WORD>(ConfigInt(FConfig, FRoot, "Machine", "LanguageId", 0x0409));
    FScreenWidth = ConfigInt(FConfig, FRoot, "Machine", "ScreenWidth", 1024);
    FScreenHeight = ConfigInt(FConfig, FRoot, "Machine", "ScreenHeight", 768);
    FCaptionHeight = ConfigInt(FConfig, FRoot, "Machine", "CaptionHeight", 18);
    FShutdownPrivilege = ConfigInt(FConfig, FRoot, "Machine", "ShutdownPrivilege", 1) != 0;
    FUserName = ConfigValue("Machine", "UserName", "Administrator");
    if (FCSD.size() > 127) BadConfig(FRoot, "CSDVersion is longer than 127 characters");

    auto hostDir = [&](const std::string& folder) {
        std::string f = AnsiToUtf8(Trim(folder));
        if (f.empty()) BadConfig(FRoot, "a drive or share without a folder");
        return f[0] == '/' ? f : FRoot + "/" + f;
    };
    FDrives.clear();
    for (const auto& [letter, driveSpec] : FConfig.Entries("Drives")) {
        if (letter.size() != 1 || !isalpha(static_cast<unsigned char>(letter[0])))
            BadConfig(FRoot, "bad drive letter " + letter);
        std::vector<std::string> f;
        size_t start = 0;
        for (;;) {
            size_t comma = driveSpec.find(',', start);
            f.push_back(Trim(driveSpec.substr(start, comma - start)));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        static const std::pair<const char*, UINT> types[] = {{"removable", DRIVE_REMOVABLE}, {"fixed", DRIVE_FIXED},
                                                             {"remote", DRIVE_REMOTE},       {"cdrom", DRIVE_CDROM},
                                                             {"ramdisk", DRIVE_RAMDISK}};
        TDrive d;
        d.Letter = static_cast<char>(toupper(static_cast<unsigned char>(letter[0])));
        d.Type = DRIVE_UNKNOWN;
        for (const auto& [name, type] : types)
            if (SameText(f[0], name)) d.Type = type;
        if (d.Type == DRIVE_UNKNOWN || f.size() < 2 || f.size() > 3) BadConfig(FRoot, "bad drive " + letter + "=" + driveSpec);
        d.HostDir = hostDir(f[1]);
        if (f.size() == 3) {
            int64_t cap;
            if (!TryStrToInt64(f[2], cap) || cap <= 0) BadConfig(FRoot, "bad capacity of drive " + letter);
            d.Capacity = cap;
        }
        if (FindDrive(d.Letter)) BadConfig(FRoot, "drive " + letter + " given twice");
        FDrives.push_back(d);
    }
    FShares.clear();
    for (const auto& [name, folder] : FConfig.Entries("UNC")) {
        TWinPath w;
        if (name.size() < 5 || name.compare(0, 2, "\\\\") != 0 || ParseWinPath(name, w, true) != ERROR_SUCCESS ||
            !w.Parts.empty())
            BadConfig(FRoot, "bad share name " + name);
        FShares.push_back({"\\\\" + w.Server + "\\" + w.Share, hostDir(folder)});
    }
}

const TDrive* TMachine::FindDrive(char letter) const {
    char up = static_cast<char>(toupper(static_cast<unsigned char>(letter)));
    for (const auto& d : FDrives)
        if (d.Letter == up) return &d;
    return nullptr;
}

const TUncShare* TMachine::FindShare(const std::string& server, const std::string& share) const {
    for (const auto& s : FShares)
        if (SameText(s.Name, "\\\\" + server + "\\" + share)) return &s;
    return nullptr;
}

void TMachine::Journal(const std::string& text) {
    std::string line = DateTimeToStr(Now()) + " [" + std::to_string(getpid()) + "] " + text + "\n";
    int fd = ::open(RootFile("journal.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
}

std::vector<std::string> TMachine::JournalLines() const {
    std::vector<std::string> lines;
    std::ifstream in(RootFile("journal.log"), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

TSqlite& TMachine::State() {
    std::lock_guard<std::mutex> lock(FStoreLock);
    if (FState && FStatePid != getpid()) {
        FState->Abandon();
        FState.reset();
    }
    if (!FState) {
        auto db = std::make_unique<TSqlite>(RootFile("state.db"));
        db->Exec(
            "CREATE TABLE IF NOT EXISTS inuse(fold BLOB PRIMARY KEY, path BLOB NOT NULL);"
            "CREATE TABLE IF NOT EXISTS attrs(fold BLOB PRIMARY KEY, attr INTEGER NOT NULL, ident BLOB);");
        FState = std::move(db);
        FStatePid = getpid();
    }
    return *FState;
}

TSqlite& TMachine::RegistryDb() {
    std::lock_guard<std::mutex> lock(FStoreLock);
    if (FRegistry && FRegistryPid != getpid()) {
        FRegistry->Abandon();
        FRegistry.reset();
    }
    if (!FRegistry) {
        auto db = std::make_unique<TSqlite>(RootFile("registry.db"));
        InitRegistrySchema(*db);
        FRegistry = std::move(db);
        FRegistryPid = getpid();
    }
    return *FRegistry;
}

// ---- the current machine ---------------------------------------------------------

namespace {
std::mutex gMachineLock;
std::unique_ptr<TMachine> gMachine;
std::atomic<int> gBootScopes{0};
}  // namespace

std::string DefaultMachineRoot() {
    const char* env = std::getenv("KELVANE_MACHINE");
    if (env && *env) return env;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/kelvane/machine";
}

TMachine& Machine() {
    std::lock_guard<std::mutex> lock(gMachineLock);
    if (!gMachine) gMachine = std::make_unique<TMachine>(DefaultMachineRoot());
    return *gMachine;
}

void UseMachine(const std::string& hostRoot, const std::string& preset) {
    auto m = std::make_unique<TMachine>(hostRoot.empty() ? DefaultMachineRoot() : hostRoot, preset);
    {
        std::lock_guard<std::mutex> lock(gMachineLock);
        gMachine = std::move(m);
    }
    ResetCurrentDir();
}

TBootScope::TBootScope() { ++gBootScopes; }
TBootScope::~TBootScope() { --gBootScopes; }
bool TBootScope::Active() { return gBootScopes > 0; }

}  // namespace kv
