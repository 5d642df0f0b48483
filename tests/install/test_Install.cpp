#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "forms/script/ScriptBackend.h"
#include "install/TInstall.h"
#include "platform/FileStream.h"
#include "platform/Processes.h"
#include "runtime/Streaming.h"
#include "tests/net/TestServers.h"
#include "tests/platform/TempMachine.h"

using namespace kv;

namespace {

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

// What a manager does when it receives a code (a dialog page that cancels, ...).
std::map<int32_t, std::function<void()>>& Reactions() {
    static std::map<int32_t, std::function<void()>> r;
    return r;
}

// Receives every notification code, as the dialog managers do.
class TCodeRecorder : public TInstallObject {
    KV_CLASS(TCodeRecorder, TInstallObject)
public:
    using TInstallObject::TInstallObject;
    int32_t RegisteredType() const override { return rtDialog; }
    void ReceiveMessage(TObject*, int32_t code, TObject*) override {
        Log().push_back(std::to_string(code));
        auto it = Reactions().find(code);
        if (it != Reactions().end()) it->second();
    }
};

class TTestInstallFile : public TCustomInstallFile {
    KV_CLASS(TTestInstallFile, TCustomInstallFile)
public:
    using TCustomInstallFile::TCustomInstallFile;
    void Install() override {
        Log().push_back("install " + Name());
        inherited::Install();
    }
};

}  // namespace

KV_REGISTER_CLASS(TCodeRecorder, TInstallObject) {
    b.Reference<TInstallContainer>("Container", &TCodeRecorder::Container, &TCodeRecorder::SetContainer);
}
KV_REGISTER_CLASS(TTestInstallFile, TCustomInstallFile) {
    b.Reference<TInstallContainer>("Container", &TTestInstallFile::Container, &TTestInstallFile::SetContainer);
    b.Boolean("RunAfterInstall", &TTestInstallFile::RunAfterInstall, &TTestInstallFile::RunAfterInstall, false);
    b.String("DestName", &TTestInstallFile::DestName, &TTestInstallFile::SetDestName);
    b.String("DestDir", &TTestInstallFile::DestDir, &TTestInstallFile::SetDestDir);
}

namespace {

const char* kTree =
    "  object Install1: TInstall\n  end\n"
    "  object Recorder1: TCodeRecorder\n    Container = Install1\n  end\n"
    "  object File1: TTestInstallFile\n    Container = Install1\n    DestName = 'tool.exe'\n  end\n";

class Driver : public ::testing::Test {
protected:
    kv::test::TempMachine M;
    void SetUp() override {
        EndApplication();
        auto b = std::make_unique<TScriptBackend>();
        Backend = b.get();
        Application->SetBackend(std::move(b));
        Application->Title = "My product Installation";
        // The program is the loading program's copy on the machine (a clean-up batch
        // erases it, never the test itself).
        M.Write("drive_c/TEMP/KV1/SETUP.EXE", "program");
        Application->SetExeName("C:\\TEMP\\KV1\\SETUP.EXE");
        Log().clear();
        Reactions().clear();
    }
    void TearDown() override {
        EndApplication();
        SetCommandLine(std::vector<std::string>{});
    }
    // The clean-up batch runs here, before the driver would start it on its own after
    // the test's machine is gone.
    static void EndApplication() {
        if (TCustomInstall* i = CurrentInstall(); i && i->RunBatch() && FileExists(i->CleanupBatch()))
            RunBatchFile(i->CleanupBatch());
        RecreateApplication();
    }
    // Streams a main form holding Body, started with Args.
    TCustomInstall* Load(const std::string& body = kTree, const std::vector<std::string>& args = {"-sC:\\SRC", "-c"},
                         const std::string& form = "  Width = 544\n  Height = 375\n") {
        SetCommandLine(args);
        Form = Application->CreateForm(TForm::StaticClass(), [&](TCustomForm* f) {
            ReadComponentText("object Form1: TForm\n" + form + body + "end\n", {}, f);
        });
        return CurrentInstall();
    }
    // Runs the message loop; the log gets the driver's events too.
    void Run(TCustomInstall* install) {
        auto note = [](const char* what) { return [what](TObject*) { Log().push_back(what); }; };
        install->OnBeforeReadArchiveInfo = note("OnBeforeReadArchiveInfo");
        install->OnAfterReadArchiveInfo = note("OnAfterReadArchiveInfo");
        install->OnAfterInitialized = note("OnAfterInitialized");
        install->OnBeforeNotifyGoodInstall = note("OnBeforeNotifyGoodInstall");
        install->OnAfterNotifyGoodInstall = note("OnAfterNotifyGoodInstall");
        install->OnBeforeNotifyBadInstall = note("OnBeforeNotifyBadInstall");
        install->OnAfterNotifyBadInstall = note("OnAfterNotifyBadInstall");
        install->OnBeforeCleanup = [](TCustomInstall*, bool&) { Log().push_back("OnBeforeCleanup"); };
        install->OnBeforeShutdown = [](TCustomInstall*, bool&) { Log().push_back("OnBeforeShutdown"); };
        Application->Run();
    }
    bool ClosedByUser() const { return Backend->Transcript().find("closed by the user") != std::string::npos; }
    TScriptBackend* Backend = nullptr;
    TCustomForm* Form = nullptr;
};

std::vector<std::string> Seq(std::initializer_list<const char*> items) { return {items.begin(), items.end()}; }

std::string MessageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "no exception";
}

std::string RemoveTrailing(std::string s) {
    if (!s.empty() && s.back() == '\\') s.pop_back();
    return s;
}

}  // namespace

TEST_F(Driver, AGoodRunInOrder) {
    TCustomInstall* install = Load();
    ASSERT_NE(install, nullptr);
    EXPECT_EQ(install->MainForm(), Form);
    Run(install);
    EXPECT_EQ(Log(), Seq({"OnBeforeReadArchiveInfo", "-984", "-974", "-973", "OnAfterReadArchiveInfo", "-983",
                          "OnAfterInitialized", "-986", "-976", "-975", "-982", "-981", "-977", "-980", "-990",
                          "-999", "install File1", "-989", "OnBeforeNotifyGoodInstall", "-995", "-979",
                          "OnAfterNotifyGoodInstall", "OnBeforeCleanup", "OnBeforeShutdown"}));
    EXPECT_EQ(Application->ExitCode, kExitInstalled);
    EXPECT_TRUE(Application->Terminated());
    EXPECT_FALSE(ClosedByUser());
    EXPECT_TRUE(install->RunBatch());
    EXPECT_FALSE(install->Running());
    EXPECT_TRUE(install->Processed);
    EXPECT_EQ(ExtractFileExt(install->CleanupBatch()), ".bat");
    // The window was maximised when the run started.
    EXPECT_EQ(Form->WindowState(), wsMaximized);
    EXPECT_NE(Backend->Transcript().find("[form] Form1 maximized"), std::string::npos) << Backend->Transcript();
}

// Each row of the outcome table: what ends the run, which pages were asked for, the
// clean-up, whether the driver ended the application, and the exit code.
TEST_F(Driver, OutcomeTable) {
    struct Row {
        const char* name;
        std::function<void(TCustomInstall*)> arrange;
        bool runAutomatic;
        std::vector<std::string> pages;  // codes of the end pages
        bool cleanup, terminatedByDriver;
        int exitCode;
        bool errorShown;
    };
    auto rebootDuringInstall = [](TCustomInstall* i) {
        static_cast<TInstallContainer*>(i->Owner()->FindComponent("File1"))->OnAfterProcess =
            [i](TInstallContainer*) { i->Reboot = true; };
    };
    const Row rows[] = {
        {"good", [](TCustomInstall*) {}, true, {"-995", "-979"}, true, true, kExitInstalled, false},
        {"good, started by the host, not ended by the driver", [](TCustomInstall*) {}, false, {"-995", "-979"}, true, false,
         kExitInstalled, false},
        {"reboot accepted", rebootDuringInstall, true, {"-987"}, false, true, kExitRebootStarted, false},
        {"reboot declined on the page",
         [&](TCustomInstall* i) {
             rebootDuringInstall(i);
             Reactions()[ncReboot] = [i] { i->Reboot = false; };
         },
         true, {"-987"}, false, true, kExitRebootRequired, false},
        {"reboot refused by OnBeforeReboot",
         [&](TCustomInstall* i) {
             rebootDuringInstall(i);
             i->OnBeforeReboot = [](TCustomInstall*, bool& go) { go = false; };
         },
         true, {"-987"}, false, true, kExitRebootRequired, false},
        {"user abort", [](TCustomInstall*) { Reactions()[ncShowBeforeInstall] = [] { throw EAIUserAbort(); }; },
         true, {"-994", "-978"}, true, true, kExitUserCancel, false},
        {"user abort, not automatic",
         [](TCustomInstall*) { Reactions()[ncShowBeforeInstall] = [] { throw EAIUserAbort(); }; }, false,
         {"-994", "-978"}, true, false, kExitUserCancel, false},
        {"error",
         [](TCustomInstall* i) {
             static_cast<TInstallContainer*>(i->Owner()->FindComponent("File1"))->OnBeforeProcess =
                 [](TInstallContainer*) { throw IEInstall("Disk on fire"); };
         },
         true, {"-994", "-978"}, false, true, kExitFailed, true},
        {"error, not automatic, still ends",
         [](TCustomInstall* i) {
             static_cast<TInstallContainer*>(i->Owner()->FindComponent("File1"))->OnBeforeProcess =
                 [](TInstallContainer*) { throw IEInstall("Disk on fire"); };
         },
         false, {"-994", "-978"}, false, true, kExitFailed, true},
        {"error while the bad-install pages show is swallowed",
         [](TCustomInstall*) {
             Reactions()[ncShowBeforeInstall] = [] { throw IEInstall("Disk on fire"); };
             Reactions()[ncShowBadInstall] = [] { throw IEInstall("page broken"); };
         },
         true, {"-994", "-978"}, false, true, kExitFailed, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        TCustomInstall* install = Load();
        install->RunAutomatic = row.runAutomatic;
        row.arrange(install);
        // Without RunAutomatic the host starts the run itself.
        if (!row.runAutomatic) Application->PostMessage([install] { install->Process(); });
        Application->Run();
        std::vector<std::string> endPages;
        for (const auto& e : Log())
            if (e == "-995" || e == "-979" || e == "-994" || e == "-978" || e == "-987") endPages.push_back(e);
        EXPECT_EQ(endPages, row.pages);
        EXPECT_EQ(install->RunBatch(), row.cleanup);
        EXPECT_EQ(ClosedByUser(), !row.terminatedByDriver);
        EXPECT_EQ(Application->ExitCode, row.exitCode);
        EXPECT_EQ(Backend->Transcript().find("Disk on fire") != std::string::npos, row.errorShown)
            << Backend->Transcript();
        EXPECT_FALSE(install->Running() && row.exitCode != kExitRebootStarted && row.exitCode != kExitRebootRequired);
    }
}

TEST_F(Driver, WithoutTheSourceSwitchTheRunFailsAtOnce) {
    TCustomInstall* install = Load(kTree, {});
    Application->Run();
    EXPECT_EQ(Log(), Seq({"-994", "-978"}));  // bad-install pages, then the message
    EXPECT_NE(Backend->Transcript().find("The path of the loading program was not passed correctly."),
              std::string::npos);
    EXPECT_EQ(Application->ExitCode, kExitFailed);
    EXPECT_FALSE(install->Processed);
    EXPECT_EQ(install->SourceDir(), RemoveTrailing(ExtractFileDir(Application->ExeName())));
}

TEST_F(Driver, NotRunningAutomaticallyShowsTheFormAndErrorsPlainly) {
    TCustomInstall* install = Load(kTree + std::string("  object Late: TCodeRecorder\n  end\n"));
    install->RunAutomatic = false;
    Application->PostMessage([] { throw EConvertError("plain error"); });
    Application->Run();
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(install->Started());
    EXPECT_FALSE(install->Processed);
    EXPECT_EQ(Form->WindowState(), wsMaximized);
    // Shown the standard way: no bad-install pages, the application goes on.
    EXPECT_NE(Backend->Transcript().find("[message] My product Installation (error)\n    plain error\n"),
              std::string::npos);
    EXPECT_TRUE(ClosedByUser());
}

TEST_F(Driver, HideMainFormMovesTheFormAwayAndStillStarts) {
    TCustomInstall* install = Load("  object Install1: TInstall\n    AutoMaximizeWindow = False\n    HideMainForm = True\n  end\n");
    EXPECT_EQ(Form->Left(), -1088);
    EXPECT_EQ(Form->Top(), -750);
    int before = 0;
    Form->OnActivate = [&, hook = Form->OnActivate](TObject* s) { hook(s); };
    install->OnBeforeProcess = [&](TInstallContainer*) { ++before; };
    Application->Run();
    EXPECT_EQ(before, 1);
    EXPECT_NE(Backend->Transcript().find("[form] Form1 shown at -1088,-750 544x375\n"), std::string::npos);
    Form->Activate();  // the user comes back to the window: nothing starts again
    EXPECT_EQ(before, 1);
    EXPECT_EQ(Form->WindowState(), wsNormal);
}

TEST_F(Driver, StoredHideAndMaximizeBothApply) {
    Load("  object Install1: TInstall\n    HideMainForm = True\n  end\n");
    EXPECT_EQ(Form->Left(), -1088);
    Application->Run();
    EXPECT_EQ(Form->WindowState(), wsMaximized);
}

TEST_F(Driver, TheSavedActivationHandlerRunsFirstAndComesBack) {
    SetCommandLine({"-sC:\\SRC"});
    int own = 0;
    Form = Application->CreateForm(TForm::StaticClass(), [&](TCustomForm* f) {
        f->RegisterHandler<TObject*>("Form1Activate", [&](TObject* sender) {
            ++own;
            EXPECT_EQ(sender, Form);
        });
        ReadComponentText("object Form1: TForm\n  OnActivate = Form1Activate\n" + std::string(kTree) + "end\n", {}, f);
    });
    EXPECT_NE(Form->OnActivate.Name(), "Form1Activate");  // the start hook sits in its place
    Application->Run();
    EXPECT_EQ(own, 1);
    EXPECT_EQ(Form->OnActivate.Name(), "Form1Activate");
}

TEST_F(Driver, InitialInstallTypeFromTheOfferedTypes) {
    struct Case { const char* types; TInstallType expected; };
    const Case cases[] = {
        {"[itFull, itCompact]", itCompact},
        {"[itFull, itCustom]", itFull},
        {"[itAlways]", itAlways},
        {"[itCustom, itDefault]", itDefault},
    };
    for (const auto& c : cases) {
        SetUp();
        TCustomInstall* install = Load(std::string("  object Install1: TInstall\n    InstallTypes = ") + c.types +
                                       "\n  end\n" + "  object File1: TTestInstallFile\n    Container = Install1\n  end\n");
        EXPECT_EQ(install->CurrentInstallType, c.expected) << c.types;
        EXPECT_EQ(static_cast<TInstallContainer*>(Form->FindComponent("File1"))->CurrentInstallType, c.expected);
    }
}

TEST_F(Driver, ShutdownRefusedKeepsTheApplicationAndStillRunsFiles) {
    TCustomInstall* install = Load(
        "  object Install1: TInstall\n  end\n"
        "  object Run1: TTestInstallFile\n    Container = Install1\n    RunAfterInstall = True\n  end\n"
        "  object Run2: TTestInstallFile\n    Container = Install1\n    RunAfterInstall = True\n  end\n"
        "  object Quiet: TTestInstallFile\n    Container = Install1\n  end\n");
    install->OnBeforeShutdown = [](TCustomInstall*, bool& quit) { quit = false; };
    install->OnBeforeRunFile = [](TCustomInstall*, TCustomInstallFile* f, bool& go) {
        Log().push_back("run " + f->Name());
        go = f->Name() != "Run2";
    };
    Application->Run();
    EXPECT_EQ(Log(), Seq({"install Run1", "install Run2", "install Quiet", "run Run1", "run Run2"}));
    EXPECT_TRUE(ClosedByUser());
    EXPECT_EQ(Application->ExitCode, kExitInstalled);
}

TEST_F(Driver, SilentAbortInOnBeforeProcessSkipsOneObject) {
    Load("  object Install1: TInstall\n  end\n"
         "  object A: TTestInstallFile\n    Container = Install1\n  end\n"
         "  object B: TTestInstallFile\n    Container = Install1\n  end\n");
    static_cast<TInstallContainer*>(Form->FindComponent("A"))->OnBeforeProcess = [](TInstallContainer*) { Abort(); };
    Application->Run();
    EXPECT_EQ(Log(), Seq({"install B"}));
    EXPECT_EQ(Application->ExitCode, kExitInstalled);
}

TEST_F(Driver, ArchiveInformationIsReadOncePerRun) {
    TCustomInstall* install = Load();
    int reads = 0;
    install->OnBeforeReadArchiveInfo = [&](TObject*) { ++reads; };
    install->ReadArchiveInfo();
    install->ReadArchiveInfo();
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(Form->Cursor(), crDefault);
}

TEST_F(Driver, UserAbortQuestion) {
    TCustomInstall* install = Load();
    EXPECT_TRUE(install->QueryUserAbort());
    install->OnUserAbort = [](TCustomInstall*, bool& quit) { quit = false; };
    EXPECT_FALSE(install->QueryUserAbort());
}

TEST_F(Driver, CleanupOnlyWhenItsConditionsHold) {
    struct Case { std::vector<std::string> args; bool useLoader; bool proceed; bool expected; };
    const Case cases[] = {
        {{"-sC:\\SRC", "-c"}, true, true, true},
        {{"-sC:\\SRC"}, true, true, false},
        {{"-d", "-sC:\\SRC", "-c"}, true, true, false},
        {{"-sC:\\SRC", "-c"}, false, true, false},
        {{"-sC:\\SRC", "-c"}, true, false, false},
    };
    for (const auto& c : cases) {
        SetUp();
        TCustomInstall* install = Load(kTree, c.args);
        install->SetUseLoadingProgram(c.useLoader);
        install->OnBeforeCleanup = [&](TCustomInstall*, bool& go) { go = c.proceed; };
        install->PrepareCleanup();
        EXPECT_EQ(install->RunBatch(), c.expected);
    }
}

TEST_F(Driver, ResumeAfterRebootEndsGoodInsideLoading) {
    TCustomInstall* install = Load(kTree, {"-r", "-sC:\\SRC", "-c"});
    EXPECT_EQ(Log(), Seq({"-995", "-979"}));
    EXPECT_TRUE(Application->Terminated());
    EXPECT_FALSE(install->Running());
    EXPECT_TRUE(install->RunBatch());
}

TEST_F(Driver, BuildAndFloppyModesReportInAMessageBoxAndEnd) {
    struct Case { std::vector<std::string> args; const char* message; };
    const Case cases[] = {
        {{"-b", "-r"}, "Need to have a BUILD.INF file in this directory with the first line specifying the build directory"},
        {{"-f"}, "Sorry... You can only transfer this installation to floppies through the self-extracting file. Usage "
                 "example: setup.exe *TODISK"},
    };
    for (const auto& c : cases) {
        SetUp();
        TCustomInstall* install = Load(kTree, c.args);
        EXPECT_NE(Backend->Transcript().find(std::string("    ") + c.message + "\n"), std::string::npos)
            << Backend->Transcript();
        EXPECT_TRUE(Application->Terminated());
        EXPECT_EQ(Application->ExitCode, kExitFailed);
        EXPECT_TRUE(Log().empty());  // neither a resume nor a run
        EXPECT_FALSE(install->Running());
    }
}

TEST_F(Driver, CommandLineSwitches) {
    struct Case { std::vector<std::string> args; std::string error; uint8_t switches; std::string source; };
    const std::string valid =
        ". Valid command line parameters are: -b (Build), -d (Debug), -f (Transfer to floppies), -e (Called by "
        "self-extractor), -r (After reboot)";
    const Case cases[] = {
        {{"-SD:\\SETUP"}, "", 1 << swSource, "D:\\SETUP"},
        {{"-sD:\\SETUP"}, "", 1 << swSource, "D:\\SETUP"},
        {{"-sC:\\A", "-c", "-sC:\\B"}, "", 1 << swSource | 1 << swCleanup, "C:\\B"},
        {{"-e", "-s"}, "", 1 << swSelfExtract | 1 << swSource, ""},
        {{"-B", "-F", "-D", "-E", "-R", "-C", "-s"}, "", 0x7F, ""},
        {{"-X"}, "Invalid parameter <-X>" + valid, 0, ""},
        {{"-"}, "Invalid parameter <->" + valid, 0, ""},
        {{"x"}, "Invalid parameter <x>" + valid, 0, ""},
        {{"-sC:\\A", "/b"}, "Invalid parameter </b>" + valid, 0, ""},
    };
    TCustomInstall* install = Load(kTree, {});
    for (const auto& c : cases) {
        SetCommandLine(c.args);
        try {
            install->ParseCommandLine();
            EXPECT_EQ(c.error, "");
        } catch (const IException& e) {
            EXPECT_EQ(std::string(e.ClassName()), "IException");
            EXPECT_EQ(e.Message(), c.error);
            continue;
        }
        uint8_t set = 0;
        for (int s = 0; s < kSwitchCount; ++s) set |= install->HasSwitch(TInstallSwitch(s)) << s;
        EXPECT_EQ(set, c.switches);
        EXPECT_EQ(install->SwitchValue(swSource), c.source);
    }
}

TEST_F(Driver, LoadingChecksTheCommandLine) {
    struct Case { std::vector<std::string> args; const char* message; };
    const Case cases[] = {
        {{"-d"}, "You forgot to pass in the build directory. In Run | Parameters, follow this format: -d \"-sC:\\My Build\""},
        {{"-d", "-s  "}, "You forgot to pass in the build directory. In Run | Parameters, follow this format: -d \"-sC:\\My Build\""},
        {{"-q"}, "Invalid parameter <-q>"},
    };
    for (const auto& c : cases) {
        SetUp();
        try {
            Load(kTree, c.args);
            ADD_FAILURE() << c.message;
        } catch (const IException& e) {
            EXPECT_EQ(e.Message().find(c.message), 0u) << e.Message();
        }
        EXPECT_EQ(CurrentInstall(), nullptr);  // the form went with its components
        EXPECT_EQ(Application->ComponentCount(), 0);
    }
}

TEST_F(Driver, OneDriverOnAForm) {
    Load();
    try {
        ReadComponentText("object Form2: TForm\n  object Install2: TInstall\n  end\nend\n", {});
        ADD_FAILURE();
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("The TInstall component does not currently support the use of 2 TInstall "
                                   "components in the same project"),
                  std::string::npos);
    }
    RecreateApplication();
    EXPECT_EQ(CurrentInstall(), nullptr);
    TComponent plain(nullptr);
    EXPECT_THROW(Create<TInstall>(&plain), IEInstall);
    TDataModule module(nullptr);
    auto* onModule = Create<TInstall>(&module);
    EXPECT_EQ(CurrentInstall(), onModule);
    delete onModule;
    EXPECT_EQ(CurrentInstall(), nullptr);
}

TEST_F(Driver, NoMainFormAndNoFormOwner) {
    TDataModule module(nullptr);
    SetCommandLine({"-sC:\\SRC"});
    EXPECT_THROW(ReadComponentText("object Install1: TInstall\nend\n", {}, Create<TInstall>(&module)), IEInstall);
}

TEST_F(Driver, SettersOutsideOfLoading) {
    TCustomInstall* install = Load();
    install->SetHideMainForm(true);
    EXPECT_FALSE(install->AutoMaximizeWindow());
    install->SetAutoMaximizeWindow(true);
    EXPECT_FALSE(install->HideMainForm());
    EXPECT_EQ(MessageOf([&] { install->SetDistributeType(dtWeb); }),
              "DistributeType can only be set at design-time");
    install->SetDesigning(true);
    EXPECT_EQ(MessageOf([&] { install->SetDistributeType(dtWeb); }),
              "Must assign a net location via the NetLocation property before you can set the distribute type");
    auto* net = Create<TNetInstallLocation>(Form);
    install->SetNetLocation(net);
    EXPECT_EQ(DefaultNetLocation, net);
    install->SetDistributeType(dtTraditionalNet);
    EXPECT_EQ(install->DistributeType(), dtTraditionalNet);
    delete net;  // its removal sets the type back
    EXPECT_EQ(install->NetLocation(), nullptr);
    EXPECT_EQ(install->DistributeType(), dtTraditional);
    install->SetDesigning(false);
    TStringList files;
    files.SetText("setup.ini\r\n   \r\n\r\nC:\\x\\lang.dll\r\n");
    install->SetPresetupFiles(&files);
    EXPECT_EQ(install->PresetupFiles()->Text(), "setup.ini\r\nC:\\x\\lang.dll\r\n");
    install->AddPresetupFile("D:\\other\\LANG.DLL", true);
    install->AddPresetupFile("D:\\other\\LANG.DLL", false);
    EXPECT_EQ(install->PresetupFiles()->Count(), 3);
    TInstallInformation info;
    info.ProductName = "Tool";
    install->SetInformation(&info);
    EXPECT_EQ(install->DriverProductName(), "Tool");
    TBuildInfo build;
    build.SignCode = true;
    build.URLPath = "x";
    install->SetBuildInfo(&build);
    EXPECT_TRUE(install->BuildInfo()->SignCode);
    EXPECT_EQ(install->BuildInfo()->BuildDirectory, "c:\\build");
}

TEST_F(Driver, DefaultsAreNotWrittenButUseLoadingProgramIs) {
    TCustomInstall* install = Load("  object Install1: TInstall\n  end\n");
    EXPECT_EQ(install->DestDir(), "\\MyApplication");
    EXPECT_EQ(install->GroupName, "Main");
    EXPECT_FALSE(install->AllowChoice);
    EXPECT_TRUE(install->AllowChangeDir);
    EXPECT_EQ(install->Information()->CompanyName, "My Company");
    EXPECT_EQ(WriteComponentText(install),
              "object Install1: TInstall\n  UseLoadingProgram = True\nend\n");
}

namespace {
std::vector<std::string> BatchLines(const std::string& winPath) {
    TStringList lines;
    TFileStream in(winPath, fmOpenRead);
    lines.LoadFromStream(in);
    std::vector<std::string> out;
    for (int i = 0; i < lines.Count(); ++i) out.push_back(lines[i]);
    return out;
}
}  // namespace

TEST_F(Driver, CleanupBatchRemovesTheLoadersCopyAndItself) {
    M.Write("drive_c/TEMP/KV1/LANG.DLL", "presetup");
    M.Write("drive_c/TEMP/KV1/setup.1", "archive");
    TCustomInstall* install = Load(
        "  object Install1: TInstall\n    PresetupFiles.Strings = (\n      'D:\\Build\\lang.dll')\n  end\n");
    Application->Run();
    ASSERT_TRUE(install->RunBatch());
    const std::string batch = install->CleanupBatch();
    EXPECT_EQ(ExtractFilePath(batch), "C:\\TEMP\\");
    EXPECT_EQ(ExtractFileName(batch).substr(0, 3), "bat");
    EXPECT_EQ(BatchLines(batch), (std::vector<std::string>{"ERASE C:\\TEMP\\KV1\\SETUP.EXE", "DELTREE /Y C:\\TEMP\\KV1",
                                                          "ERASE " + ChangeFileExt(batch, ".PIF"), "ERASE " + batch}));
    EXPECT_FALSE(M.Exists("drive_c/TEMP/KV1/LANG.DLL"));  // the presetup files went at once
    RunBatchFile(batch);
    EXPECT_FALSE(M.Exists("drive_c/TEMP/KV1"));
    EXPECT_FALSE(FileExists(batch));
}

// Started by hand with -c from a folder of the user's: the folder and its other files stay.
TEST_F(Driver, CleanupBatchLeavesAFolderOutsideTheTemporaryFolder) {
    struct Case { const char* exe; const char* host; };
    const Case cases[] = {
        {"C:\\Tools\\SETUP.EXE", "drive_c/Tools"},
        {"C:\\TEMP\\SETUP.EXE", "drive_c/TEMP"},  // the temporary folder itself is not below it
    };
    for (const auto& c : cases) {
        SetUp();
        M.Write(std::string(c.host) + "/SETUP.EXE", "program");
        M.Write(std::string(c.host) + "/mine.txt", "the user's");
        Application->SetExeName(c.exe);
        TCustomInstall* install = Load();
        Application->Run();
        ASSERT_TRUE(install->RunBatch());
        const std::string batch = install->CleanupBatch();
        EXPECT_EQ(BatchLines(batch), (std::vector<std::string>{std::string("ERASE ") + c.exe,
                                                              "ERASE " + ChangeFileExt(batch, ".PIF"), "ERASE " + batch}));
        RunBatchFile(batch);
        EXPECT_FALSE(M.Exists(std::string(c.host) + "/SETUP.EXE"));
        EXPECT_EQ(M.Read(std::string(c.host) + "/mine.txt"), "the user's");
        EXPECT_FALSE(FileExists(batch));
    }
}

TEST_F(Driver, TheDestructorStartsTheBatchHidden) {
    TCustomInstall* install = Load();
    Application->Run();
    const std::string batch = install->CleanupBatch();
    RecreateApplication();
    // It runs on its own; wait until the machine reports its end.
    auto journal = [&](const std::string& what) {
        for (const auto& line : Machine().JournalLines())
            if (line.find(what) != std::string::npos) return true;
        return false;
    };
    for (int i = 0; i < 500 && !journal("end " + batch); ++i) usleep(20000);
    EXPECT_TRUE(journal("start " + batch + " [SW_HIDE]"));
    EXPECT_TRUE(journal("end " + batch));
    EXPECT_FALSE(M.Exists("drive_c/TEMP/KV1"));
}

TEST_F(Driver, RebootGoesThroughTheMachine) {
    TCustomInstall* install = Load();
    install->Reboot = true;
    Application->Run();
    EXPECT_EQ(Application->ExitCode, kExitRebootStarted);
    bool requested = false;
    for (const auto& line : Machine().JournalLines())
        requested |= line.find("ExitWindowsEx: reboot requested") != std::string::npos;
    EXPECT_TRUE(requested);
}

TEST_F(Driver, RebootThatCannotStartIsReported) {
    struct Case { const char* preset; bool handler; };
    for (const Case& c : {Case{"Win32s", false}, Case{"NT351", false}, Case{"Win32s", true}}) {
        SetUp();
        kv::test::TempMachine other(c.preset);
        TCustomInstall* install = Load(kTree, {"-sC:\\SRC"});
        install->Reboot = true;
        int failed = 0;
        if (c.handler) install->OnFailedReboot = [&](TObject*) { ++failed; };
        Application->Run();
        EXPECT_EQ(Application->ExitCode, kExitRebootRequired) << c.preset;
        EXPECT_EQ(Backend->Transcript().find("Could not reboot windows. Please manually reboot windows.") !=
                      std::string::npos,
                  !c.handler)
            << Backend->Transcript();
        EXPECT_EQ(failed, c.handler ? 1 : 0);
        EndApplication();
    }
}

TEST_F(Driver, FilesToRunAfterInstallAreStarted) {
    M.Write("drive_c/Apps/tool.exe", "MZ");
    Load("  object Install1: TInstall\n  end\n"
         "  object Tool: TTestInstallFile\n    Container = Install1\n    RunAfterInstall = True\n"
         "    DestDir = 'C:\\Apps'\n    DestName = 'tool.exe'\n  end\n");
    Application->Run();
    bool started = false;
    for (const auto& line : Machine().JournalLines())
        started |= line.find("start C:\\Apps\\tool.exe [SW_SHOW]") != std::string::npos;
    EXPECT_TRUE(started);
}

namespace {
// One 72-byte record of the net file list; the name and version fields are filled with
// 0xEE after their terminating zero, as bytes there carry no meaning.
std::string NetRecord(int32_t size, double date, const std::string& name, const std::string& version) {
    std::string r(72, '\xEE');
    for (int i = 0; i < 4; ++i) r[static_cast<size_t>(i)] = static_cast<char>((static_cast<uint32_t>(size) >> (8 * i)) & 0xFF);
    uint64_t bits;
    std::memcpy(&bits, &date, 8);
    for (int i = 0; i < 8; ++i) r[4 + static_cast<size_t>(i)] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    r.replace(12, name.size(), name);
    if (name.size() < 40) r[12 + name.size()] = '\0';
    r.replace(52, version.size(), version);
    if (version.size() < 20) r[52 + version.size()] = '\0';
    return r;
}
std::string NetList(int32_t count, const std::string& records) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((static_cast<uint32_t>(count) >> (8 * i)) & 0xFF);
    return s + records;
}
}  // namespace

TEST_F(Driver, NetFileListGivesTheFilesTheirInfo) {
    kvtest::TTempDir served, scratch;
    kvtest::TTestServer http("http", served.Path(), scratch.Path());
    const std::string longName(40, 'L');
    const std::string fullVersion = "12345.12345.12345.12";
    auto load = [&](const std::string& type) {
        SetUp();
        http.ClearLog();
        return Load("  object Install1: TInstall\n    DistributeType = " + type + "\n    NetLocation = Net1\n  end\n" +
                    "  object Net1: TNetInstallLocation\n    LoginInformation.Hostname = '" + http.Host() + "'\n  end\n" +
                    "  object Tool: TTestInstallFile\n    Container = Install1\n  end\n" + "  object " + longName +
                    ": TTestInstallFile\n    Container = Install1\n  end\n");
    };
    auto file = [&](const std::string& name) { return static_cast<TCustomInstallFile*>(Form->FindComponent(name)); };
    auto tempFilesLeft = [&] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(M.Host("drive_c/TEMP")))
            n += e.path().filename().string().rfind("bat", 0) == 0;
        return n;
    };

    kvtest::WriteAll(served.Path() / "filelist.lst",
                     NetList(3, NetRecord(1234, 36000.5, "TOOL", "1.2.3.4") + NetRecord(7, 1, "Nobody", "9") +
                                    NetRecord(99, 2.25, longName, fullVersion)));
    TCustomInstall* install = load("dtWeb");
    install->ReadArchiveInfo();
    EXPECT_EQ(file("Tool")->FileSize, 1234);
    EXPECT_EQ(file("Tool")->FileDate, 36000.5);
    EXPECT_EQ(file("Tool")->FileVersion, "1.2.3.4");
    EXPECT_EQ(file(longName)->FileSize, 99);  // a full name and a full version, no zero byte
    EXPECT_EQ(file(longName)->FileVersion, fullVersion);
    EXPECT_EQ(http.Count("REQUEST GET /filelist.lst HTTP/1.1"), 1) << http.Log();
    EXPECT_EQ(tempFilesLeft(), 0);

    kvtest::WriteAll(served.Path() / "filelist.lst", NetList(0, NetRecord(1, 1, "Tool", "1")));
    load("dtTraditionalNet")->ReadArchiveInfo();
    EXPECT_EQ(file("Tool")->FileSize, 0);  // a count of 0 changes nothing

    kvtest::WriteAll(served.Path() / "filelist.lst", NetList(3, NetRecord(1, 1, "Tool", "1") + NetRecord(2, 2, "X", "2")));
    install = load("dtWeb");
    try {
        install->ReadArchiveInfo();
        ADD_FAILURE() << "a short list is read";
    } catch (const IEInstall& e) {
        EXPECT_EQ(e.Message().rfind("Cannot read the remote list of files: C:\\TEMP\\bat", 0), 0u) << e.Message();
    }
    EXPECT_EQ(tempFilesLeft(), 0);
    EXPECT_EQ(Form->Cursor(), crDefault);

    load("dtTraditional")->ReadArchiveInfo();
    EXPECT_EQ(http.Count("REQUEST GET /filelist.lst HTTP/1.1"), 0) << http.Log();
}
