// kelvane machine init makes a freshly installed Windows of the asked version, whose
// registry names the shell and program folders, so the folder lookups find real folders.
#include <gtest/gtest.h>

#include "paths/routines_ExpandPaths.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "tests/support/Run.h"

using namespace kv;

TEST(MachineInit, TheFoldersOfAFreshWindowsExist) {
    struct Case { const char* version; const char* windows; bool shellFolders; };
    const Case cases[] = {
        {"Win95", "C:\\WINDOWS", true},
        {"Win98", "C:\\WINDOWS", true},
        {"NT4", "C:\\WINNT", true},
        {"NT351", "C:\\WINNT35", false},  // no Explorer yet: no shell folders
    };
    using TLookup = void (*)(std::string&);
    const std::pair<const char*, TLookup> shell[] = {
        {"Start Menu", GetStartMenuFolder}, {"Programs", GetProgramsFolder},
        {"Desktop", GetDesktopFolder},      {"Startup", GetStartupFolder}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        kvtest::TTempDir dir;
        const std::string root = (dir.Path / "m").string();
        auto r = kvtest::RunCommand(kvtest::Bin("kelvane") + " machine --machine " + kvtest::Quote(root) +
                                    " init --version " + c.version);
        ASSERT_EQ(r.Status, 0) << r.Output;
        UseMachine(root);
        EXPECT_EQ(Machine().VersionName(), c.version);
        EXPECT_EQ(Machine().WindowsDir(), c.windows);
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        const bool hasShellFolders =
            reg.OpenKeyReadOnly("\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
        EXPECT_EQ(hasShellFolders, c.shellFolders);
        for (auto [name, lookup] : shell) {
            std::string path;
            lookup(path);
            if (c.shellFolders) {
                EXPECT_EQ(path, reg.ReadString(name));
                EXPECT_TRUE(DirectoryExists(path)) << path;
            }
            EXPECT_EQ(UpperCase(path.substr(0, 2)), "C:") << path;
        }
        std::string programFiles, commonFiles;
        GetProgramFilesFolder(programFiles);
        GetCommonFilesFolder(commonFiles);
        EXPECT_EQ(programFiles, "C:\\Program Files");
        EXPECT_EQ(commonFiles, "C:\\Program Files\\Common Files");
        EXPECT_TRUE(DirectoryExists(programFiles) && DirectoryExists(commonFiles));
        // Asking again for the version it has is fine; another version is refused.
        EXPECT_EQ(kvtest::RunCommand("KELVANE_MACHINE=" + kvtest::Quote(root) + " " + kvtest::Bin("kelvane") +
                                     " machine init --version " + c.version)
                      .Status,
                  0);
        EXPECT_EQ(kvtest::RunCommand(kvtest::Bin("kelvane") + " machine --machine " + kvtest::Quote(root) +
                                     " init --version Win32s")
                      .Status,
                  1);
    }
}
