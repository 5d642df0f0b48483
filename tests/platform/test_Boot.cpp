#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Boot.h"
#include "platform/Files.h"
#include "platform/IniFiles.h"
#include "platform/Registry.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::TempMachine;

namespace {

std::vector<std::string> BootLines() {
    std::vector<std::string> out;
    for (const auto& line : Machine().JournalLines()) {
        size_t at = line.find("] boot: ");
        if (at != std::string::npos) out.push_back(line.substr(at + 8));
    }
    return out;
}

void SetRunOnce(HKEY root, const std::string& name, const std::string& command, DWORD type = REG_SZ) {
    TRegistry reg;
    reg.SetRootKey(root);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", true));
    if (type == REG_SZ) reg.WriteString(name, command);
    else reg.WriteInteger(name, 1);
}

}  // namespace

TEST(Boot, NTStartDoesPendingRenamesThenRunOnce) {
    TempMachine m("NT4");
    m.Write("drive_c/Program Files/App/tool.dll", "old");
    m.Write("drive_c/Program Files/App/tool.1", "new");
    m.Write("drive_c/TEMP/gone.tmp", "x");
    m.Write("drive_c/TEMP/cross.txt", "x");
    m.Write("drive_c/w/log", "");
    AddInUse("C:\\Program Files\\App\\tool.dll");
    ASSERT_FALSE(MoveFileExA("C:\\Program Files\\App\\tool.1", "C:\\Program Files\\App\\tool.dll",
                             MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExA("C:\\Program Files\\App\\tool.1", "C:\\Program Files\\App\\tool.dll",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    ASSERT_TRUE(MoveFileExA("C:\\TEMP\\gone.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    ASSERT_TRUE(MoveFileExA("C:\\TEMP\\cross.txt", "A:\\cross.txt", MOVEFILE_DELAY_UNTIL_REBOOT));
    // RunOnce: machine before user, each in name order; a value that is no command is dropped.
    for (const char* n : {"b", "A", "c"}) m.Write(std::string("drive_c/w/") + n + ".bat", "REM\r\n");
    SetRunOnce(HKEY_LOCAL_MACHINE, "b", "C:\\w\\b.bat");
    SetRunOnce(HKEY_LOCAL_MACHINE, "A", "C:\\w\\A.bat");
    SetRunOnce(HKEY_LOCAL_MACHINE, "number", "", REG_DWORD);
    SetRunOnce(HKEY_CURRENT_USER, "0first", "C:\\w\\c.bat");
    SetRunOnce(HKEY_LOCAL_MACHINE, "missing", "C:\\w\\missing.exe");

    BootMachine();
    EXPECT_EQ(m.Read("drive_c/Program Files/App/tool.dll"), "new");
    EXPECT_FALSE(m.Exists("drive_c/Program Files/App/tool.1"));
    EXPECT_FALSE(m.Exists("drive_c/TEMP/gone.tmp"));
    EXPECT_TRUE(m.Exists("drive_c/TEMP/cross.txt"));  // Windows renames only within a drive
    EXPECT_TRUE(InUseList().empty());
    EXPECT_TRUE(PendingRenames().empty());
    const std::vector<std::string> want = {
        "Windows starts",
        "pending rename C:\\Program Files\\App\\tool.1 -> C:\\Program Files\\App\\tool.dll: done",
        "pending delete C:\\TEMP\\gone.tmp: done",
        "pending rename C:\\TEMP\\cross.txt -> A:\\cross.txt: The system cannot move the file to a different disk drive.",
        "RunOnce HKEY_LOCAL_MACHINE A: C:\\w\\A.bat",
        "RunOnce HKEY_LOCAL_MACHINE b: C:\\w\\b.bat",
        "RunOnce HKEY_LOCAL_MACHINE missing: C:\\w\\missing.exe",
        "RunOnce HKEY_LOCAL_MACHINE missing: The system cannot find the file specified.",
        "RunOnce HKEY_LOCAL_MACHINE number: no command",
        "RunOnce HKEY_CURRENT_USER 0first: C:\\w\\c.bat",
        "Windows is up",
    };
    EXPECT_EQ(BootLines(), want);
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", false));
    EXPECT_TRUE(reg.GetValueNames().empty());

    // A second start finds nothing to do.
    BootMachine();
    auto again = BootLines();
    EXPECT_EQ(std::vector<std::string>(again.begin() + static_cast<long>(want.size()), again.end()),
              (std::vector<std::string>{"Windows starts", "Windows is up"}));
}

TEST(Boot, Windows95StartDoesWininitRenames) {
    TempMachine m("Win95");
    m.Write("drive_c/Program Files/App/tool.dll", "old");
    m.Write("drive_c/Program Files/App/tool.1", "new");
    m.Write("drive_c/WINDOWS/TEMP/old.tmp", "x");
    SetFileAttributesA("C:\\WINDOWS\\TEMP\\old.tmp", FILE_ATTRIBUTE_READONLY);
    AddInUse("C:\\Program Files\\App\\tool.dll");
    TIniFile ini("WININIT.INI");
    std::string s = ShortPathName("C:\\Program Files\\App\\tool.dll");
    ASSERT_EQ(s, "C:\\PROGRA~1\\App\\tool.dll");
    ini.WriteString("Rename", s, "C:\\PROGRA~1\\App\\tool.1");
    ini.WriteString("Rename", "NUL", "C:\\WINDOWS\\TEMP\\old.tmp");
    BootMachine();
    EXPECT_EQ(m.Read("drive_c/Program Files/App/tool.dll"), "new");
    EXPECT_FALSE(m.Exists("drive_c/Program Files/App/tool.1"));
    EXPECT_FALSE(m.Exists("drive_c/WINDOWS/TEMP/old.tmp"));
    EXPECT_FALSE(m.Exists("drive_c/WINDOWS/WININIT.INI"));
    EXPECT_TRUE(m.Exists("drive_c/WINDOWS/WININIT.BAK"));
    EXPECT_EQ(BootLines(), (std::vector<std::string>{
                               "Windows starts",
                               "WININIT.INI C:\\PROGRA~1\\App\\tool.dll=C:\\PROGRA~1\\App\\tool.1: done",
                               "WININIT.INI NUL=C:\\WINDOWS\\TEMP\\old.tmp: done",
                               "Windows is up",
                           }));
}

// Whatever ran before a start holds no file afterwards, even a program still running.
TEST(Boot, StartForgetsOpenFiles) {
    TempMachine m("NT4");
    m.Write("drive_c/held.txt", "x");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        HANDLE h = CreateFileA("C:\\held.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
        (void)!::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_FALSE(DeleteFileA("C:\\held.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    BootMachine();
    EXPECT_TRUE(DeleteFileA("C:\\held.txt"));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}
