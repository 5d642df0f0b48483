#include <gtest/gtest.h>

#include "platform/IniFiles.h"
#include "tests/platform/TempMachine.h"

using namespace kv;
using kv::test::MachineTest;

TEST_F(MachineTest, IniFileReadsAndWritesAsTheProfileFunctions) {
    TIniFile ini("WININIT.INI");  // a bare name lives in the Windows folder
    ini.WriteString("rename", "C:\\PROGRA~1\\APP\\TOOL.DLL", "C:\\PROGRA~1\\APP\\TOOL.1");
    ini.WriteString("Rename", "NUL", "C:\\TEMP\\OLD.TMP");
    EXPECT_EQ(M.Read("drive_c/WINNT/WININIT.INI"),
              "[rename]\r\nC:\\PROGRA~1\\APP\\TOOL.DLL=C:\\PROGRA~1\\APP\\TOOL.1\r\nNUL=C:\\TEMP\\OLD.TMP\r\n");
    EXPECT_EQ(ini.ReadString("RENAME", "nul", "x"), "C:\\TEMP\\OLD.TMP");
    EXPECT_EQ(ini.ReadString("rename", "missing", "def"), "def");
    EXPECT_EQ(ini.ReadString("nosection", "nul", "def"), "def");

    M.Write("drive_c/app.ini",
            "; leading comment\r\n[Main]\r\nCount = 0x10 \r\nHex=$20\r\nBad=12x\r\nFlag=1\r\n"
            "Quoted=\"  spaced  \"\r\nDup=first\r\nDup=second\r\n\r\n[Other]\r\nA=1\r\n");
    TIniFile app("C:\\APP.INI");
    EXPECT_EQ(app.ReadInteger("main", "count", 0), 16);
    EXPECT_EQ(app.ReadInteger("Main", "Hex", 0), 32);
    EXPECT_EQ(app.ReadInteger("Main", "Bad", 7), 7);
    EXPECT_TRUE(app.ReadBool("Main", "Flag", false));
    EXPECT_EQ(app.ReadString("Main", "Quoted", ""), "  spaced  ");
    EXPECT_EQ(app.ReadString("Main", "Dup", ""), "first");
    EXPECT_EQ(app.ReadSection("Main"),
              (std::vector<std::string>{"Count", "Hex", "Bad", "Flag", "Quoted", "Dup", "Dup"}));
    EXPECT_EQ(app.ReadSections(), (std::vector<std::string>{"Main", "Other"}));
    EXPECT_EQ(app.ReadSectionValues("Other"), std::vector<std::string>{"A=1"});
    EXPECT_TRUE(app.SectionExists("OTHER"));
    EXPECT_TRUE(app.ValueExists("other", "a"));
    EXPECT_FALSE(app.ValueExists("other", "b"));

    app.WriteInteger("Main", "count", 5);  // replaces the first line of the key
    app.WriteString("Main", "New", "v");   // goes after the section's last line
    app.DeleteKey("Main", "Dup");
    app.WriteBool("Third", "On", true);
    EXPECT_EQ(M.Read("drive_c/app.ini"),
              "; leading comment\r\n[Main]\r\ncount=5\r\nHex=$20\r\nBad=12x\r\nFlag=1\r\n"
              "Quoted=\"  spaced  \"\r\nDup=second\r\nNew=v\r\n\r\n[Other]\r\nA=1\r\n\r\n[Third]\r\nOn=1\r\n");
    app.EraseSection("main");
    EXPECT_EQ(app.ReadSections(), (std::vector<std::string>{"Other", "Third"}));
}

TEST_F(MachineTest, IniFileRefusesWhatWouldBreakTheFile) {
    TIniFile ini("C:\\TEMP\\x.ini");
    for (auto [section, ident, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"a]b", "k", "v"}, {"s", "k=j", "v"}, {"s", "k", "two\r\nlines"}, {"", "k", "v"}, {"s", "", "v"},
             {"s", " k", "v"}, {"s", "[k", "v"}}) {
        EXPECT_THROW(ini.WriteString(section, ident, value), EIniFileException) << section << "/" << ident;
    }
    EXPECT_FALSE(M.Exists("drive_c/TEMP/x.ini"));
    TIniFile nowhere("C:\\No\\Folder\\x.ini");
    try {
        nowhere.WriteString("s", "k", "v");
        FAIL();
    } catch (const EIniFileException& e) {
        EXPECT_STREQ(e.what(), "Unable to write to C:\\No\\Folder\\x.ini");
    }
    EXPECT_EQ(nowhere.ReadString("s", "k", "d"), "d");
    TIniText text;
    text.SetText("[Rename]\nNUL=a\nNUL=b\nx\n;c=d\nC:\\x=C:\\y\n");
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(text.Entries("rename"), (std::vector<P>{{"NUL", "a"}, {"NUL", "b"}, {"C:\\x", "C:\\y"}}));
}
