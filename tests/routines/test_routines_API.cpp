#include <gtest/gtest.h>

#include <functional>

#include "platform/Files.h"
#include "routines/routines_API.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::TempMachine;

TEST(routines_API, WindowsClassOfEveryVersion) {
    struct Case { const char* preset; int32_t want; };
    const Case cases[] = {{"Win32s", 0}, {"Win95", 1}, {"Win98", 1}, {"NT4", 2}, {"NT351", 3}};
    for (const auto& c : cases) {
        TempMachine m(c.preset);
        EXPECT_EQ(GetWindowsClass(), c.want) << c.preset;
    }
    // The version text decides between the NT classes; other platforms are class 4.
    struct Override { const char* lines; int32_t want; };
    const Override overrides[] = {
        {"MajorVersion=3\r\nMinorVersion=50", 3},
        {"MajorVersion=3\r\nMinorVersion=1", 2},
        {"MajorVersion=13\r\nMinorVersion=51", 3},
        {"MajorVersion=5\r\nMinorVersion=0", 2},
        {"PlatformId=3", 4},
    };
    for (const auto& o : overrides) {
        TempMachine m("NT4");
        std::string ini = m.Read("machine.ini");
        ini.insert(ini.find("Version=NT4") + 11, std::string("\r\n") + o.lines);
        m.Write("machine.ini", ini);
        UseMachine(m.Dir);
        EXPECT_EQ(GetWindowsClass(), o.want) << o.lines;
    }
}

TEST(routines_API, FoldersAndTemporaryFiles) {
    TempMachine m("Win95");
    std::string p;
    GetWindowsDir(p);
    EXPECT_EQ(p, "C:\\WINDOWS");
    GetSystemDir(p);
    EXPECT_EQ(p, "C:\\WINDOWS\\SYSTEM");
    GetTempFile(true, p);
    EXPECT_EQ(p.substr(0, 19), "C:\\WINDOWS\\TEMP\\bat");
    EXPECT_EQ(p.substr(p.size() - 4), ".TMP");
    EXPECT_TRUE(FileExists(p));
    std::string q;
    GetTempFile(false, q);
    EXPECT_NE(q, p);
    EXPECT_FALSE(FileExists(q));  // only the name was wanted
    m.Write("drive_c/Program Files/Some App/file.dat", "");
    GetShortPath("C:\\Program Files\\Some App\\file.dat", p);
    EXPECT_EQ(p, "C:\\PROGRA~1\\SOMEAP~1\\file.dat");
    GetShortPath("C:\\Program Files\\missing.dat", p);
    EXPECT_EQ(p, "");
}

TEST(routines_API, FailuresRaiseTheirMessages) {
    std::string p;
    struct Setting { std::string line; std::function<void()> call; const char* message; };
    const Setting settings[] = {
        {"TempDir=C:\\NoSuchFolder", [&] { GetTempFile(false, p); }, "Cannot create a temporary file"},
        {"TempDir=C:\\" + std::string(270, 't'), [&] { GetTempFile(true, p); }, "Cannot create a temporary file"},
        {"SystemDir=C:\\" + std::string(270, 's'), [&] { GetSystemDir(p); },
         "Could not retrieve the system directroy from windows"},
        {"WindowsDir=C:\\" + std::string(270, 'w'), [&] { GetWindowsDir(p); },
         "Could not retrieve the windows directory from windows"},
    };
    for (const auto& s : settings) {
        TempMachine m("NT4");
        std::string ini = m.Read("machine.ini");
        size_t key = ini.find(s.line.substr(0, s.line.find('=') + 1));
        ini.replace(key, ini.find("\r\n", key) - key, s.line);
        m.Write("machine.ini", ini);
        UseMachine(m.Dir);
        try {
            s.call();
            ADD_FAILURE() << s.line;
        } catch (const EAPIRoutines& e) {
            EXPECT_STREQ(e.what(), s.message);
            EXPECT_NE(dynamic_cast<const EKelvaneAbnormal*>(&e), nullptr);
        }
    }
}
