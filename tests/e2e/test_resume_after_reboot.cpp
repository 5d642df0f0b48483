// End to end: a bound setup program leaves work for the reboot, the machine's next start
// runs it again with -r, and that run finishes the work; its record is found by the
// program file's date and size.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/Run.h"

using namespace kvtest;

namespace {

const char* kDefinition =
    "object Form1: TForm1\n"
    "  Caption = 'Tool'\n"
    "  object Install1: TInstall\n"
    "    Information.ProductName = 'Tool'\n"
    "    OnAfterInitialized = ProbeLeaveWork\n"
    "    OnAfterNotifyGoodInstall = ProbeGoodEnd\n"
    "  end\n"
    "end\n";

// The low byte of a Windows exit code is what a host sees of it.
int HostStatus(int windowsCode) { return windowsCode & 0xFF; }

// The Windows path of a host file: drive Z: is the host's root.
std::string ZPath(const std::string& host) {
    std::string path = "Z:" + host;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ResumeAfterReboot : public ::testing::Test {
protected:
    void SetUp() override {
        Machine = Dir / "machine";
        ASSERT_EQ(Kelvane("machine init").Status, 0);
        std::string def = Dir.File("tool.def", kDefinition);
        auto r = RunCommand(Bin("kelvane") + " bind " + Quote(def) + " -o " + Quote(Dir / "SETUP.EXE") + " --engine " +
                            Quote(Bin("kelvane-records-probe")));
        ASSERT_EQ(r.Status, 0) << r.Output;
    }
    TRunResult Kelvane(const std::string& args) {
        return RunCommand("KELVANE_MACHINE=" + Quote(Machine) + " " + Bin("kelvane") + " " + args);
    }
    TRunResult Setup(const std::string& program, const std::string& args = "'-sC:\\SRC'") {
        return RunCommand("KELVANE_MACHINE=" + Quote(Machine) + " " + Quote(program) + " " + args);
    }
    std::string Query(const std::string& key) { return Kelvane("machine reg query " + Quote(key)).Output; }
    std::string Journal() { return ReadFile(Machine + "/journal.log"); }
    bool Leftover() { return std::filesystem::exists(Machine + "/drive_c/TEMP/LEFTOVER.TXT"); }

    TTempDir Dir;
    std::string Machine;
};

const char* const kRecords = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kelvane\\Install";
const char* const kRunOnce = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

}  // namespace

TEST_F(ResumeAfterReboot, TheNextStartFinishesTheWork) {
    const std::string setup = Dir / "SETUP.EXE";
    auto r = Setup(setup);
    ASSERT_EQ(r.Status, HostStatus(1641)) << r.Output;
    EXPECT_TRUE(Has(r.Output, "probe: record \\SOFTWARE\\Kelvane\\Install\\Install0\n")) << r.Output;
    EXPECT_TRUE(Has(r.Output, "[exit] 1641\n")) << r.Output;
    EXPECT_FALSE(Has(r.Output, "probe: good install")) << r.Output;
    EXPECT_TRUE(Has(Journal(), "ExitWindowsEx: reboot requested")) << Journal();
    EXPECT_TRUE(Leftover());
    const std::string command = "\"" + ZPath(setup) + "\" -r \"-sC:\\SRC\"";
    EXPECT_TRUE(Has(Query(kRunOnce), "    KelvaneUnfinished    REG_SZ    " + command + "\n")) << Query(kRunOnce);
    const std::string record = Query(std::string(kRecords) + "\\Install0");
    EXPECT_TRUE(Has(record, "    Path    REG_SZ    " + ZPath(setup) + "\n")) << record;
    EXPECT_TRUE(Has(record, "    Size    REG_DWORD    ")) << record;
    EXPECT_TRUE(Has(record, "\\Install0\\Unfinished\n")) << record;
    EXPECT_TRUE(Has(Query(std::string(kRecords) + "\\Install0\\Unfinished"), "    Resume1    REG_SZ    0\n"));

    // Windows starts: RunOnce runs the program with -r, which finishes the work.
    auto boot = Kelvane("machine boot");
    ASSERT_EQ(boot.Status, 0) << boot.Output;
    EXPECT_TRUE(Has(boot.Output, "probe: finished Resume1\nprobe: good install\n")) << boot.Output;
    EXPECT_FALSE(Has(boot.Output, "probe: record")) << boot.Output;
    EXPECT_TRUE(Has(Journal(), "boot: RunOnce HKEY_LOCAL_MACHINE KelvaneUnfinished: " + command + "\n")) << Journal();
    EXPECT_TRUE(Has(Journal(), "start " + ZPath(setup) + " -r \"-sC:\\SRC\" [SW_SHOWNORMAL] (host program)\n"))
        << Journal();
    EXPECT_TRUE(Has(Journal(), "end " + ZPath(setup) + " exit 0")) << Journal();
    EXPECT_FALSE(Leftover());
    EXPECT_EQ(Kelvane("machine reg query 'HKLM\\SOFTWARE\\Kelvane'").Status, 1);  // the record went with its parents
    EXPECT_FALSE(Has(Query(kRunOnce), "KelvaneUnfinished")) << Query(kRunOnce);

    // The next start runs nothing.
    const size_t starts = Count(Journal(), "] start ");
    ASSERT_EQ(Kelvane("machine boot").Status, 0);
    EXPECT_EQ(Count(Journal(), "] start "), starts) << Journal();
}

TEST_F(ResumeAfterReboot, TheRecordFollowsTheProgramFileNotItsPath) {
    const std::string setup = Dir / "SETUP.EXE";
    auto r = Setup(setup);
    ASSERT_EQ(r.Status, HostStatus(1641)) << r.Output;
    // The same program in another folder, with the same date and size.
    std::filesystem::create_directories(Dir / "moved");
    const std::string moved = Dir / "moved/SETUP.EXE";
    ASSERT_EQ(RunCommand("cp -p " + Quote(setup) + " " + Quote(moved)).Status, 0);
    r = Setup(moved);
    ASSERT_EQ(r.Status, HostStatus(1641)) << r.Output;
    EXPECT_TRUE(Has(r.Output, "probe: record \\SOFTWARE\\Kelvane\\Install\\Install0\n")) << r.Output;
    EXPECT_TRUE(Has(Query(std::string(kRecords) + "\\Install0"), "    Path    REG_SZ    " + ZPath(moved) + "\n"));
    // Its resume command went in beside the first one.
    EXPECT_TRUE(Has(Query(kRunOnce), "    KelvaneUnfinished1    REG_SZ    \"" + ZPath(moved) + "\" -r")) << Query(kRunOnce);
    // Rebuilt: the same size, a later date.
    ASSERT_EQ(RunCommand("touch -d '+1 hour' " + Quote(setup)).Status, 0);
    r = Setup(setup);
    ASSERT_EQ(r.Status, HostStatus(1641)) << r.Output;
    EXPECT_TRUE(Has(r.Output, "probe: record \\SOFTWARE\\Kelvane\\Install\\Install1\n")) << r.Output;
    EXPECT_TRUE(Has(Query(std::string(kRecords) + "\\Install1"), "    Path    REG_SZ    " + ZPath(setup) + "\n"));
}
