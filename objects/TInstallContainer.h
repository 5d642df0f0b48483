// The install object tree: containers keep the objects that name them as helpers,
// ordered by registered type and Order; processing a container installs its helpers.
#pragma once

#include <cstdint>
#include <string>

#include "paths/TPathSpecifier.h"
#include "routines/constants_Kelvane.h"
#include "routines/exceptions_Kelvane.h"
#include "runtime/Classes.h"

namespace kv {

class TInstallContainer;
class TInstallObject;
class TFileContainer;
class TCustomInstallFile;

enum TInstallType : uint8_t { itFull, itDefault, itCompact, itAlways, itCustom };
extern const TEnumInfo InstallTypeInfo;
// One byte, bit n for value n (itFull = 1, ..., itCustom = 16).
using TInstallTypeSet = uint8_t;
constexpr TInstallTypeSet InstallTypeBit(TInstallType t) { return static_cast<TInstallTypeSet>(1u << t); }
constexpr bool InSet(TInstallTypeSet set, TInstallType t) { return (set & InstallTypeBit(t)) != 0; }

using TInstallContainerNotifyEvent = TEvent<TInstallContainer*>;
using TAfterInstallObjectsEvent = TEvent<TInstallContainer*, bool>;

// The parameter object of a status message (code -974).
class TMessageParameter : public TObject {
    KV_CLASS(TMessageParameter, TObject)
public:
    TMessageParameter() = default;
    explicit TMessageParameter(std::string text) : MessageText(std::move(text)) {}
    std::string MessageText;
};

// What the tree needs of the one install driver of the program; the driver (install/)
// implements it and registers itself as the current one.
class IInstallDriver {
public:
    virtual TFileContainer* DriverContainer() = 0;
    virtual std::string DriverProductName() const = 0;

protected:
    ~IInstallDriver() = default;
};
IInstallDriver* CurrentInstallDriver();
void SetCurrentInstallDriver(IInstallDriver* driver);

// The key below which an installed object records its uninstall information.
constexpr const char* kUninstallKeyPrefix = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

class TInstallContainer : public TComponent {
    KV_CLASS(TInstallContainer, TComponent)
public:
    explicit TInstallContainer(TComponent* owner);
    ~TInstallContainer() override;

    bool AutoProcess = false;  // the container installs this object with its helpers
    bool Include = true;
    bool Processed = false;    // installed in this run; never reset
    TInstallType CurrentInstallType = itAlways;
    bool DestDirTypeSet = false;
    bool DefaultDestDirType = false;
    TInstallContainerNotifyEvent OnAfterProcess;
    TInstallContainerNotifyEvent OnBeforeProcess;

    TInstallTypeSet InstallTypes() const { return FInstallTypes; }
    int32_t Order() const { return FOrder; }
    const std::string& DestDir() const { return FDestDir; }
    virtual void SetDestDir(const std::string& value);
    TCustomPathSpecifier* DestDirType() const { return FDestDirType; }
    virtual void SetDestDirType(TCustomPathSpecifier* value);

    virtual int FileContainerCount() const;
    virtual TFileContainer* FileContainers(int index) const;
    // Called on every other live container while Container is destroyed.
    virtual void ContainerDestroyed(TInstallContainer* container);
    virtual void ShowStatusMessage(const std::string& text);
    virtual void DoInformationEventControl(TObject* sender, int32_t code, TObject* po);
    virtual void ReceiveMessage(TObject* sender, int32_t code, TObject* po);
    // DestDirType's path for this object followed by DestDir, no trailing backslash.
    virtual std::string GetDestDir();
    virtual int32_t RegisteredType() const;
    virtual void AddHelper(TInstallObject* obj);
    virtual void Process();
    virtual void Install();
    virtual bool IsSelected() const;
    virtual void FinishAfterReboot() {}
    virtual void LanguageChanged() {}
    virtual void RemoveHelper(TInstallObject* obj);
    virtual void WriteUninstallInfo(const std::string& key);

    int HelperCount() const { return FHelpers.Count(); }
    TInstallObject* Helpers(int index) const;
    int CompCount(const TClass* componentType) const;
    TInstallObject* Comp(int index, const TClass* componentType) const;
    template <class T>
    int CompCount() const { return CompCount(T::StaticClass()); }
    template <class T>
    T* Comp(int index) const { return static_cast<T*>(Comp(index, T::StaticClass())); }
    void FreeHelpers(const TClass* componentType);
    void NotifyHelpers(TObject* sender, int32_t code, TObject* po);
    void ClearStatusMessage();
    void RenumberHelpers();

    void Loaded() override;
    void Notification(TComponent* component, TOperation operation) override;

protected:
    // Tells every other container that this one goes. Runs once, from the destructor
    // of TInstallObject (or of a class that others recognise by its class when it is
    // destroyed), while the object still has that class.
    void NotifyContainerDestroyed();
    bool Selected() const;  // the selection test by install type
    // Stores DestDirType without the setter's mark and checks.
    void StoreDestDirType(TCustomPathSpecifier* value) { SetReference(FDestDirType, value); }

    TInstallTypeSet FInstallTypes = InstallTypeBit(itAlways);
    int32_t FOrder = -1;

private:
    TRefList<TInstallObject> FHelpers;
    std::string FDestDir;
    TCustomPathSpecifier* FDestDirType = nullptr;
    bool FDestroyNotified = false;
};

class TInstallObject : public TInstallContainer {
    KV_CLASS(TInstallObject, TInstallContainer)
public:
    explicit TInstallObject(TComponent* owner);
    ~TInstallObject() override;

    bool ContainerSet = false;
    bool DefaultContainer = false;

    TInstallContainer* Container() const { return FContainer; }
    virtual void SetContainer(TInstallContainer* value);
    virtual void SetInstallTypes(TInstallTypeSet value);
    // The type of the run, on every helper first, then on this object.
    void SetCurrentInstallType(TInstallType type);

    void ContainerDestroyed(TInstallContainer* container) override;
    // The design-time defaults: in design mode, with a current driver, the object
    // starts as a helper of the driver installing into its folder.
    void AfterConstruction() override;
    void Loaded() override;

private:
    TInstallContainer* FContainer = nullptr;
};

// Process-wide lists of references; a null entry is refused.
class TInstallContainerList : public TRefList<TInstallContainer> {
public:
    int Add(TInstallContainer* item);
};
class TCustomInstallFileList : public TRefList<TCustomInstallFile> {
public:
    int Add(TCustomInstallFile* item);
};
// Every live install container, in creation order.
TInstallContainerList& InstallContainerList();
// Every live install file, in creation order.
TCustomInstallFileList& InstallFileList();
// ActiveX self-registration: outside a run a failure raises at once; during a run the
// file joins DeferredRegistrations and is tried again at the end of the run.
bool DeferRegistrations();
void SetDeferRegistrations(bool value);
TCustomInstallFileList& DeferredRegistrations();

// The key under HKEY_CURRENT_USER where the development environment keeps its library
// settings; its string value "Search Path" lists folders separated by ";".
constexpr const char* kLibrarySettingsKey = "\\Software\\Kelvane\\Kelvane Studio\\1.0\\Library";
// The folder on that search path that holds the component set's marker file
// "K32V35.TXT"; empty or IENoKelvanePath when there is none.
std::string FindComponentSetDir(bool raiseIfMissing);

}  // namespace kv
