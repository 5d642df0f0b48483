// The install driver: the one TInstall of a setup program. It is the root of the
// install object tree, owns a run from the first activation of the main form to the
// end of the application, hosts the modes the command line chooses and handles every
// exception that reaches the message loop.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "forms/Forms.h"
#include "forms/Graphics.h"
#include "objects/TCustomInstallFile.h"
#include "objects/TFileContainer.h"

namespace kv {

class TCustomInstall;

enum TDistributeType : uint8_t { dtTraditional, dtWeb, dtTraditionalNet };
extern const TEnumInfo DistributeTypeInfo;

// Command-line switches; the index is the bit in the switch set and the position of
// the switch's value.
enum TInstallSwitch : uint8_t {
    swBuild,        // -b build the distributable set
    swFloppies,     // -f transfer to floppies
    swDebug,        // -d run directly against a build folder
    swSelfExtract,  // -e the self-extracting executable's name
    swAfterReboot,  // -r complete the unfinished work
    swSource,       // -s the folder of the archives
    swCleanup,      // -c remove the temporary copy at the end
};
constexpr int kSwitchCount = 7;

// Exit codes of the setup program.
constexpr int kExitInstalled = 0;
constexpr int kExitUserCancel = 1602;
constexpr int kExitFailed = 1603;
constexpr int kExitRebootRequired = 3010;
constexpr int kExitRebootStarted = 1641;

using TRebootWindowsEvent = TEvent<TCustomInstall*, bool&>;
using TCleanupEvent = TEvent<TCustomInstall*, bool&>;
using TUserAbortEvent = TEvent<TCustomInstall*, bool&>;
using TBeforeRunFileEvent = TEvent<TCustomInstall*, TCustomInstallFile*, bool&>;

// Company, product and version of the product being installed.
class TInstallInformation : public TPersistent {
    KV_CLASS(TInstallInformation, TPersistent)
public:
    std::string CompanyName = "My Company";
    std::string ProductName = "My product";
    std::string Version = "1.0";
    void Assign(const TPersistent* source) override;
};

// Settings kept in the definition for tools that work on it.
class TBuildInfo : public TPersistent {
    KV_CLASS(TBuildInfo, TPersistent)
public:
    std::string AppName, AppURL, BuildDirectory = "c:\\build", CredentialsFile, OCXName = "kwsetup",
                                 PrivateKeyFile, URLPath;
    bool SignCode = false;
    void Assign(const TPersistent* source) override;
};

class TCustomInstall : public TFileContainer, public IInstallDriver {
    KV_CLASS(TCustomInstall, TFileContainer)
public:
    explicit TCustomInstall(TComponent* owner);
    ~TCustomInstall() override;

    // ---- properties ----
    bool Reboot = false;
    bool RunAutomatic = true;
    bool AutoMaximizeWindow() const { return FAutoMaximizeWindow; }
    virtual void SetAutoMaximizeWindow(bool value);
    bool HideMainForm() const { return FHideMainForm; }
    virtual void SetHideMainForm(bool value);
    bool UseLoadingProgram() const { return FUseLoadingProgram; }
    virtual void SetUseLoadingProgram(bool value);
    TDistributeType DistributeType() const { return FDistributeType; }
    virtual void SetDistributeType(TDistributeType value);
    TBuildInfo* BuildInfo() { return &FBuildInfo; }
    virtual void SetBuildInfo(const TBuildInfo* value) { FBuildInfo.Assign(value); }
    // Shown on the wizard pages; the built-in INSTALLTHEME1 unless the definition has its own.
    TPicture* DialogThemeBitmap() { return &FDialogThemeBitmap; }
    virtual void SetDialogThemeBitmap(const TPicture* value) { FDialogThemeBitmap.Assign(value); }
    bool DialogThemeBitmapStored() const;
    TInstallInformation* Information() { return &FInformation; }
    void SetInformation(const TInstallInformation* value) { FInformation.Assign(value); }
    TStrings* PresetupFiles() { return &FPresetupFiles; }
    virtual void SetPresetupFiles(const TStrings* value);
    void SetNetLocation(TCustomNetInstallLocation* value) override;

    // ---- events ----
    TNotifyEvent OnAfterInitialized;
    TNotifyEvent OnBeforeReadArchiveInfo, OnAfterReadArchiveInfo;
    TNotifyEvent OnBeforeNotifyGoodInstall, OnAfterNotifyGoodInstall;
    TNotifyEvent OnBeforeNotifyBadInstall, OnAfterNotifyBadInstall;
    TRebootWindowsEvent OnBeforeReboot;  // Continue is Reboot itself
    TNotifyEvent OnFailedReboot;
    TCleanupEvent OnBeforeCleanup;
    TUserAbortEvent OnBeforeShutdown;
    TUserAbortEvent OnUserAbort;
    TBeforeRunFileEvent OnBeforeRunFile;

    // ---- run state ----
    bool HasSwitch(TInstallSwitch s) const { return (FSwitches >> s) & 1u; }
    const std::string& SwitchValue(TInstallSwitch s) const { return FSwitchValues[s]; }
    // The -s value, else the running program's folder; no trailing backslash added.
    const std::string& SourceDir() const { return FSourceDir; }
    TCustomForm* MainForm() const { return FMainForm; }
    bool Started() const { return FStarted; }
    bool Running() const { return FRunning; }
    int32_t UnfinishedCount() const { return FUnfinishedCount; }
    const std::string& CleanupBatch() const { return FCleanupBatch; }
    bool RunBatch() const { return FRunBatch; }

    // ---- operations ----
    virtual void RemoveInstallRecord();
    virtual void NotifyBadInstall();
    virtual void NotifyGoodInstall();
    virtual void FindInstallRecord(bool create, std::string& key);
    virtual void ParseCommandLine();
    virtual void RunFilesAfterInstall();
    virtual void RegisterRunOnce();
    virtual void AddPresetupFile(const std::string& fileName, bool skipDuplicate);
    virtual void HandleException(TObject* sender, const Exception& e);
    virtual void Build(const std::string& exeName, const std::string& buildDir, bool selfExtracting);
    virtual void PrepareCleanup();
    virtual void ReadUnfinishedList(TStrings& list);
    virtual void FillSetupArchive(const std::string& buildDir, const std::string& exeName);
    // Asked by every Cancel button: OnUserAbort may refuse.
    virtual bool QueryUserAbort();
    virtual void ClearUnfinished();
    virtual void AddUnfinished(const std::string& name, int32_t code);

    void Process() override;  // the whole run
    void FinishAfterReboot() override;
    void ReadArchiveInfo() override;
    void Loaded() override;
    void Notification(TComponent* component, TOperation operation) override;

    TFileContainer* DriverContainer() override { return this; }
    std::string DriverProductName() const override { return FInformation.ProductName; }

protected:
    // The good end of a run, shared with the resume after reboot.
    void EndGood();
    // QuitOut starts True; OnBeforeShutdown may keep the application running.
    void ShutDown();
    // Asks Windows for a reboot; reports a failure. True when it was started.
    bool RebootWindows();
    void BuildFromBuildInf();
    void TransferToFloppies();
    // Sizes, dates and versions of the files from the server's list "filelist.lst".
    void ReadNetFileList();

private:
    void StartHook(TObject* sender);
    void RetryDeferredRegistrations();

    bool FAutoMaximizeWindow = true;
    bool FHideMainForm = false;
    bool FUseLoadingProgram = true;
    TDistributeType FDistributeType = dtTraditional;
    TBuildInfo FBuildInfo;
    TPicture FDialogThemeBitmap;
    TInstallInformation FInformation;
    TStringList FPresetupFiles;

    uint8_t FSwitches = 0;
    std::array<std::string, kSwitchCount> FSwitchValues;
    std::string FSourceDir;
    TCustomForm* FMainForm = nullptr;
    TNotifyEvent FSavedActivate;
    bool FStarted = false;
    bool FRunning = false;
    bool FHandlesExceptions = false;
    int32_t FUnfinishedCount = 0;
    std::string FCleanupBatch;
    bool FRunBatch = false;
};

// Publishes the driver's properties.
class TInstall : public TCustomInstall {
    KV_CLASS(TInstall, TCustomInstall)
public:
    using TCustomInstall::TCustomInstall;
};

// The current install driver, or nullptr.
TCustomInstall* CurrentInstall();
// The install record of this run (a registry key path); empty when there is none.
extern std::string InstallRecordKey;
// When the current run started.
extern TDateTime RunStartTime;

}  // namespace kv
