#include <gtest/gtest.h>

#include "forms/script/ScriptBackend.h"
#include "install/TInstall.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "runtime/Streaming.h"
#include "tests/platform/TempMachine.h"

using namespace kv;

namespace {

std::vector<std::string>& Finished() {
    static std::vector<std::string> log;
    return log;
}

// An install component with work that only a reboot can finish.
class TRecordsFinisher : public TInstallObject {
    KV_CLASS(TRecordsFinisher, TInstallObject)
public:
    explicit TRecordsFinisher(TComponent* owner) : TInstallObject(owner) { AutoProcess = true; }
    int32_t RegisteredType() const override { return rtInstallFile; }
    void FinishAfterReboot() override { Finished().push_back(Name()); }
};

// Receives the notification codes, as the dialog managers do.
class TRecordsPages : public TInstallObject {
    KV_CLASS(TRecordsPages, TInstallObject)
public:
    using TInstallObject::TInstallObject;
    int32_t RegisteredType() const override { return rtDialog; }
    void ReceiveMessage(TObject*, int32_t code, TObject*) override { Finished().push_back(std::to_string(code)); }
};

}  // namespace

KV_REGISTER_CLASS(TRecordsFinisher, TInstallObject) {
    b.Reference<TInstallContainer>("Container", &TRecordsFinisher::Container, &TRecordsFinisher::SetContainer);
}
KV_REGISTER_CLASS(TRecordsPages, TInstallObject) {
    b.Reference<TInstallContainer>("Container", &TRecordsPages::Container, &TRecordsPages::SetContainer);
}

namespace {

const char* const kRecords = "\\SOFTWARE\\Kelvane\\Install";
const char* const kRunOnce = "\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

const char* kTree =
    "  object Install1: TInstall\n  end\n"
    "  object Pages1: TRecordsPages\n    Container = Install1\n  end\n"
    "  object Setup1: TRecordsFinisher\n    Container = Install1\n  end\n"
    "  object Other1: TRecordsFinisher\n  end\n";

// A DOS file date of 2001-05-06 at Hour:00.
int32_t Stamp(int hour) { return DateTimeToFileDate(EncodeDate(2001, 5, 6) + EncodeTime(hour, 0, 0, 0)); }

class Records : public ::testing::Test {
protected:
    void SetUp() override {
        Program("drive_c/TEMP/KV1/SETUP.EXE", "C:\\TEMP\\KV1\\SETUP.EXE", 10);
        Restart();
        Finished().clear();
    }
    // A new start of the same program.
    void Restart() {
        RecreateApplication();
        Application->SetBackend(std::make_unique<TScriptBackend>());
        Application->SetExeName(ProgramPath);
    }
    void TearDown() override {
        RecreateApplication();
        SetCommandLine(std::vector<std::string>{});
    }
    // The running program: a file of the machine with the date Hour:00.
    void Program(const std::string& host, const std::string& win, int hour, const std::string& content = "program") {
        M.Write(host, content);
        ASSERT_EQ(FileSetDate(win, Stamp(hour)), 0);
        ProgramPath = win;
        Application->SetExeName(win);
    }
    TCustomInstall* Load(const std::vector<std::string>& args = {"-sC:\\SRC"}, const std::string& body = kTree) {
        SetCommandLine(args);
        Application->CreateForm(TForm::StaticClass(), [&](TCustomForm* f) {
            ReadComponentText("object Form1: TForm\n" + body + "end\n", {}, f);
        });
        return CurrentInstall();
    }
    // The record's values as text, in the order they were written.
    std::string Values(const std::string& key) {
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        if (!reg.OpenKey(key, false)) return "(none)";
        std::string s;
        for (const std::string& name : reg.GetValueNames()) {
            s += (s.empty() ? "" : " ") + name + "=";
            switch (reg.GetDataType(name)) {
            case rdString: s += reg.ReadString(name); break;
            case rdInteger: s += std::to_string(reg.ReadInteger(name)); break;
            default: s += DateTimeToStr(reg.ReadDateTime(name));
            }
        }
        return s;
    }
    std::vector<std::string> SubKeys(const std::string& key) {
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        return reg.OpenKey(key, false) ? reg.GetKeyNames() : std::vector<std::string>{"(none)"};
    }
    void Write(const std::string& key, const std::string& name, const std::string& value) {
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        ASSERT_TRUE(reg.OpenKey(key, true));
        reg.WriteString(name, value);
    }
    std::string Find(TCustomInstall* install, bool create) {
        std::string key = "old";
        install->FindInstallRecord(create, key);
        return key;
    }
    kv::test::TempMachine M;
    std::string ProgramPath;
};

std::string MessageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no exception";
}

const std::string kUnfinishedError =
    "IEInstall: The TInstall could not either write or read unfinished business from the registry";

}  // namespace

TEST_F(Records, TheFirstRunCreatesItsRecord) {
    TCustomInstall* install = Load({"-sC:\\SRC", "-eSetup.exe"});
    EXPECT_EQ(install->SourceDir(), "C:\\SRC");
    EXPECT_EQ(InstallRecordKey, "");  // looked up at loading, not created
    RunStartTime = EncodeDate(2002, 1, 2) + EncodeTime(3, 4, 5, 0);
    EXPECT_EQ(Find(install, true), "\\SOFTWARE\\Kelvane\\Install\\Install0");
    EXPECT_EQ(Values("\\SOFTWARE\\Kelvane\\Install\\Install0"),
              "Path=C:\\TEMP\\KV1\\SETUP.EXE LastRunDate=2002-01-02 03:04:05 CreationDate=2001-05-06 10:00:00 Size=7 "
              "SelfExtract=C:\\SRC\\Setup.exe");
    // Found again, by its date and size.
    RunStartTime = EncodeDate(2003, 1, 1);
    EXPECT_EQ(Find(install, false), "\\SOFTWARE\\Kelvane\\Install\\Install0");
    EXPECT_EQ(SubKeys(kRecords), std::vector<std::string>{"Install0"});
    EXPECT_NE(Values("\\SOFTWARE\\Kelvane\\Install\\Install0").find("LastRunDate=2003-01-01 00:00:00"),
              std::string::npos);
    RunStartTime = 0;
}

TEST_F(Records, AMovedProgramFindsItsRecordARebuiltOneDoesNot) {
    TCustomInstall* install = Load();
    ASSERT_EQ(Find(install, true), "\\SOFTWARE\\Kelvane\\Install\\Install0");
    struct Case { const char* host; const char* win; int hour; const char* content; bool found; const char* key; };
    const Case cases[] = {
        {"drive_c/Other/SETUP.EXE", "C:\\Other\\SETUP.EXE", 10, "program", true, "Install0"},         // moved
        {"drive_c/TEMP/KV1/SETUP.EXE", "C:\\TEMP\\KV1\\SETUP.EXE", 11, "program", false, "Install1"},  // rebuilt
        {"drive_c/Big/SETUP.EXE", "C:\\Big\\SETUP.EXE", 10, "program2", false, "Install2"},            // resized
    };
    for (const auto& c : cases) {
        Program(c.host, c.win, c.hour, c.content);
        const std::string key = std::string(kRecords) + "\\" + c.key;
        EXPECT_EQ(Find(install, false), c.found ? key : std::string()) << c.win;
        EXPECT_EQ(Find(install, true), key) << c.win;
        EXPECT_NE(Values(key).find(std::string("Path=") + c.win + " "), std::string::npos);
    }
    // A program that cannot be read has no record.
    Application->SetExeName("C:\\Gone\\SETUP.EXE");
    EXPECT_EQ(Find(install, true), "");
}

TEST_F(Records, TheFirstFreeNumberAndDamagedRecordsAreSkipped) {
    Write("\\SOFTWARE\\Kelvane\\Install\\install0", "Path", "C:\\X.EXE");  // no date, no size
    Write("\\SOFTWARE\\Kelvane\\Install\\Install2", "Size", "7");          // the size as text
    Write("\\SOFTWARE\\Kelvane\\Install\\Other", "Path", "C:\\Y.EXE");
    TCustomInstall* install = Load();
    EXPECT_EQ(Find(install, false), "");
    EXPECT_EQ(Find(install, true), "\\SOFTWARE\\Kelvane\\Install\\Install1");
    EXPECT_EQ(Find(install, true), "\\SOFTWARE\\Kelvane\\Install\\Install1");
}

TEST_F(Records, UnfinishedWork) {
    TCustomInstall* install = Load();
    TStringList list;
    list.Add("stale");
    EXPECT_EQ(MessageOf([&] { install->ReadUnfinishedList(list); }), kUnfinishedError);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(MessageOf([&] { install->AddUnfinished("Setup1", 0); }), kUnfinishedError);
    EXPECT_EQ(MessageOf([&] { install->ClearUnfinished(); }), kUnfinishedError);
    EXPECT_EQ(install->UnfinishedCount(), 0);

    InstallRecordKey = Find(install, true);
    install->ReadUnfinishedList(list);
    EXPECT_EQ(list.Count(), 0);
    install->AddUnfinished("Setup1", 0);
    install->AddUnfinished("C:\\TEMP\\bat1.bat", 1);
    install->AddUnfinished("setup1", 7);  // the same name replaces the first
    EXPECT_EQ(install->UnfinishedCount(), 3);
    install->ReadUnfinishedList(list);
    EXPECT_EQ(list.Text(), "Setup1;7\r\nC:\\TEMP\\bat1.bat;1\r\n");
    install->ClearUnfinished();
    install->ReadUnfinishedList(list);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(SubKeys(InstallRecordKey), std::vector<std::string>{});
    install->ClearUnfinished();  // nothing to clear: no error
}

TEST_F(Records, TheRunOnceCommand) {
    struct Case { std::string exe; std::vector<std::string> args; bool loader; std::string command; };
    const Case cases[] = {
        {"C:\\TEMP\\X\\SETUP.EXE", {"-sD:\\", "-c"}, true, "\"C:\\TEMP\\X\\SETUP.EXE\" -r \"-sD:\" -c"},
        {"C:\\TEMP\\X\\SETUP.EXE", {"-sC:\\SRC"}, true, "\"C:\\TEMP\\X\\SETUP.EXE\" -r \"-sC:\\SRC\""},
        {"C:\\TEMP\\X\\SETUP.EXE", {"-sC:\\SRC", "-c"}, false, "\"C:\\TEMP\\X\\SETUP.EXE\" -r \"-sC:\\TEMP\\X\" -c"},
        {"C:\\TEMP\\X\\SETUP.EXE", {"-eSetup.exe", "-sC:\\Down Load\\", "-c"}, true,
         "\"C:\\TEMP\\X\\SETUP.EXE\" -r \"-eSetup.exe\" \"-sC:\\Down Load\" -c"},
    };
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    std::vector<std::string> names;
    for (const auto& c : cases) {
        SetUp();
        Program("drive_c/TEMP/X/SETUP.EXE", c.exe, 10);
        TCustomInstall* install = Load(c.args);
        install->SetUseLoadingProgram(c.loader);
        install->RegisterRunOnce();
        names.push_back(names.empty() ? "KelvaneUnfinished" : "KelvaneUnfinished" + std::to_string(names.size()));
        ASSERT_TRUE(reg.OpenKey(kRunOnce, false));
        EXPECT_EQ(reg.ReadString(names.back()), c.command);
        reg.CloseKey();
    }
    SetUp();
    TCustomInstall* install = Load({"-sC:\\SRC", "-e"});
    EXPECT_EQ(MessageOf([&] { install->RegisterRunOnce(); }),
              "IEInstall: You forgot to pass in the name of the self-extracting executable. Usage example: "
              "\"-eSetup.exe\"");
}

TEST_F(Records, RemovalTakesTheLocalArchivesAndTheEmptyParents) {
    Write("\\Software\\Kelvane\\Kelvane Studio", "Version", "1");
    TCustomInstall* install = Load();
    ASSERT_EQ(Find(install, true), "\\SOFTWARE\\Kelvane\\Install\\Install0");
    Program("drive_c/B/SETUP.EXE", "C:\\B\\SETUP.EXE", 12);
    InstallRecordKey = Find(install, true);
    ASSERT_EQ(InstallRecordKey, "\\SOFTWARE\\Kelvane\\Install\\Install1");
    M.Write("drive_c/TEMP/group1.1", "archive");
    M.Write("drive_c/TEMP/keep.1", "archive");
    Write(InstallRecordKey + "\\Group1", "LocalFile", "C:\\TEMP\\group1.1");
    Write(InstallRecordKey + "\\Group2", "LocalFile", "   ");
    Write(InstallRecordKey + "\\Group3", "LocalFile", "C:\\TEMP\\missing.1");
    install->AddUnfinished("Setup1", 0);
    install->RemoveInstallRecord();
    EXPECT_EQ(InstallRecordKey, "");
    EXPECT_FALSE(M.Exists("drive_c/TEMP/group1.1"));
    EXPECT_TRUE(M.Exists("drive_c/TEMP/keep.1"));
    EXPECT_EQ(SubKeys(kRecords), std::vector<std::string>{"Install0"});
    install->RemoveInstallRecord();  // no record: nothing happens
    // The last record takes the parent keys with it, as far as they are empty.
    InstallRecordKey = "\\SOFTWARE\\Kelvane\\Install\\Install0";
    install->RemoveInstallRecord();
    EXPECT_EQ(SubKeys(kRecords), std::vector<std::string>{"(none)"});
    EXPECT_EQ(SubKeys("\\Software\\Kelvane"), std::vector<std::string>{"Kelvane Studio"});
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.DeleteKey("\\Software\\Kelvane\\Kelvane Studio"));
    InstallRecordKey = Find(install, true);
    install->RemoveInstallRecord();
    EXPECT_EQ(SubKeys("\\Software\\Kelvane"), std::vector<std::string>{"(none)"});
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE"));
}

TEST_F(Records, TheLanguageIsKeptOverAReboot) {
    TCustomInstall* install = Load();
    EXPECT_EQ(install->StoredLanguage(3), 3);
    EXPECT_THROW(install->StoreLanguage(5), EIRCannotWriteValue);
    InstallRecordKey = Find(install, true);
    EXPECT_EQ(install->StoredLanguage(3), 3);
    install->StoreLanguage(5);
    EXPECT_EQ(install->StoredLanguage(3), 5);
    EXPECT_NE(Values(InstallRecordKey).find("Language=5"), std::string::npos);
}

// The whole cycle in one process: a run leaves work for the reboot, the run with -r
// finishes it and ends as a good install.
TEST_F(Records, ARunThatNeedsARebootAndItsResume) {
    M.Write("drive_c/TEMP/bat1.bat", "@ECHO OFF\r\n");
    TCustomInstall* install = Load();
    auto* setup = static_cast<TInstallContainer*>(Application->MainForm()->FindComponent("Setup1"));
    setup->OnAfterProcess = [install](TInstallContainer* c) {
        install->AddUnfinished(c->Name(), 0);
        install->AddUnfinished("C:\\TEMP\\bat1.bat", 1);
        install->AddUnfinished("X", 7);
        install->Reboot = true;
    };
    Application->Run();
    EXPECT_EQ(Application->ExitCode, kExitRebootStarted);
    const std::string key = "\\SOFTWARE\\Kelvane\\Install\\Install0";
    EXPECT_EQ(Values(key + "\\Unfinished"), "Setup1=0 C:\\TEMP\\bat1.bat=1 X=7");
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(kRunOnce, false));
    EXPECT_EQ(reg.ReadString("KelvaneUnfinished"), "\"C:\\TEMP\\KV1\\SETUP.EXE\" -r \"-sC:\\SRC\"");
    reg.CloseKey();

    // Windows starts the program again with -r.
    Restart();
    Finished().clear();
    install = Load({"-r", "-sC:\\SRC"});
    EXPECT_EQ(Finished(), (std::vector<std::string>{"Setup1", "-995", "-979"}));
    EXPECT_FALSE(M.Exists("drive_c/TEMP/bat1.bat"));
    EXPECT_TRUE(Application->Terminated());
    EXPECT_EQ(Application->ExitCode, kExitInstalled);
    EXPECT_FALSE(install->Running());
    EXPECT_EQ(SubKeys("\\Software\\Kelvane"), std::vector<std::string>{"(none)"});
}

TEST_F(Records, AResumeFailsOnBadEntriesAndWithoutItsRecord) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> entries;
        std::string message;
        std::vector<std::string> finished;
    };
    const Case cases[] = {
        {{{"Setup1", "0"}, {"Bad", "zero"}, {"Other1", "0"}},
         "IEInstall: There is an invalid entry for the unfinished install list Bad;zero",
         {"Setup1"}},
        {{{"Bad", ""}}, "IEInstall: There is an invalid entry for the unfinished install list Bad;", {}},
        {{{"Two", "1;2"}}, "no exception", {"-995", "-979"}},
        {{{"Install1", "0"}, {"OTHER1", "0"}}, "no exception", {"Other1", "-995", "-979"}},  // never the driver itself
    };
    for (const auto& c : cases) {
        SetUp();
        TCustomInstall* install = Load();
        const std::string key = Find(install, true);
        for (const auto& [name, code] : c.entries) Write(key + "\\Unfinished", name, code);
        Restart();
        EXPECT_EQ(MessageOf([&] { Load({"-r", "-sC:\\SRC"}); }), c.message);
        // The entries are gone in any case: they were read before they ran.
        EXPECT_EQ(SubKeys(key).size(), c.message == "no exception" ? 1u : 0u) << c.message;
        EXPECT_EQ(Finished(), c.finished) << c.message;
        TRegistry reg;
        reg.SetRootKey(HKEY_LOCAL_MACHINE);
        reg.DeleteKey("\\Software\\Kelvane");
    }
    // No record for this program.
    Restart();
    EXPECT_EQ(MessageOf([&] { Load({"-r", "-sC:\\SRC"}); }), kUnfinishedError);
}

// A run empties the list an earlier run of the same program left.
TEST_F(Records, ARunStartsWithAnEmptyList) {
    TCustomInstall* install = Load();
    const std::string key = Find(install, true);
    Write(key + "\\Unfinished", "Old", "1");
    Restart();
    install = Load();
    EXPECT_EQ(InstallRecordKey, key);  // found at loading
    install->OnAfterInitialized = [&](TObject*) { EXPECT_EQ(SubKeys(key), std::vector<std::string>{}); };
    Application->Run();
    EXPECT_EQ(Application->ExitCode, kExitInstalled);
    EXPECT_EQ(SubKeys(kRecords), std::vector<std::string>{"(none)"});  // the good end removed it
}

// A record found at loading brings the archive an earlier run downloaded.
TEST_F(Records, TheDriverTakesItsDownloadedArchiveFromTheRecord) {
    TCustomInstall* install = Load();
    EXPECT_EQ(install->LocalArchive, "");
    const std::string key = Find(install, true);
    struct Case { const char* value; const char* local; };
    const Case cases[] = {
        {"C:\\TEMP\\setup.1", "C:\\TEMP\\setup.1"},
        {"C:\\TEMP\\gone.1", ""},
        {"  ", ""},
    };
    M.Write("drive_c/TEMP/setup.1", "archive");
    for (const auto& c : cases) {
        Write(key + "\\Install1", "LocalFile", c.value);
        Restart();
        install = Load();
        EXPECT_EQ(install->LocalArchive, c.local) << c.value;
        std::string path = "old";
        EXPECT_EQ(install->FindLocalFile(path), *c.local != 0);
        EXPECT_EQ(path, c.local);
    }
}

// Neither a lookup that finds nothing nor a definition checked in the designer leaves
// anything in the registry.
TEST_F(Records, LookingUpLeavesNoKeys) {
    TCustomInstall* install = Load();
    EXPECT_EQ(Find(install, false), "");
    EXPECT_EQ(SubKeys("\\Software\\Kelvane"), std::vector<std::string>{"(none)"});
    Restart();
    TForm form(nullptr);
    form.SetDesigning(true);
    ReadComponentText("object Form1: TForm\n" + std::string(kTree) + "end\n", {}, &form);
    EXPECT_EQ(Find(CurrentInstall(), true), "");
    EXPECT_EQ(SubKeys("\\Software\\Kelvane"), std::vector<std::string>{"(none)"});
}
