#include <filesystem>

#include "platform/Paths.h"
#include "tests/paths/PathFixtures.h"

using namespace kv;
using namespace kv::pathtest;

namespace {

using TLookup = void (*)(std::string&);

std::string Folder(TLookup lookup) {
    std::string path;
    lookup(path);
    return path;
}

struct TLookupCase {
    const char* name;
    TLookup lookup;
};
const TLookupCase kLookups[] = {
    {"Start menu", GetStartMenuFolder},       {"Programs", GetProgramsFolder},
    {"Desktop", GetDesktopFolder},            {"Startup", GetStartupFolder},
    {"Program files", GetProgramFilesFolder}, {"Common files", GetCommonFilesFolder},
};

void RemoveFolderValues() {
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.DeleteKey(kShellFolders));
    DeleteRegValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir");
    DeleteRegValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir");
}

}  // namespace

// A freshly installed Windows names real folders on drive C:.
TEST(FolderLookups, AFreshMachineNamesFoldersThatExist) {
    struct Case { const char* preset; std::vector<std::string> expected; };
    const Case cases[] = {
        {"Win95",
         {"C:\\WINDOWS\\Start Menu", "C:\\WINDOWS\\Start Menu\\Programs", "C:\\WINDOWS\\Desktop",
          "C:\\WINDOWS\\Start Menu\\Programs\\StartUp", "C:\\Program Files", "C:\\Program Files\\Common Files"}},
        {"NT4",
         {"C:\\WINNT\\Profiles\\Administrator\\Start Menu", "C:\\WINNT\\Profiles\\Administrator\\Start Menu\\Programs",
          "C:\\WINNT\\Profiles\\Administrator\\Desktop",
          "C:\\WINNT\\Profiles\\Administrator\\Start Menu\\Programs\\StartUp", "C:\\Program Files",
          "C:\\Program Files\\Common Files"}},
    };
    for (const auto& c : cases) {
        kv::test::TempMachine m(c.preset);
        for (size_t i = 0; i < std::size(kLookups); ++i) {
            const std::string path = Folder(kLookups[i].lookup);
            EXPECT_EQ(path, c.expected[i]) << c.preset << " " << kLookups[i].name;
            EXPECT_TRUE(DirectoryExists(path)) << path;
        }
    }
}

// NT 3.51 has no Explorer, so no shell folders: the fallbacks apply.
TEST(FolderLookups, FallbacksOnAMachineWithoutTheValues) {
    struct Case { const char* preset; bool removeValues; std::vector<std::string> expected; };
    const Case cases[] = {
        {"Win95", true,
         {"C:\\WINDOWS\\Startmen", "C:\\WINDOWS\\Startmen\\Programs", "C:\\WINDOWS\\Desktop", "C:\\WINDOWS\\Startup",
          "C:\\Program Files", "C:\\Program Files\\Common Files"}},
        {"NT351", false,
         {"C:\\WINNT35\\Startmen", "C:\\WINNT35\\Startmen\\Programs", "C:\\WINNT35\\Desktop", "C:\\WINNT35\\Startup",
          "C:\\Program Files", "C:\\Program Files\\Common Files"}},
    };
    for (const auto& c : cases) {
        kv::test::TempMachine m(c.preset);
        if (c.removeValues) RemoveFolderValues();
        else {
            DeleteRegValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir");
            DeleteRegValue(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir");
        }
        ASSERT_TRUE(SetCurrentDir("C:\\Program Files"));
        for (size_t i = 0; i < std::size(kLookups); ++i)
            EXPECT_EQ(Folder(kLookups[i].lookup), c.expected[i]) << c.preset << " " << kLookups[i].name;
    }
}

TEST(FolderLookups, ProgramFilesFallBackToTheDriveOfTheCurrentFolder) {
    kv::test::TempMachine m;
    RemoveFolderValues();
    // A share \\srv\pub on the machine, and the current folder in it.
    std::string ini = m.Read("machine.ini");
    ini.replace(ini.find("[UNC]\r\n"), 7, "[UNC]\r\n\\\\srv\\pub=pub\r\n");
    m.Write("machine.ini", ini);
    std::filesystem::create_directories(m.Host("pub/dir"));
    UseMachine(m.Dir);
    ASSERT_TRUE(SetCurrentDir("\\\\srv\\pub\\dir"));
    EXPECT_EQ(Folder(GetProgramFilesFolder), "\\\\srv\\pub\\Program Files");
    EXPECT_EQ(Folder(GetCommonFilesFolder), "\\\\srv\\pub\\Program Files\\Common Files");
    ASSERT_TRUE(SetCurrentDir("Z:\\tmp"));
    EXPECT_EQ(Folder(GetProgramFilesFolder), "Z:\\Program Files");
}

TEST(FolderLookups, OneTrailingBackslashIsRemoved) {
    kv::test::TempMachine m;
    SetRegString(HKEY_CURRENT_USER, kShellFolders, "Desktop", "C:\\Documents\\Desktop\\");
    SetRegString(HKEY_CURRENT_USER, kShellFolders, "Start Menu", "C:\\Menu\\\\");
    SetRegString(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", "D:\\");
    EXPECT_EQ(Folder(GetDesktopFolder), "C:\\Documents\\Desktop");
    EXPECT_EQ(Folder(GetStartMenuFolder), "C:\\Menu\\");
    EXPECT_EQ(Folder(GetProgramFilesFolder), "D:");
    // A value of another type is unreadable as a string: the fallback.
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey(kShellFolders, false));
    reg.WriteInteger("Startup", 7);
    EXPECT_EQ(Folder(GetStartupFolder), "C:\\WINNT\\Startup");
}

TEST(FolderLookups, DriveOfAPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\WINDOWS", "C:"}, {"d:", "d:"}, {"\\\\srv\\pub\\dir\\x", "\\\\srv\\pub"}, {"\\\\srv\\pub", "\\\\srv\\pub"},
        {"\\\\srv", ""},       {"\\\\", ""},  {"\\dir", ""},                        {"", ""},
        {"1:\\x", ""},
    };
    for (auto [path, drive] : cases) EXPECT_EQ(ExtractFileDrive(path), drive) << path;
}

// ---- meta variables --------------------------------------------------------------------------

namespace {

class MetaVariables : public PathTest {
protected:
    std::string Expand(const std::string& text, TComponent* component = nullptr) {
        std::string result = "old";
        ExpandMetaVariables(text, component, result);
        return result;
    }
};

}  // namespace

TEST_F(MetaVariables, EveryVariable) {
    auto* driver = Make<TTestDriver>("Install1");
    auto* psProgramFiles = Create<TpsProgramFiles>(&Owner);
    auto* psContainer = Create<TpsContainerDestDir>(&Owner);
    driver->SetDestDirType(psProgramFiles);
    driver->SetDestDir("\\Tool\\");
    auto* group = Make<TTestGroup>("Group1", driver);
    group->SetDestDirType(psContainer);
    group->SetDestDir("\\Data");
    auto* file = Make<TTestFile>("File1", group);
    file->SetDestDir("\\Docs");
    SetRegString(HKEY_CURRENT_USER, kShellFolders, "Desktop", "C:\\Desk\\");
    const std::pair<const char*, const char*> cases[] = {
        {"%P\\App", "C:\\Program Files\\App"},
        {"100%%", "100%"},
        {"100%", "100"},
        {"%x", ""},
        {"a%xb", "ab"},
        {"%%i", "%i"},
        {"%%%i", "%C:\\Program Files\\Tool"},
        {"%a|%A", "C:\\Program Files\\Tool\\Data\\Docs|C:\\Program Files\\Tool\\Data\\Docs"},
        {"%c", "C:\\Program Files\\Tool\\Data"},
        {"%b;%d;%f;%m", "C:\\WINDOWS\\Start Menu\\Programs;C:\\Desk;C:\\Program Files\\Common Files;"
                        "C:\\WINDOWS\\Start Menu"},
        {"%s %W", "C:\\WINDOWS\\SYSTEM C:\\WINDOWS"},
        {"", ""},
        {"plain", "plain"},
    };
    for (auto [text, expected] : cases) EXPECT_EQ(Expand(text, file), expected) << text;
}

TEST_F(MetaVariables, ASubstitutedValueIsNotScannedAgain) {
    SetRegString(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", "C:\\100%w\\");
    EXPECT_EQ(Expand("%p\\x"), "C:\\100%w\\x");
}

TEST_F(MetaVariables, WhatCannotBeExpanded) {
    auto* group = Make<TTestGroup>("Group1");
    auto* orphan = Make<TTestFile>("Orphan");
    auto* broken = Make<TTestFile>("Broken", group);
    broken->IncludeState(csLoading);  // stored: not checked until it is expanded
    broken->SetDestDirType(Create<TpsMainInstall>(&Owner));
    broken->ExcludeState(csLoading);
    const std::tuple<const char*, TComponent*, const char*> cases[] = {
        {"x%ay", nullptr, "EAICannotExpandContainerDirMV: Cannot expand the %a meta variable because the component is Nil"},
        {"%c", nullptr, "EAICannotExpandContainerDirMV: Cannot expand the %c meta variable because the component is Nil"},
        {"%c", orphan,
         "EAICannotExpandContainerDirMV: Cannot expand the %c meta variable because the Container property is Nil"},
        {"%C", group,
         "EAICannotExpandContainerDirMV: Cannot expand the %c meta variable because the Container property is Nil"},
        {"%i", orphan,
         "EAICannotExpandInstallDirMV: Cannot expand the %i meta variable because there is no TInstall component"},
        // The component's own destination fails: its error passes through unchanged.
        {"%a", broken,
         "IEPathSpecifier: There is no TInstall component so the path specifier could not be expanded for Broken"},
        {"%%a", nullptr, "no exception"},
    };
    for (auto [text, component, message] : cases)
        EXPECT_EQ(MessageOf([&] { Expand(text, component); }), message) << text;
    // Both classes belong to the installer family.
    EXPECT_THROW(Expand("%i"), EAI);
}

TEST_F(MetaVariables, MessagesAreTranslated) {
    SetTranslateTextHook([](const std::string& text) { return "[fr] " + text; });
    std::string message = MessageOf([&] { Expand("%i"); });
    SetTranslateTextHook(nullptr);
    EXPECT_EQ(message,
              "EAICannotExpandInstallDirMV: [fr] Cannot expand the %i meta variable because there is no TInstall component");
}

// Random texts: no crash, and a text whose every "%" is doubled comes back unchanged.
TEST_F(MetaVariables, DoubledPercentSignsRoundTrip) {
    const std::string alphabet = "%%%pPwWsxyz\\:. ";
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (uint32_t n = next() % 24; n > 0; --n) text += alphabet[(next() >> 8) % alphabet.size()];
        std::string escaped;
        for (char c : text) escaped += c == '%' ? "%%" : std::string(1, c);
        ASSERT_EQ(Expand(escaped), text) << escaped;
        std::string expanded;
        ASSERT_NO_THROW(ExpandMetaVariables(text, nullptr, expanded)) << text;
    }
}
