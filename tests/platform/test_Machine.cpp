#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/Files.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::TempMachine;

TEST(Machine, FreshMachineHasTheDefaults) {
    TempMachine m;
    EXPECT_TRUE(m.Exists("machine.ini"));
    for (const char* dir : {"drive_c/WINNT/system32", "drive_c/TEMP", "drive_c/Program Files/Common Files", "drive_a"})
        EXPECT_TRUE(std::filesystem::is_directory(m.Host(dir))) << dir;
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0409);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
    EXPECT_EQ(GetSystemMetrics(SM_CYCAPTION), 18);
    // Opening it again keeps what is there.
    m.Write("drive_c/keep.txt", "k");
    UseMachine(m.Dir);
    EXPECT_TRUE(FileExists("C:\\keep.txt"));
}

TEST(Machine, VersionPresetsReportWhatWindowsReports) {
    struct Case { const char* preset; DWORD platform, major, minor, build; const char* windows; const char* system; };
    const Case cases[] = {
        {"Win95", 1, 4, 0, 0x040003B6, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {"Win98", 1, 4, 10, 0x040A07CE, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {"NT4", 2, 4, 0, 1381, "C:\\WINNT", "C:\\WINNT\\system32"},
        {"nt351", 2, 3, 51, 1057, "C:\\WINNT35", "C:\\WINNT35\\system32"},
        {"Win32s", 0, 3, 10, 0, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
    };
    for (const auto& c : cases) {
        TempMachine m(c.preset);
        OSVERSIONINFOA vi{};
        vi.dwOSVersionInfoSize = sizeof vi;
        ASSERT_TRUE(GetVersionExA(&vi)) << c.preset;
        EXPECT_EQ(vi.dwPlatformId, c.platform) << c.preset;
        EXPECT_EQ(vi.dwMajorVersion, c.major) << c.preset;
        EXPECT_EQ(vi.dwMinorVersion, c.minor) << c.preset;
        EXPECT_EQ(vi.dwBuildNumber, c.build) << c.preset;
        char buf[MAX_PATH];
        GetWindowsDirectoryA(buf, MAX_PATH);
        EXPECT_STREQ(buf, c.windows);
        GetSystemDirectoryA(buf, MAX_PATH);
        EXPECT_STREQ(buf, c.system);
        EXPECT_TRUE(DirectoryExists(c.system));
    }
    OSVERSIONINFOA vi{};
    vi.dwOSVersionInfoSize = 100;
    EXPECT_FALSE(GetVersionExA(&vi));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(Machine, ConfigurationOverridesAndRefusesNonsense) {
    TempMachine m;
    auto rewrite = [&](const std::string& from, const std::string& to) {
        std::string ini = m.Read("machine.ini");
        ini.replace(ini.find(from), from.size(), to);
        m.Write("machine.ini", ini);
    };
    rewrite("Version=NT4", "Version=NT4\r\nPlatformId=3\r\nCSDVersion=Beta");
    rewrite("CaptionHeight=18", "CaptionHeight=20");
    UseMachine(m.Dir);
    OSVERSIONINFOA vi{};
    vi.dwOSVersionInfoSize = sizeof vi;
    ASSERT_TRUE(GetVersionExA(&vi));
    EXPECT_EQ(vi.dwPlatformId, 3u);
    EXPECT_STREQ(vi.szCSDVersion, "Beta");
    EXPECT_EQ(GetSystemMetrics(SM_CYCAPTION), 20);
    const std::string good = m.Read("machine.ini");
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"Version=NT4", "Version=Windows 2000"},
             {"CodePage=1252", "CodePage=many"},
             {"C=fixed,drive_c", "C=weird,drive_c"},
             {"C=fixed,drive_c", "C=fixed,drive_c,-5"},
             {"C=fixed,drive_c", "CC=fixed,drive_c"},
             {"C=fixed,drive_c", "C=fixed"},
             {"Z=fixed,/", "Z=fixed,/\r\nz=fixed,/tmp"},
             {"[UNC]", "[UNC]\r\nsrv=shares"},
         }) {
        m.Write("machine.ini", good);
        rewrite(from, to);
        EXPECT_THROW(UseMachine(m.Dir), Exception) << to;
    }
    m.Write("machine.ini", good);
    EXPECT_THROW(UseMachine(m.Root + "/new", "Windows 2000"), Exception);
}

TEST(Machine, DefaultFolderComesFromTheEnvironment) {
    TempMachine m;
    ::setenv("KELVANE_MACHINE", (m.Root + "/env").c_str(), 1);
    UseMachine("");
    EXPECT_EQ(Machine().Root(), m.Root + "/env");
    EXPECT_TRUE(m.Exists("../env/machine.ini"));
    ::unsetenv("KELVANE_MACHINE");
    if (const char* home = std::getenv("HOME")) {
        EXPECT_EQ(DefaultMachineRoot(), std::string(home) + "/.local/share/kelvane/machine");
    }
}

TEST(Machine, JournalKeepsOneLinePerEvent) {
    TempMachine m;
    Machine().Journal("first event");
    Machine().Journal("second event");
    auto lines = Machine().JournalLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("] first event"), std::string::npos);
    EXPECT_NE(lines[1].find("] second event"), std::string::npos);
}
