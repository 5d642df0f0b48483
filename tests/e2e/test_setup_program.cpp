// End to end: setup programs made by kelvane bind, run on fresh machine folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/Run.h"

using namespace kvtest;

namespace {

const char* kDefinition =
    "object Form1: TForm1\n"
    "  Caption = 'Tool'\n"
    "  Width = 544\n"
    "  Height = 375\n"
    "  object Install1: TInstall\n"
    "    Information.CompanyName = 'ACME'\n"
    "    Information.ProductName = 'Tool'\n"
    "    OnAfterInitialized = ProbeInitialized\n"
    "  end\n"
    "end\n";

const std::string kValid =
    ". Valid command line parameters are: -b (Build), -d (Debug), -f (Transfer to floppies), -e (Called by "
    "self-extractor), -r (After reboot)";

// The low byte of a Windows exit code is what a host sees of it.
int HostStatus(int windowsCode) { return windowsCode & 0xFF; }

class SetupProgram : public ::testing::Test {
protected:
    void SetUp() override {
        Machine = Dir / "machine";
        std::string def = Dir.File("tool.def", kDefinition);
        auto r = RunCommand(Bin("kelvane") + " bind " + Quote(def) + " -o " + Quote(Dir / "setup") + " --engine " +
                            Quote(Bin("kelvane-setup-probe")));
        ASSERT_EQ(r.Status, 0) << r.Output;
    }
    TRunResult Setup(const std::string& args, const std::string& program = "") {
        return RunCommand("KELVANE_MACHINE=" + Quote(Machine) + " " + Quote(program.empty() ? Dir / "setup" : program) +
                          " " + args);
    }
    TTempDir Dir;
    std::string Machine;
};

bool Has(const TRunResult& r, const std::string& text) { return r.Output.find(text) != std::string::npos; }

}  // namespace

TEST_F(SetupProgram, InvalidParametersEndWithTheMessageAndFailure) {
    for (const char* arg : {"-X", "-", "x"}) {
        auto r = Setup(Quote(arg));
        EXPECT_EQ(r.Status, HostStatus(1603)) << r.Output;
        EXPECT_TRUE(Has(r, "[message] Tool Installation (error)\n    Invalid parameter <" + std::string(arg) + ">" +
                               kValid + "\n"))
            << r.Output;
        EXPECT_TRUE(Has(r, "[exit] 1603\n")) << r.Output;
        EXPECT_FALSE(Has(r, "probe:")) << r.Output;
    }
}

TEST_F(SetupProgram, SourceSwitchInEitherCaseAndTheLastWins) {
    struct Case { const char* args; const char* source; const char* switches; };
    const Case cases[] = {
        {"'-SD:\\SETUP'", "D:\\SETUP", " -s"},
        {"'-sD:\\SETUP'", "D:\\SETUP", " -s"},
        {"'-sC:\\FIRST' -d '-sD:\\SECOND'", "D:\\SECOND", " -d -s"},
        {"'-sC:\\With Space'", "C:\\With Space", " -s"},
    };
    for (const auto& c : cases) {
        auto r = Setup(c.args);
        EXPECT_EQ(r.Status, 0) << r.Output;
        EXPECT_TRUE(Has(r, std::string("probe: source folder ") + c.source + "\n")) << r.Output;
        EXPECT_TRUE(Has(r, std::string("probe: switches") + c.switches + "\n")) << r.Output;
        EXPECT_TRUE(Has(r, "[form] Form1 \"Tool\" maximized\n")) << r.Output;
        EXPECT_TRUE(Has(r, "[exit] 0\n")) << r.Output;
    }
}

TEST_F(SetupProgram, BuildIsChosenBeforeResume) {
    auto r = Setup("-b -r");
    EXPECT_EQ(r.Status, HostStatus(1603)) << r.Output;
    EXPECT_TRUE(Has(r, "Need to have a BUILD.INF file in this directory with the first line specifying the build "
                       "directory"))
        << r.Output;
    EXPECT_FALSE(Has(r, "probe:")) << r.Output;
}

TEST_F(SetupProgram, DebugWithoutBuildFolder) {
    auto r = Setup("-d");
    EXPECT_EQ(r.Status, HostStatus(1603)) << r.Output;
    EXPECT_TRUE(Has(r, "You forgot to pass in the build directory. In Run | Parameters, follow this format: -d "
                       "\"-sC:\\My Build\"\n"))
        << r.Output;
}

TEST_F(SetupProgram, WithoutSwitchesTheLoaderIsMissed) {
    auto r = Setup("");
    EXPECT_EQ(r.Status, HostStatus(1603)) << r.Output;
    EXPECT_TRUE(Has(r, "The path of the loading program was not passed correctly.")) << r.Output;
}

TEST_F(SetupProgram, AProgramWithoutADefinition) {
    auto r = Setup("-sC:\\", Bin("kelvane-setup"));
    EXPECT_EQ(r.Status, HostStatus(1603)) << r.Output;
    EXPECT_TRUE(Has(r, "This program carries no install definition. A setup program is made with: kelvane bind "
                       "DEFINITION -o PROGRAM"))
        << r.Output;
    // A trailer that points outside the file.
    std::string image = ReadFile(Dir / "setup");
    image[image.size() - 24] = '\xFF';
    std::string damaged = Dir.File("damaged", image);
    std::filesystem::permissions(damaged, std::filesystem::perms::owner_all);
    r = Setup("", damaged);
    EXPECT_EQ(r.Status, HostStatus(1603)) << r.Output;
    EXPECT_TRUE(Has(r, "The install definition bound to this program is damaged")) << r.Output;
}

TEST_F(SetupProgram, BindRefusesBadDefinitions) {
    struct Case { const char* text; const char* message; };
    const Case cases[] = {
        {"object Install1: TInstall\nend\n", "The root of the install definition, TInstall, is not a form class"},
        {"object Form1: TForm1\n  object Install1: TInstall\n    Colour = 3\n  end\nend\n", ":3:5:"},
        {"object Form1: TForm1\n  object X: TNoSuchClass\n  end\nend\n", ":2:3: Class TNoSuchClass not found"},
    };
    for (const auto& c : cases) {
        std::string def = Dir.File("bad.def", c.text);
        auto r = RunCommand(Bin("kelvane") + " bind " + Quote(def) + " -o " + Quote(Dir / "bad"));
        EXPECT_EQ(r.Status, 1) << r.Output;
        EXPECT_TRUE(Has(r, c.message)) << r.Output;
    }
    // Rebinding a bound program replaces its definition.
    std::string other = Dir.File("other.def", std::string(kDefinition).replace(std::string(kDefinition).find("'Tool'"), 6, "'Other'"));
    auto b = RunCommand(Bin("kelvane") + " bind " + Quote(other) + " -o " + Quote(Dir / "again") + " --engine " +
                        Quote(Dir / "setup"));
    ASSERT_EQ(b.Status, 0) << b.Output;
    EXPECT_EQ(std::filesystem::file_size(Dir / "again"), std::filesystem::file_size(Dir / "setup") + 1);
    auto r = Setup("-sC:\\", Dir / "again");
    EXPECT_TRUE(Has(r, "[form] Form1 \"Other\" shown")) << r.Output;
}

// The loading program's copy in the temporary folder, started with -s and -c: after a good
// run the machine runs the clean-up batch, which removes the copy, its folder and itself.
TEST_F(SetupProgram, CleanupRemovesTheTemporaryCopy) {
    auto init = RunCommand("KELVANE_MACHINE=" + Quote(Machine) + " " + Bin("kelvane") + " machine init");
    ASSERT_EQ(init.Status, 0) << init.Output;
    const std::string copyDir = Machine + "/drive_c/TEMP/KVSETUP";
    std::filesystem::create_directories(copyDir);
    std::filesystem::copy_file(Dir / "setup", copyDir + "/SETUP.EXE");
    auto r = Setup("'-sC:\\TEMP\\KVSETUP' -c", copyDir + "/SETUP.EXE");
    EXPECT_EQ(r.Status, 0) << r.Output;
    // The batch runs on its own after the program has ended.
    auto journal = [&] { return ReadFile(Machine + "/journal.log"); };
    for (int i = 0; i < 500 && journal().find("end C:\\TEMP\\bat") == std::string::npos; ++i) usleep(20000);
    const std::string log = journal();
    EXPECT_NE(log.find("start C:\\TEMP\\bat"), std::string::npos) << log;
    EXPECT_NE(log.find("[SW_HIDE]"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(copyDir)) << log;
    for (const auto& entry : std::filesystem::directory_iterator(Machine + "/drive_c/TEMP"))
        EXPECT_NE(entry.path().extension(), ".bat") << entry.path();
}
