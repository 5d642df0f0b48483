#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/Boot.h"
#include "platform/Processes.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::MachineTest;
using kv::test::TempMachine;

namespace {

bool JournalHas(const std::string& text) {
    for (const auto& line : Machine().JournalLines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

// Programs started without waiting report their end in the journal.
bool WaitForJournal(const std::string& text) {
    for (int i = 0; i < 2000; ++i) {
        if (JournalHas(text)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(Processes, CommandLinesSplitAsParamStrDoes) {
    using V = std::vector<std::string>;
    struct Case { const char* in; V want; };
    const Case cases[] = {
        {"a b  c", {"a", "b", "c"}},
        {"\"C:\\Program Files\\x.exe\" -r \"-sC:\\TEMP\" -c", {"C:\\Program Files\\x.exe", "-r", "-sC:\\TEMP", "-c"}},
        {"-s\"C:\\A B\"\\x", {"-sC:\\A B\\x"}},
        {"\"\" a", {"a"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"-sD:\\\"", {"-sD:\\"}},
        {"\t \r\n", {}},
        {"\"open", {"open"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.in), c.want) << c.in;
}

TEST_F(MachineTest, StartsGiveTheWindowsResults) {
    M.Write("drive_c/TEMP/readme.txt", "text");
    M.Write("drive_c/TEMP/empty.exe", "");
    M.Write("drive_c/TEMP/win.exe", "MZ\x90");
    M.Write("drive_c/WINNT/notepad.exe", "MZ");
    M.Write("drive_c/Program Files/App/app.exe", "MZ");
    struct Case { const char* cmd; UINT show; UINT want; const char* journal; };
    const Case cases[] = {
        {"C:\\none.exe", SW_SHOW, 2, nullptr},
        {"C:\\nodir\\none.exe", SW_SHOW, 3, nullptr},
        {"", SW_SHOW, 2, nullptr},
        {"C:\\TEMP\\readme.txt", SW_SHOW, 11, nullptr},
        {"C:\\TEMP\\empty.exe", SW_SHOW, 11, nullptr},
        {"C:\\TEMP\\WIN.EXE /REGSERVER", SW_HIDE, 33,
         "start C:\\TEMP\\win.exe /REGSERVER [SW_HIDE] (Windows program, not run)"},
        {"notepad readme.txt", SW_SHOWNORMAL, 33, "start C:\\WINNT\\notepad.exe readme.txt [SW_SHOWNORMAL]"},
        {"C:\\Program Files\\App\\app -x", SW_SHOW, 33, "start C:\\Program Files\\App\\app.exe -x [SW_SHOW]"},
        {"\"C:\\Program Files\\App\\app.exe\"", SW_MINIMIZE, 33, "start C:\\Program Files\\App\\app.exe [SW_MINIMIZE]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WinExec(c.cmd, c.show), c.want) << c.cmd;
        if (c.journal) {
            EXPECT_TRUE(JournalHas(c.journal)) << c.journal;
        }
    }
}

TEST_F(MachineTest, HostProgramsRunForRealWithoutBeingWaitedFor) {
    M.Write("drive_c/Tools/tool.sh",
            "#!/bin/sh\necho \"$#:$1:$2\" > out.txt\npwd >> out.txt\necho \"$KELVANE_CWD\" >> out.txt\nexit 3\n");
    ASSERT_TRUE(SetCurrentDir("C:\\TEMP"));
    EXPECT_GE(WinExec("C:\\Tools\\tool.sh \"a b\" c", SW_SHOW), 32u);
    ASSERT_TRUE(WaitForJournal("end C:\\Tools\\tool.sh exit 3"));
    EXPECT_EQ(M.Read("drive_c/TEMP/out.txt"), "2:a b:c\n" + M.Host("drive_c/TEMP") + "\nC:\\TEMP\n");
    int code = 0;
    EXPECT_GE(StartProgram("C:\\Tools\\tool.sh", SW_HIDE, true, &code), 32u);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(M.Read("drive_c/TEMP/out.txt").substr(0, 4), "0::\n");
}

TEST_F(MachineTest, BatchFilesRunInTheBuiltInInterpreter) {
    for (const char* f : {"a.txt", "x.tmp", "y.TMP", "m.txt", "m2.txt", "c.txt", "held.txt", "tree/sub/deep.txt",
                          "tree/top.txt", "dest/keep"})
        M.Write(std::string("drive_c/w/") + f, f);
    SetFileAttributesA("C:\\w\\tree\\sub\\deep.txt", FILE_ATTRIBUTE_READONLY);
    AddInUse("C:\\w\\held.txt");
    M.Write("drive_c/w/b.bat",
            "@ECHO OFF\r\nREM a comment\r\n:label\r\nECHO hello\r\nERASE C:\\w\\a.txt\r\ndel c:\\W\\*.tmp\r\n"
            "DELTREE /Y C:\\w\\tree\r\nMOVE C:\\w\\m.txt C:\\w\\moved.txt\r\nmove C:\\w\\m2.txt C:\\w\\dest\r\n"
            "COPY C:\\w\\c.txt C:\\w\\dest\r\ncopy /Y C:\\w\\c.txt C:\\w\\c2.txt\r\nERASE C:\\w\\missing.txt\r\n"
            "ERASE C:\\w\\held.txt\r\nFROB something\r\nIF EXIST C:\\x GOTO end\r\n");
    EXPECT_EQ(RunBatchFile("C:\\w\\b.bat"), 0);
    for (const char* gone : {"a.txt", "x.tmp", "y.TMP", "tree", "m.txt", "m2.txt"})
        EXPECT_FALSE(M.Exists(std::string("drive_c/w/") + gone)) << gone;
    EXPECT_EQ(M.Read("drive_c/w/moved.txt"), "m.txt");
    EXPECT_EQ(M.Read("drive_c/w/dest/m2.txt"), "m2.txt");
    EXPECT_EQ(M.Read("drive_c/w/dest/c.txt"), "c.txt");
    EXPECT_EQ(M.Read("drive_c/w/c2.txt"), "c.txt");
    EXPECT_TRUE(M.Exists("drive_c/w/held.txt"));
    const std::string b = "batch C:\\w\\b.bat: ";
    EXPECT_TRUE(JournalHas(b + "unknown command: FROB something"));
    EXPECT_TRUE(JournalHas(b + "unknown command: IF EXIST C:\\x GOTO end"));
    EXPECT_TRUE(JournalHas(b + "ERASE C:\\w\\missing.txt: The system cannot find the file specified."));
    EXPECT_TRUE(JournalHas(b + "ERASE C:\\w\\held.txt: The process cannot access the file"));
    EXPECT_FALSE(JournalHas("hello"));

    // Started without waiting, a batch file goes on by itself.
    M.Write("drive_c/w/later.bat", "MOVE C:\\w\\moved.txt C:\\w\\later.txt\r\n");
    EXPECT_GE(WinExec("C:\\w\\later.bat", SW_HIDE), 32u);
    EXPECT_TRUE(JournalHas("start C:\\w\\later.bat [SW_HIDE] (batch file)"));
    ASSERT_TRUE(WaitForJournal("end C:\\w\\later.bat exit 0"));
    EXPECT_EQ(M.Read("drive_c/w/later.txt"), "m.txt");
    EXPECT_EQ(RunBatchFile("C:\\w\\none.bat"), 1);
}

TEST(Processes, RebootNeedsTheShutdownPrivilegeOnNT) {
    {
        TempMachine m("Win95");
        EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT, 0));
        EXPECT_TRUE(JournalHas("ExitWindowsEx: reboot requested (EWX_REBOOT)"));
        HANDLE token;
        EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
        EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
    }
    for (bool granted : {true, false}) {
        TempMachine m("NT4");
        if (!granted) {
            std::string ini = m.Read("machine.ini");
            ini.replace(ini.find("ShutdownPrivilege=1"), 19, "ShutdownPrivilege=0");
            m.Write("machine.ini", ini);
            UseMachine(m.Dir);
        }
        HANDLE token;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
        AdjustTokenPrivileges(token, true, nullptr, 0, nullptr, nullptr);
        EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, 0));
        EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
        TOKEN_PRIVILEGES tp{};
        EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNothingPrivilege", &tp.Privileges[0].Luid));
        EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
        ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid));
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        EXPECT_EQ(AdjustTokenPrivileges(token, false, &tp, 0, nullptr, nullptr), granted);
        if (!granted) {
            EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
        }
        EXPECT_EQ(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0), granted);
        EXPECT_EQ(JournalHas("ExitWindowsEx: reboot requested (EWX_REBOOT|EWX_FORCE)"), granted);
        EXPECT_TRUE(CloseHandle(token));
        HANDLE readOnly;
        ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &readOnly));
        EXPECT_FALSE(AdjustTokenPrivileges(readOnly, false, &tp, 0, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        CloseHandle(readOnly);
    }
}

TEST(Processes, ParamStrIsThisProgramsCommandLine) {
    TempMachine m;
    std::string self = ParamStr(0);
    EXPECT_EQ(self.substr(0, 3), "Z:\\");
    EXPECT_NE(self.find("test_platform"), std::string::npos);
    EXPECT_GE(ParamCount(), 0);
    char small[4];
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 4u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(small, "Z:\\");
}
