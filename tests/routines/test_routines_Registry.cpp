#include <gtest/gtest.h>

#include "routines/routines_Registry.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
class routines_Registry : public kv::test::MachineTest {};

TEST_F(routines_Registry, RootKeysByOrdinal) {
    const HKEY want[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER,
                         HKEY_DYN_DATA,     HKEY_LOCAL_MACHINE,  HKEY_USERS};
    for (int i = hkClassesRoot; i <= hkUsers; ++i) {
        EXPECT_EQ(RootKeyToHKEY(static_cast<TRootKeys>(i)), want[i]);
        EXPECT_EQ(HKEYToRootKey(want[i], hkUsers), i);
    }
    EXPECT_EQ(HKEYToRootKey(0x80000004u, hkCurrentUser), hkCurrentUser);
    EXPECT_EQ(HKEYToRootKey(0x1234, hkDynData), hkDynData);
}

TEST_F(routines_Registry, RegistryWritesAndReadsWithDefaults) {
    const std::string key = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Product";
    WriteRegString(hkLocalMachine, key, "DisplayName", "Product");
    WriteRegInteger(hkLocalMachine, key, "Count", 3);
    std::string v;
    ReadRegString(hkLocalMachine, key, "DisplayName", v, "def");
    EXPECT_EQ(v, "Product");
    EXPECT_EQ(ReadRegInteger(hkLocalMachine, key, "count", 0), 3);
    struct Case { std::string key, name; };
    const Case misses[] = {{key, "Missing"}, {key + "\\None", "DisplayName"}, {key, "Count"}, {"a\\\\b", "x"}};
    for (const auto& c : misses) {
        ReadRegString(hkLocalMachine, c.key, c.name, v, "def");
        EXPECT_EQ(v, "def") << c.key << " " << c.name;
    }
    EXPECT_EQ(ReadRegInteger(hkLocalMachine, key, "DisplayName", -1), -1);  // a string is no integer
    EXPECT_EQ(ReadRegInteger(hkCurrentUser, key, "Count", 7), 7);
}

TEST_F(routines_Registry, FailedWritesRaiseWithTheirMessages) {
    try {
        WriteRegString(hkCurrentUser, "Bad\\\\Key", "Ident", "Value");
        FAIL();
    } catch (const EIRCannotWriteValue& e) {
        EXPECT_STREQ(e.what(), "Cannot install into registry. Key: Bad\\\\Key Ident: Ident Value Value");
    }
    try {
        WriteRegString(hkCurrentUser, "Good", std::string(kMaxValueNameLen + 1, 'n'), "Value");
        FAIL();
    } catch (const EIRCannotWriteValue& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, 45), "Cannot install into registry. Key: Good Ident");
    }
    try {
        WriteRegInteger(hkCurrentUser, "\\Too\\" + std::string(300, 'k'), "Count", 1);
        FAIL();
    } catch (const EIRCannotWriteValue& e) {
        EXPECT_EQ(std::string(e.what()), "\\Too\\" + std::string(300, 'k'));
    }
}

TEST_F(routines_Registry, KeyTreesGoDepthFirst) {
    for (const char* k : {"\\Software\\Kelvane\\Install\\Install0\\Unfinished", "\\Software\\Kelvane\\Install\\Install0\\Files",
                          "\\Software\\Kelvane\\Install\\Install1", "\\Software\\Kelvane\\Other"})
        WriteRegString(hkLocalMachine, k, "v", "1");
    DeleteRegKeyTree(hkLocalMachine, "\\Software\\Kelvane\\Install\\");
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(reg.KeyExists("\\Software\\Kelvane\\Install"));
    EXPECT_TRUE(reg.KeyExists("\\Software\\Kelvane\\Other"));
    DeleteRegKeyTree(hkLocalMachine, "\\Software\\Kelvane\\Nothing");  // nothing happens, nothing raises
    DeleteRegKeyTree(hkLocalMachine, "bad\\\\path");
}

TEST_F(routines_Registry, RunOnceValuesGetAFreeName) {
    EXPECT_TRUE(RegisterRunOnceValue("KelvaneBatFile", "C:\\TEMP\\bat1.bat", true));
    EXPECT_TRUE(RegisterRunOnceValue("KelvaneBatFile", "C:\\TEMP\\bat2.bat", true));
    EXPECT_TRUE(RegisterRunOnceValue("KelvaneBatFile", "C:\\TEMP\\bat3.bat", true));
    EXPECT_TRUE(RegisterRunOnceValue("Plain", "one", false));
    EXPECT_TRUE(RegisterRunOnceValue("plain", "two", false));  // the same value, written over
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", false));
    EXPECT_EQ(reg.GetValueNames(),
              (std::vector<std::string>{"KelvaneBatFile", "KelvaneBatFile1", "KelvaneBatFile2", "Plain"}));
    EXPECT_EQ(reg.ReadString("KelvaneBatFile2"), "C:\\TEMP\\bat3.bat");
    EXPECT_EQ(reg.ReadString("Plain"), "two");
    EXPECT_FALSE(RegisterRunOnceValue(std::string(kMaxValueNameLen + 1, 'n'), "x", false));
}
