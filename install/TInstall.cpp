#include "install/TInstall.h"

#include <cstring>
#include <memory>

#include "paths/TPathSpecifier.h"
#include "platform/Boot.h"
#include "platform/FileStream.h"
#include "platform/Processes.h"
#include "platform/System.h"
#include "routines/routines_API.h"
#include "routines/routines_Strings.h"

namespace kv {

const TEnumInfo DistributeTypeInfo{"TDistributeType", {"dtTraditional", "dtWeb", "dtTraditionalNet"}};

std::string InstallRecordKey;
TDateTime RunStartTime = 0;

TCustomInstall* CurrentInstall() { return dynamic_cast<TCustomInstall*>(CurrentInstallDriver()); }

namespace {

const char* const kStartHookName = "InstallStartHook";
// The bitmap resource of the wizard pages' theme picture when a definition has none.
const char* const kDefaultThemeBitmap = "INSTALLTHEME1";

// ---- the machine's services ---------------------------------------------------------------

std::string TempFolder() {
    char dir[261];
    DWORD n = GetTempPathA(sizeof dir, dir);
    return n == 0 || n >= sizeof dir ? std::string() : std::string(dir, n);
}

// The long form of a path, as the file system knows it (the path itself when it does not exist).
std::string LongPath(const std::string& path) {
    char buf[MAX_PATH * 4];
    DWORD n = GetLongPathNameA(path.c_str(), buf, sizeof buf);
    return n == 0 || n >= sizeof buf ? path : std::string(buf, n);
}

bool EnableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    bool ok = LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    if (ok) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ok = AdjustTokenPrivileges(token, false, &privileges, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return ok;
}

std::vector<std::string> ReadLines(const std::string& path) {
    TFileStream in(path, fmOpenRead | fmShareDenyWrite);
    TStringList lines;
    lines.LoadFromStream(in);
    std::vector<std::string> out;
    for (int i = 0; i < lines.Count(); ++i) out.push_back(lines[i]);
    return out;
}

void WriteLines(const std::string& path, const std::vector<std::string>& lines) {
    TFileStream out(path, fmCreate);
    for (const std::string& line : lines) out.WriteString(line + "\r\n");
}

// Strictly inside Folder (not Folder itself), compared as Windows compares names.
bool LiesBelow(const std::string& path, const std::string& folder) {
    std::string base;
    AddBackslash(folder, base);
    base = AnsiUpperCase(base);
    std::string p = AnsiUpperCase(path);
    return !folder.empty() && p.size() > base.size() && p.compare(0, base.size(), base) == 0;
}

}  // namespace

// ---- TInstallInformation, TBuildInfo -----------------------------------------------------------

KV_REGISTER_CLASS(TInstallInformation, TPersistent) {
    b.String("CompanyName", &TInstallInformation::CompanyName, &TInstallInformation::CompanyName, "My Company");
    b.String("ProductName", &TInstallInformation::ProductName, &TInstallInformation::ProductName, "My product");
    b.String("Version", &TInstallInformation::Version, &TInstallInformation::Version, "1.0");
}

void TInstallInformation::Assign(const TPersistent* source) {
    if (auto* s = dynamic_cast<const TInstallInformation*>(source)) {
        CompanyName = s->CompanyName;
        ProductName = s->ProductName;
        Version = s->Version;
        return;
    }
    inherited::Assign(source);
}

KV_REGISTER_CLASS(TBuildInfo, TPersistent) {
    b.String("AppName", &TBuildInfo::AppName, &TBuildInfo::AppName);
    b.String("AppURL", &TBuildInfo::AppURL, &TBuildInfo::AppURL);
    b.String("BuildDirectory", &TBuildInfo::BuildDirectory, &TBuildInfo::BuildDirectory, "c:\\build");
    b.String("CredentialsFile", &TBuildInfo::CredentialsFile, &TBuildInfo::CredentialsFile);
    b.String("OCXName", &TBuildInfo::OCXName, &TBuildInfo::OCXName, "kwsetup");
    b.String("PrivateKeyFile", &TBuildInfo::PrivateKeyFile, &TBuildInfo::PrivateKeyFile);
    b.Boolean("SignCode", &TBuildInfo::SignCode, &TBuildInfo::SignCode, false);
    b.String("URLPath", &TBuildInfo::URLPath, &TBuildInfo::URLPath);
}

void TBuildInfo::Assign(const TPersistent* source) {
    if (auto* s = dynamic_cast<const TBuildInfo*>(source)) {
        AppName = s->AppName;
        AppURL = s->AppURL;
        BuildDirectory = s->BuildDirectory;
        CredentialsFile = s->CredentialsFile;
        OCXName = s->OCXName;
        PrivateKeyFile = s->PrivateKeyFile;
        SignCode = s->SignCode;
        URLPath = s->URLPath;
        return;
    }
    inherited::Assign(source);
}

// ---- construction --------------------------------------------------------------------------------

KV_REGISTER_CLASS(TCustomInstall, TFileContainer) {}

TCustomInstall::TCustomInstall(TComponent* owner) : TFileContainer(owner) {
    if (CurrentInstallDriver())
        throw IEInstall("The TInstall component does not currently support the use of 2 TInstall components in the same "
                        "project");
    if (!owner || !(owner->Is<TCustomForm>() || owner->Is<TDataModule>()))
        throw IEInstall("The owner of the TInstall component must be a form (the class TCustomForm or TForm) or a "
                        "data module");
    SetCurrentInstallDriver(this);
    SetDestDir("\\MyApplication");
    StoreDestDirType(FindStandardSpecifier("TpsProgramFiles"));
    GroupName = "Main";
    AllowChoice = false;
    StoreArchive(FindStandardSpecifier("TpsMainArchiveFile"), "");
    LoadBitmapResource(*FDialogThemeBitmap.Bitmap(), kDefaultThemeBitmap);
    FDialogThemeBitmap.StoreEmpty = true;
    if (!InState(csDesigning)) {
        Application->OnException = TExceptionEvent(
            [this](TObject* sender, const Exception& e) { HandleException(sender, e); }, "InstallHandleException");
        FHandlesExceptions = true;
    }
    // In the designer the owner also gets a translator; that needs the translator component.
}

TCustomInstall::~TCustomInstall() {
    if (FMainForm && !InState(csDesigning) && !FMainForm->InState(csDestroying)) {
        // The start hook must not outlive the driver, even without a saved handler.
        if (FMainForm->OnActivate.Name() == kStartHookName) FMainForm->OnActivate = FSavedActivate;
    }
    if (FHandlesExceptions && Application->OnException.Name() == "InstallHandleException")
        Application->OnException.Clear();
    if (CurrentInstallDriver() == this) SetCurrentInstallDriver(nullptr);
    if (DefaultNetLocation == NetLocation()) DefaultNetLocation = nullptr;
    if (FRunBatch) WinExec(FCleanupBatch.c_str(), SW_HIDE);
}

bool TCustomInstall::DialogThemeBitmapStored() const {
    static const std::unique_ptr<TPicture> builtIn = [] {
        auto p = std::make_unique<TPicture>();
        LoadBitmapResource(*p->Bitmap(), kDefaultThemeBitmap);
        return p;
    }();
    return !FDialogThemeBitmap.Equals(*builtIn);
}

// ---- setters ----------------------------------------------------------------------------------

void TCustomInstall::SetAutoMaximizeWindow(bool value) {
    FAutoMaximizeWindow = value;
    if (value && !InState(csLoading)) FHideMainForm = false;
}

void TCustomInstall::SetHideMainForm(bool value) {
    FHideMainForm = value;
    if (value && !InState(csLoading)) FAutoMaximizeWindow = false;
}

void TCustomInstall::SetUseLoadingProgram(bool value) {
    FUseLoadingProgram = value;
    if (value && !InState(csLoading)) {
        SetArchiveFileType(FindStandardSpecifier("TpsMainArchiveFile"));
        SetArchiveFile("");
    }
}

void TCustomInstall::SetDistributeType(TDistributeType value) {
    if (!InState(csLoading)) {
        if (!InState(csDesigning)) throw IEInstall("DistributeType can only be set at design-time");
        if (value != dtTraditional && !NetLocation())
            throw IEInstallNetLocNil(
                "Must assign a net location via the NetLocation property before you can set the distribute type");
    }
    FDistributeType = value;
}

void TCustomInstall::SetNetLocation(TCustomNetInstallLocation* value) {
    inherited::SetNetLocation(value);
    DefaultNetLocation = value;
    if (!value) FDistributeType = dtTraditional;
}

void TCustomInstall::SetPresetupFiles(const TStrings* value) {
    FPresetupFiles.Assign(value);
    for (int i = FPresetupFiles.Count() - 1; i >= 0; --i)
        if (Trim(FPresetupFiles[i]).empty()) FPresetupFiles.Delete(i);
}

void TCustomInstall::AddPresetupFile(const std::string& fileName, bool skipDuplicate) {
    if (skipDuplicate) {
        for (int i = 0; i < FPresetupFiles.Count(); ++i)
            if (SameText(ExtractFileName(FPresetupFiles[i]), ExtractFileName(fileName))) return;
    }
    FPresetupFiles.Add(fileName);
}

void TCustomInstall::Notification(TComponent* component, TOperation operation) {
    inherited::Notification(component, operation);
    if (operation == opRemove && component == FMainForm) FMainForm = nullptr;
}

// ---- the command line -----------------------------------------------------------------------------

void TCustomInstall::ParseCommandLine() {
    static const char kLetters[] = "bfdersc";  // in switch order
    FSwitches = 0;
    for (auto& v : FSwitchValues) v.clear();
    for (int i = 1; i <= ParamCount(); ++i) {
        const std::string arg = ParamStr(i);
        const char* letter = arg.size() >= 2 && arg[0] == '-' && arg[1] != '\0'
                                 ? std::strchr(kLetters, LowerCase(arg.substr(1, 1))[0])
                                 : nullptr;
        if (!letter)
            throw IException(
                "Invalid parameter <%s>. Valid command line parameters are: -b (Build), -d (Debug), -f (Transfer to "
                "floppies), -e (Called by self-extractor), -r (After reboot)",
                {arg});
        const int index = static_cast<int>(letter - kLetters);
        FSwitches |= static_cast<uint8_t>(1u << index);
        FSwitchValues[static_cast<size_t>(index)] = arg.substr(2);
    }
}

// ---- A. start ------------------------------------------------------------------------------------

void TCustomInstall::Loaded() {
    inherited::Loaded();
    const bool designing = InState(csDesigning);
    if (!designing) {
        ParseCommandLine();
        if (HasSwitch(swDebug) && (!HasSwitch(swSource) || Trim(SwitchValue(swSource)).empty()))
            throw IEInstall(
                "You forgot to pass in the build directory. In Run | Parameters, follow this format: -d \"-sC:\\My "
                "Build\"");
    }
    if (HasSwitch(swSource)) FSourceDir = SwitchValue(swSource);
    else RemoveBackslash(ExtractFilePath(Application->ExeName()), FSourceDir);
    std::string key;
    FindInstallRecord(false, key);
    InstallRecordKey = key;
    std::string local;
    if (FindLocalFile(local)) LocalArchive = local;
    FMainForm = Application->MainForm();
    if (!FMainForm) FMainForm = dynamic_cast<TCustomForm*>(Owner());
    if (FMainForm) FMainForm->FreeNotification(this);
    else if (RunAutomatic)
        throw IEInstall(
            "Application.MainForm is undefined and the TInstall is not on a form. Therefore, therefore the TInstall "
            "can't run the installation automatically");
    SetCurrentInstallType(itAlways);
    for (TInstallType t : {itDefault, itCompact, itFull, itCustom}) {
        if (InSet(InstallTypes(), t)) {
            SetCurrentInstallType(t);
            break;
        }
    }
    if (designing) return;
    if (HasSwitch(swBuild)) return BuildFromBuildInf();
    if (HasSwitch(swFloppies)) return TransferToFloppies();
    if (HasSwitch(swAfterReboot)) return FinishAfterReboot();
    if (!FMainForm) return;
    if (auto* form = dynamic_cast<TForm*>(FMainForm)) {
        FSavedActivate = form->OnActivate;
        form->OnActivate = TNotifyEvent([this](TObject* sender) { StartHook(sender); }, kStartHookName);
    }
    if (FHideMainForm) {
        FMainForm->SetLeft(-2 * FMainForm->Width());
        FMainForm->SetTop(-2 * FMainForm->Height());
    }
}

// ---- B. the start hook ------------------------------------------------------------------------------

void TCustomInstall::StartHook(TObject*) {
    if (FStarted) return;
    // A copy: the handler may replace the form's handlers.
    TNotifyEvent saved = FSavedActivate;
    saved(Owner());
    FStarted = true;
    if (FMainForm && FAutoMaximizeWindow) {
        FMainForm->SetWindowState(wsMaximized);
        FMainForm->Repaint();
    }
    if (!RunAutomatic) return;
    if (FMainForm && !Owner()->InState(csDestroying) && FSavedActivate.Assigned() && FMainForm->Is<TForm>())
        FMainForm->OnActivate = FSavedActivate;
    Process();
}

// ---- C. the run -----------------------------------------------------------------------------------

void TCustomInstall::Process() {
    RunStartTime = Now();
    SetDeferRegistrations(true);
    DeferredRegistrations().Clear();
    FUnfinishedCount = 0;
    FRunBatch = false;
    FRunning = true;
    if (FUseLoadingProgram && !HasSwitch(swSource))
        throw IEInstall(
            "The path of the loading program was not passed correctly. If you are running your install project in the "
            "IDE, then you need to add two command line parameters. In Run | Parameters | \"Run Parameters\", type in: "
            "-d \"-sBUILDPATH\" where BUILDPATH is the path into which you built the distributables. Example: -d "
            "\"-sC:\\My Build\".");
    std::string key;
    FindInstallRecord(true, key);
    InstallRecordKey = key;
    ClearUnfinished();
    // With -e the main archive lies inside the self-extracting executable; its trailer
    // gives the offset once the archive engine reads it.
    ReadArchiveInfo();
    OnAfterInitialized(this);
    for (int32_t code : {ncRunStart986, ncRunStart976, ncRunStart975, ncRunStart982, ncRunStart981, ncRunStart977,
                         ncShowBeforeInstall})
        NotifyHelpers(this, code, nullptr);
    inherited::Process();
    RetryDeferredRegistrations();
    if (FUnfinishedCount > 0 || Reboot) RegisterRunOnce();
    const bool rebootNeeded = Reboot;
    if (rebootNeeded) NotifyHelpers(this, ncReboot, nullptr);
    if (Reboot && OnBeforeReboot) OnBeforeReboot(this, Reboot);
    if (rebootNeeded) Application->ExitCode = kExitRebootRequired;
    if (Reboot) {
        // The language of the run goes into the install record with the translator.
        if (RebootWindows()) Application->ExitCode = kExitRebootStarted;
        Application->Terminate();
    }
    if (rebootNeeded) {
        Application->Terminate();
        return;
    }
    EndGood();
}

void TCustomInstall::RetryDeferredRegistrations() {
    // Files whose self-registration failed during the run are registered again by the
    // install files themselves; the list is empty until they exist.
}

// ---- D. the end of a run ------------------------------------------------------------------------------

void TCustomInstall::EndGood() {
    Application->ExitCode = kExitInstalled;
    NotifyGoodInstall();
    PrepareCleanup();
    RemoveInstallRecord();
    if (RunAutomatic) ShutDown();
    RunFilesAfterInstall();
    FRunning = false;
}

void TCustomInstall::ShutDown() {
    bool quitOut = true;
    OnBeforeShutdown(this, quitOut);
    if (quitOut) Application->Terminate();
}

void TCustomInstall::NotifyGoodInstall() {
    OnBeforeNotifyGoodInstall(this);
    NotifyHelpers(this, ncBeforeGoodInstall, nullptr);
    NotifyHelpers(this, ncShowGoodInstall, nullptr);
    OnAfterNotifyGoodInstall(this);
}

void TCustomInstall::NotifyBadInstall() {
    OnBeforeNotifyBadInstall(this);
    NotifyHelpers(this, ncBeforeBadInstall, nullptr);
    NotifyHelpers(this, ncShowBadInstall, nullptr);
    OnAfterNotifyBadInstall(this);
}

void TCustomInstall::RunFilesAfterInstall() {
    auto& files = InstallFileList();
    for (int i = 0; i < files.Count(); ++i) {
        TCustomInstallFile* file = files[i];
        if (!file->RunAfterInstall) continue;
        bool defaultAction = true;
        OnBeforeRunFile(this, file, defaultAction);
        if (defaultAction) WinExec(file->GetFullDestPath().c_str(), SW_SHOW);
    }
}

void TCustomInstall::PrepareCleanup() {
    if (!FUseLoadingProgram || HasSwitch(swDebug) || !HasSwitch(swCleanup) || InState(csDesigning)) return;
    bool proceed = true;
    OnBeforeCleanup(this, proceed);
    if (!proceed) return;
    const std::string exe = Application->ExeName();
    std::string folder;
    RemoveBackslash(ExtractFilePath(exe), folder);
    for (int i = 0; i < FPresetupFiles.Count(); ++i) DeleteFileA((folder + "\\" + ExtractFileName(FPresetupFiles[i])).c_str());
    std::string temp;
    GetTempFile(false, temp);
    const std::string batch = ChangeFileExt(temp, ".bat");
    std::vector<std::string> lines{"ERASE " + exe};
    // Only the loading program's own copy folder is removed whole; a folder of the
    // user's keeps everything but the program.
    if (LiesBelow(LongPath(folder), LongPath(TempFolder()))) lines.push_back("DELTREE /Y " + folder);
    lines.push_back("ERASE " + ChangeFileExt(batch, ".PIF"));
    lines.push_back("ERASE " + batch);
    WriteLines(batch, lines);
    FCleanupBatch = batch;
    FRunBatch = true;
}

// ---- E. exceptions -----------------------------------------------------------------------------------

void TCustomInstall::HandleException(TObject*, const Exception& e) {
    if (!FRunning) {
        Application->ShowException(e);
        return;
    }
    FRunning = false;
    const bool userAbort = dynamic_cast<const EAIUserAbort*>(&e) != nullptr;
    Application->ExitCode = userAbort ? kExitUserCancel : kExitFailed;
    try {
        NotifyBadInstall();
        if (userAbort) {
            PrepareCleanup();
            RemoveInstallRecord();
            if (RunAutomatic) ShutDown();
        } else {
            Application->ShowException(e);
            ShutDown();
        }
    } catch (const std::exception&) {
        if (RunAutomatic) Application->Terminate();
    }
}

bool TCustomInstall::QueryUserAbort() {
    bool quitOut = true;
    OnUserAbort(this, quitOut);
    return quitOut;
}

// ---- F. archive information ---------------------------------------------------------------------------

void TCustomInstall::ReadArchiveInfo() {
    if (InfoRead) return;
    OnBeforeReadArchiveInfo(this);
    NotifyHelpers(this, ncBeforeReadArchiveInfo, nullptr);
    const TCursor saved = FMainForm ? FMainForm->Cursor() : crDefault;
    if (FMainForm) FMainForm->SetCursor(crHourGlass);
    auto restore = [&] {
        if (FMainForm) FMainForm->SetCursor(saved);
        ClearStatusMessage();
    };
    try {
        ShowStatusMessage("Reading file information...");
        inherited::ReadArchiveInfo();
        if (FDistributeType != dtTraditional) ReadNetFileList();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    InfoRead = true;
    OnAfterReadArchiveInfo(this);
    NotifyHelpers(this, ncAfterReadArchiveInfo, nullptr);
}

void TCustomInstall::ReadNetFileList() {
    // A stored distribution type needs no location; reading it without one would fail anyway.
    if (!NetLocation())
        throw IEInstallNetLocNil(
            "Must assign a net location via the NetLocation property before you can set the distribute type");
    std::string temp;
    GetTempFile(false, temp);
    struct TRemoveTemp {
        const std::string& Path;
        ~TRemoveTemp() { DeleteFileA(Path.c_str()); }
    } removeTemp{temp};
    NetLocation()->Download("filelist.lst", temp);
    TFileStream list(temp, fmOpenRead | fmShareDenyWrite);
    auto readFully = [&](void* buffer, int64_t count) {
        if (list.Read(buffer, count) != count) throw IEInstall("Cannot read the remote list of files: %s", {temp});
    };
    auto le32 = [](const unsigned char* p) {
        return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
    };
    unsigned char record[72];
    readFully(record, 4);
    const int32_t count = le32(record);
    auto& files = InstallFileList();
    for (int32_t n = 0; n < count; ++n) {
        readFully(record, sizeof record);
        auto text = [&](size_t at, size_t max) {
            const char* p = reinterpret_cast<const char*>(record + at);
            return std::string(p, strnlen(p, max));
        };
        const std::string name = text(12, 40);
        for (int i = 0; i < files.Count(); ++i) {
            TCustomInstallFile* file = files[i];
            if (!SameText(file->Name(), name)) continue;
            file->FileSize = le32(record);
            uint64_t bits = 0;
            for (int b = 7; b >= 0; --b) bits = bits << 8 | record[4 + b];
            std::memcpy(&file->FileDate, &bits, sizeof bits);
            file->FileVersion = text(52, 20);
            break;
        }
    }
}

// ---- G. reboot --------------------------------------------------------------------------------------

bool TCustomInstall::RebootWindows() {
    bool started = false;
    switch (GetWindowsClass()) {
    case 1: started = ExitWindowsEx(EWX_REBOOT, 0); break;
    case 2: started = EnableShutdownPrivilege() && ExitWindowsEx(EWX_REBOOT, 0); break;
    default: break;
    }
    if (started) return true;
    if (OnFailedReboot) OnFailedReboot(this);
    else Application->MessageBox(TranslateText("Could not reboot windows. Please manually reboot windows."),
                                 Application->Title, MB_OK);
    return false;
}

// ---- installation records and the resume after reboot ------------------------------------------------
// The records live in the machine's registry; until they are kept there, a run has
// none and nothing is left for a run after reboot.

void TCustomInstall::FindInstallRecord(bool, std::string& key) { key.clear(); }

void TCustomInstall::RemoveInstallRecord() {}

void TCustomInstall::ClearUnfinished() {}

void TCustomInstall::AddUnfinished(const std::string&, int32_t) { ++FUnfinishedCount; }

void TCustomInstall::ReadUnfinishedList(TStrings& list) { list.Clear(); }

void TCustomInstall::RegisterRunOnce() {}

void TCustomInstall::FinishAfterReboot() {
    FRunning = true;
    std::string key;
    FindInstallRecord(false, key);
    InstallRecordKey = key;
    TStringList unfinished;
    ReadUnfinishedList(unfinished);
    ClearUnfinished();
    EndGood();
}

// ---- build and floppies ------------------------------------------------------------------------------

void TCustomInstall::BuildFromBuildInf() {
    try {
        const std::string inf = ExtractFilePath(Application->ExeName()) + "BUILD.INF";
        if (!FileExists(inf))
            throw IEInstall("Need to have a BUILD.INF file in this directory with the first line specifying the build "
                            "directory");
        std::vector<std::string> lines = ReadLines(inf);
        if (lines.empty())
            throw IEInstall("Must be 1 line in BUILD.INF. This line should specify the build directory");
        Build(Application->ExeName(), lines[0], true);
    } catch (const Exception& e) {
        Application->ExitCode = kExitFailed;
        Application->MessageBox(e.Message(), Application->Title, MB_OK);
    }
    Application->Terminate();
}

void TCustomInstall::Build(const std::string&, const std::string&, bool) {}

void TCustomInstall::FillSetupArchive(const std::string&, const std::string&) {}

void TCustomInstall::TransferToFloppies() {
    const TCursor saved = Screen->Cursor();
    Screen->SetCursor(crHourGlass);
    Application->ProcessMessages();
    try {
        if (!HasSwitch(swSelfExtract))
            throw IEInstall("Sorry... You can only transfer this installation to floppies through the self-extracting "
                            "file. Usage example: setup.exe *TODISK");
    } catch (const Exception& e) {
        Application->ExitCode = kExitFailed;
        Application->MessageBox(e.Message(), Application->Title, MB_OK);
    }
    Screen->SetCursor(saved);
    Application->ProcessMessages();
    Application->Terminate();
}

// ---- TInstall -------------------------------------------------------------------------------------

KV_REGISTER_CLASS(TInstall, TCustomInstall) {
    b.Boolean("AllowChangeDir", &TInstall::AllowChangeDir, &TInstall::AllowChangeDir, true);
    b.Boolean("AutoMaximizeWindow", &TInstall::AutoMaximizeWindow, &TInstall::SetAutoMaximizeWindow, true);
    b.Object<TBuildInfo>("BuildInfo", &TInstall::BuildInfo);
    b.Object<TStrings>("Description", &TInstall::Description);
    b.String("DestDir", &TInstall::DestDir, &TInstall::SetDestDir, "\\MyApplication");
    b.Reference<TCustomPathSpecifier>("DestDirType", &TInstall::DestDirType, &TInstall::SetDestDirType);
    b.Object<TPicture>("DialogThemeBitmap", &TInstall::DialogThemeBitmap)
        .StoredIf(&TInstall::DialogThemeBitmapStored);
    b.Enum<TDistributeType>("DistributeType", DistributeTypeInfo, &TInstall::DistributeType,
                            &TInstall::SetDistributeType, dtTraditional);
    b.String("GroupName", [](const TInstall& i) { return i.GroupName; },
             [](TInstall& i, const std::string& v) { i.GroupName = v; }, "Main");
    b.Boolean("HideMainForm", &TInstall::HideMainForm, &TInstall::SetHideMainForm, false);
    b.Object<TInstallInformation>("Information", &TInstall::Information);
    b.Set("InstallTypes", InstallTypeInfo, &TInstall::InstallTypes,
          [](TInstall& i, uint32_t v) { i.SetInstallTypes(static_cast<TInstallTypeSet>(v)); },
          InstallTypeBit(itAlways));
    b.Reference<TCustomNetInstallLocation>("NetLocation", &TInstall::NetLocation, &TInstall::SetNetLocation);
    b.Object<TStrings>("PresetupFiles", &TInstall::PresetupFiles);
    b.Boolean("Reboot", &TInstall::Reboot, &TInstall::Reboot, false);
    b.Boolean("RunAutomatic", &TInstall::RunAutomatic, &TInstall::RunAutomatic, true);
    b.Boolean("UseLoadingProgram", &TInstall::UseLoadingProgram, &TInstall::SetUseLoadingProgram, std::nullopt);
    b.Event("OnAfterInitialized", &TInstall::OnAfterInitialized);
    b.Event("OnAfterInstallObjects", &TInstall::OnAfterInstallObjects);
    b.Event("OnAfterNotifyBadInstall", &TInstall::OnAfterNotifyBadInstall);
    b.Event("OnAfterNotifyGoodInstall", &TInstall::OnAfterNotifyGoodInstall);
    b.Event("OnAfterProcess", &TInstall::OnAfterProcess);
    b.Event("OnAfterReadArchiveInfo", &TInstall::OnAfterReadArchiveInfo);
    b.Event("OnBeforeCleanup", &TInstall::OnBeforeCleanup);
    b.Event("OnBeforeInstallObjects", &TInstall::OnBeforeInstallObjects);
    b.Event("OnBeforeNotifyBadInstall", &TInstall::OnBeforeNotifyBadInstall);
    b.Event("OnBeforeNotifyGoodInstall", &TInstall::OnBeforeNotifyGoodInstall);
    b.Event("OnBeforeProcess", &TInstall::OnBeforeProcess);
    b.Event("OnBeforeReadArchiveInfo", &TInstall::OnBeforeReadArchiveInfo);
    b.Event("OnBeforeReboot", &TInstall::OnBeforeReboot);
    b.Event("OnBeforeRunFile", &TInstall::OnBeforeRunFile);
    b.Event("OnBeforeShutdown", &TInstall::OnBeforeShutdown);
    b.Event("OnFailedReboot", &TInstall::OnFailedReboot);
    b.Event("OnUserAbort", &TInstall::OnUserAbort);
}

}  // namespace kv
