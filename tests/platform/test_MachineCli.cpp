// End to end: the real kelvane program on fresh machine folders.
#include <gtest/gtest.h>
#include "platform/Files.h"
#include "tests/support/Run.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::TempMachine;

namespace {

// Runs "kelvane machine ARGS" on the machine folder (arguments in shell quoting).
kvtest::TRunResult Kelvane(const std::string& machine, const std::string& args) {
    return kvtest::RunCommand("KELVANE_MACHINE=" + kvtest::Quote(machine) + " " + kvtest::Bin("kelvane") + " machine " +
                              args);
}

}  // namespace

TEST(MachineCli, BootReplacesFilesInUseAndRunsRunOnce) {
    TempMachine t;
    const std::string m = t.Root + "/fresh";
    ASSERT_EQ(Kelvane(m, "init").Status, 0);
    auto host = [&](const std::string& rel) { return m + "/" + rel; };
    auto write = [&](const std::string& rel, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(host(rel)).parent_path());
        std::ofstream(host(rel), std::ios::binary) << text;
    };
    auto read = [&](const std::string& rel) {
        std::ifstream in(host(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    write("drive_c/Program Files/App/tool.dll", "old");
    write("drive_c/Program Files/App/tool.1", "new");
    write("drive_c/data/a.txt", "A");
    write("drive_c/TEMP/mover.bat", "@ECHO OFF\r\nREM moves the data\r\nMOVE C:\\data\\a.txt C:\\data\\b.txt\r\nFROB x\r\n");
    ASSERT_EQ(Kelvane(m, "inuse add 'c:\\program files\\app\\TOOL.DLL'").Status, 0);

    // The installer finds the file in use and arranges its replacement at the next start.
    UseMachine(m);
    EXPECT_FALSE(DeleteFileA("C:\\Program Files\\App\\tool.dll"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(MoveFileExA("C:\\Program Files\\App\\tool.1", "C:\\Program Files\\App\\tool.dll",
                            MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING));
    const std::string runOnce = "'HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce'";
    ASSERT_EQ(Kelvane(m, "reg set " + runOnce + " Mover REG_SZ 'C:\\TEMP\\mover.bat'").Status, 0);
    EXPECT_NE(Kelvane(m, "reg query " + runOnce).Output.find("Mover    REG_SZ    C:\\TEMP\\mover.bat"), std::string::npos);

    kvtest::TRunResult boot = Kelvane(m, "boot");
    ASSERT_EQ(boot.Status, 0) << boot.Output;
    EXPECT_EQ(read("drive_c/Program Files/App/tool.dll"), "new");
    EXPECT_FALSE(std::filesystem::exists(host("drive_c/Program Files/App/tool.1")));
    EXPECT_EQ(read("drive_c/data/b.txt"), "A");
    EXPECT_FALSE(std::filesystem::exists(host("drive_c/data/a.txt")));
    EXPECT_EQ(Kelvane(m, "reg query " + runOnce).Output.find("Mover"), std::string::npos);
    EXPECT_EQ(Kelvane(m, "inuse list").Output, "");
    std::string journal = Kelvane(m, "journal").Output;
    EXPECT_NE(journal.find("batch C:\\TEMP\\mover.bat: unknown command: FROB x"), std::string::npos);
    EXPECT_NE(journal.find("end C:\\TEMP\\mover.bat exit 0"), std::string::npos);

    // A second start does nothing.
    ASSERT_EQ(Kelvane(m, "boot").Status, 0);
    std::string after = Kelvane(m, "journal").Output;
    ASSERT_EQ(after.compare(0, journal.size(), journal), 0);
    std::string added = after.substr(journal.size());
    EXPECT_NE(added.find("boot: Windows starts"), std::string::npos);
    EXPECT_NE(added.find("boot: Windows is up"), std::string::npos);
    EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 2) << added;
    EXPECT_EQ(read("drive_c/Program Files/App/tool.dll"), "new");
    EXPECT_EQ(read("drive_c/data/b.txt"), "A");
}

TEST(MachineCli, ExportImportsIntoAFreshMachineAsTheSameTree) {
    TempMachine t;
    const std::string a = t.Root + "/a", b = t.Root + "/b";
    ASSERT_EQ(Kelvane(a, "init").Status, 0);
    for (const char* set : {"'HKLM\\Software\\Vendor\\Product' Name REG_SZ 'Caf\xC3\xA9'",
                            "'HKLM\\Software\\Vendor\\Product' Count REG_DWORD 42",
                            "'HKLM\\Software\\Vendor\\Product' '@' REG_EXPAND_SZ '%windir%\\x'",
                            "'HKCU\\Software\\Vendor\\Sub Key' List REG_MULTI_SZ 'a\\0b'",
                            "'HKCR\\.xyz' Data REG_BINARY 00ff10"})
        ASSERT_EQ(Kelvane(a, std::string("reg set ") + set).Status, 0) << set;
    kvtest::TRunResult exported = Kelvane(a, "reg export");
    ASSERT_EQ(exported.Status, 0);
    EXPECT_NE(exported.Output.find("\"Name\"=\"Caf\xE9\""), std::string::npos);  // the file is in code page 1252
    std::ofstream(t.Root + "/a.reg", std::ios::binary) << exported.Output;
    ASSERT_EQ(Kelvane(b, "init").Status, 0);
    ASSERT_EQ(Kelvane(b, "reg import '" + t.Root + "/a.reg'").Status, 0);
    EXPECT_EQ(Kelvane(b, "reg export").Output, exported.Output);
    EXPECT_NE(Kelvane(b, "reg query 'HKLM\\Software\\Vendor\\Product'").Output.find("Count    REG_DWORD    0x2A (42)"),
              std::string::npos);
}

TEST(MachineCli, RefusesBadInputWithTheWindowsError) {
    TempMachine t;
    const std::string m = t.Root + "/m";
    struct Case { std::string args; const char* message; };
    const Case cases[] = {
        {"path 'C:\\a|b'", "The filename, directory name, or volume label syntax is incorrect."},
        {"short 'C:\\nothere'", "The system cannot find the file specified."},
        {"reg set 'HKLM\\a\\\\b' x REG_SZ y", "The specified path is invalid."},
        {"reg set 'HKXX\\a' x REG_SZ y", "Unknown root key"},
        {"reg set 'HKLM\\a' x REG_DWORD many", "Not a number"},
        {"reg query 'HKLM\\No\\Such'", "The system cannot find the file specified."},
        {"inuse add 'C:\\a<b'", "The filename, directory name, or volume label syntax is incorrect."},
        {"init --version Windows2000", "Unknown Windows version"},
    };
    for (const auto& c : cases) {
        kvtest::TRunResult r = Kelvane(m, c.args);
        EXPECT_EQ(r.Status, 1) << c.args;
        EXPECT_NE(r.Output.find(c.message), std::string::npos) << c.args << ": " << r.Output;
    }
    EXPECT_EQ(Kelvane(m, "frobnicate").Status, 2);
    EXPECT_EQ(Kelvane(m, "init --version Win95").Status, 1);  // it is NT 4.0 already
}
