#include "objects/TInstallContainer.h"

#include "objects/TFileContainer.h"
#include "paths/TPathSpecifier.h"
#include "platform/Files.h"
#include "routines/routines_Registry.h"
#include "routines/routines_Strings.h"

namespace kv {

const TEnumInfo InstallTypeInfo{"TInstallType", {"itFull", "itDefault", "itCompact", "itAlways", "itCustom"}};

namespace {

IInstallDriver* gCurrentDriver = nullptr;
bool gDeferRegistrations = false;

// The standard specifier that makes an object install into its container's folder.
constexpr const char* kContainerDestDir = "TpsContainerDestDir";

}  // namespace

KV_REGISTER_CLASS(TMessageParameter, TObject) {}

IInstallDriver* CurrentInstallDriver() { return gCurrentDriver; }
void SetCurrentInstallDriver(IInstallDriver* driver) { gCurrentDriver = driver; }

// ---- process-wide lists ------------------------------------------------------------------

int TInstallContainerList::Add(TInstallContainer* item) {
    if (!item) throw IEContainerList("Cannot add a blank entry to the TInstallContainerList object");
    return TRefList::Add(item);
}

int TCustomInstallFileList::Add(TCustomInstallFile* item) {
    if (!item) throw IECustomInstallFileList("Cannot add a blank entry to the TCustomInstallFileList object");
    return TRefList::Add(item);
}

// Created on first use and kept to the end of the process, like the unit's globals.
TInstallContainerList& InstallContainerList() {
    static TInstallContainerList list;
    return list;
}

TCustomInstallFileList& InstallFileList() {
    static TCustomInstallFileList list;
    return list;
}

bool DeferRegistrations() { return gDeferRegistrations; }
void SetDeferRegistrations(bool value) { gDeferRegistrations = value; }

TCustomInstallFileList& DeferredRegistrations() {
    static TCustomInstallFileList list;
    return list;
}

// ---- TInstallContainer -----------------------------------------------------------------------

KV_REGISTER_CLASS(TInstallContainer, TComponent) {}

namespace {
// The standard path specifiers exist before the first container of a form is made.
TComponent* PrepareOwner(TComponent* owner) {
    CreateMissingStandardSpecifiers(owner);
    return owner;
}
}  // namespace

TInstallContainer::TInstallContainer(TComponent* owner) : TComponent(PrepareOwner(owner)) {
    InstallContainerList().Add(this);
}

TInstallContainer::~TInstallContainer() { NotifyContainerDestroyed(); }

void TInstallContainer::NotifyContainerDestroyed() {
    if (FDestroyNotified) return;
    FDestroyNotified = true;
    auto& list = InstallContainerList();
    list.Remove(this);
    for (int i = list.Count() - 1; i >= 0; --i) {
        if (i < list.Count()) list[i]->ContainerDestroyed(this);
    }
    FHelpers.Clear();
}

void TInstallContainer::SetDestDir(const std::string& value) { FDestDir = value; }

void TInstallContainer::SetDestDirType(TCustomPathSpecifier* value) {
    DestDirTypeSet = true;
    if (!InState(csLoading) && value) value->Validate(this);
    SetReference(FDestDirType, value);
}

int TInstallContainer::FileContainerCount() const { return CompCount(TFileContainer::StaticClass()); }

TFileContainer* TInstallContainer::FileContainers(int index) const {
    return static_cast<TFileContainer*>(Comp(index, TFileContainer::StaticClass()));
}

void TInstallContainer::ContainerDestroyed(TInstallContainer* container) {
    if (auto* obj = dynamic_cast<TInstallObject*>(container)) RemoveHelper(obj);
}

void TInstallContainer::ShowStatusMessage(const std::string& text) {
    TMessageParameter param(text);
    NotifyHelpers(this, ncStatusMessage, &param);
}

void TInstallContainer::ClearStatusMessage() { NotifyHelpers(this, ncClearStatusMessage, nullptr); }

void TInstallContainer::DoInformationEventControl(TObject*, int32_t, TObject*) {}

void TInstallContainer::ReceiveMessage(TObject*, int32_t, TObject*) {}

std::string TInstallContainer::GetDestDir() {
    std::string path;
    RemoveBackslash(FDestDirType ? FDestDirType->GetPath(this) + FDestDir : FDestDir, path);
    return path;
}

int32_t TInstallContainer::RegisteredType() const {
    throw IEInstallContainer("Class must declare a registered type");
}

TInstallObject* TInstallContainer::Helpers(int index) const {
    if (index < 0 || index >= FHelpers.Count())
        throw IEInstallContainer(
            "Tried to reference a helper component in the following component: %s. The following index was used: %d",
            {Name(), index});
    return FHelpers[index];
}

int TInstallContainer::CompCount(const TClass* componentType) const {
    int n = 0;
    for (TInstallObject* h : FHelpers)
        if (h->InheritsFrom(componentType)) ++n;
    return n;
}

TInstallObject* TInstallContainer::Comp(int index, const TClass* componentType) const {
    int n = 0;
    for (TInstallObject* h : FHelpers) {
        if (!h->InheritsFrom(componentType)) continue;
        if (n++ == index) return h;
    }
    // The component type is shown by its class name in place of the second number.
    std::string fmt = TranslateText(
        "Bad call to the Comp procedure which returns a TInstallObject for a TInstallContainer component. The "
        "parameters are probably reversed. Index: %d, ComponentType: %d");
    size_t at = fmt.rfind("%d");
    if (at != std::string::npos) fmt.replace(at, 2, "%s");
    throw IEInstallContainer(Format(fmt, {index, componentType ? componentType->Name : std::string("nil")}));
}

void TInstallContainer::FreeHelpers(const TClass* componentType) {
    for (int i = FHelpers.Count() - 1; i >= 0; --i) {
        if (i >= FHelpers.Count()) continue;
        TInstallObject* h = FHelpers[i];
        if (h->InheritsFrom(componentType)) delete h;  // it leaves the list through ContainerDestroyed
    }
}

void TInstallContainer::NotifyHelpers(TObject* sender, int32_t code, TObject* po) {
    // By index: a receiver may run dialogs that change the tree.
    for (int i = 0; i < FHelpers.Count(); ++i) {
        TInstallObject* h = FHelpers[i];
        if (h->RegisteredType() == rtDialog) h->ReceiveMessage(sender, code, po);
    }
}

void TInstallContainer::AddHelper(TInstallObject* obj) {
    if (!obj) throw IEInstallContainer("Cannot add a blank base helper component to %s", {Name()});
    if (obj == this) throw IEInstallContainer("Circular reference");
    // The chain above this container; it holds no cycle, as every link passed this test.
    for (TInstallContainer* c = this; auto* o = dynamic_cast<TInstallObject*>(c);) {
        c = o->Container();
        if (!c) break;
        if (c == obj) throw IEInstallContainer("Circular reference");
    }
    const int32_t type = obj->RegisteredType();
    int pos = FHelpers.Count();
    for (int i = 0; i < FHelpers.Count(); ++i) {
        TInstallObject* h = FHelpers[i];
        const int32_t ht = h->RegisteredType();
        if (ht > type || (ht == type && h->Order() >= obj->Order() && obj->Order() != -1)) {
            pos = i;
            break;
        }
    }
    FHelpers.Insert(pos, obj);
    if (!InState(csLoading)) RenumberHelpers();
}

void TInstallContainer::RemoveHelper(TInstallObject* obj) {
    if (!obj) return;
    FHelpers.Remove(obj);
    if (!InState(csLoading)) RenumberHelpers();
}

void TInstallContainer::RenumberHelpers() {
    int32_t n = 0, previous = 0;
    for (int i = 0; i < FHelpers.Count(); ++i) {
        TInstallContainer* h = FHelpers[i];
        const int32_t type = h->RegisteredType();
        if (i == 0 || type != previous) n = 0;
        h->FOrder = n++;
        previous = type;
    }
}

bool TInstallContainer::Selected() const {
    return CurrentInstallType == itAlways || CurrentInstallType == itCustom || InSet(FInstallTypes, itAlways) ||
           InSet(FInstallTypes, CurrentInstallType);
}

bool TInstallContainer::IsSelected() const { return Include && Selected(); }

void TInstallContainer::Process() {
    try {
        OnBeforeProcess(this);
        NotifyHelpers(this, ncBeforeProcess, nullptr);
        if (!Include) return;
        NotifyHelpers(this, ncIncluded, nullptr);
        if (!Selected()) return;
        Install();
        Processed = true;
        if (IInstallDriver* driver = CurrentInstallDriver())
            WriteUninstallInfo(kUninstallKeyPrefix + driver->DriverProductName());
        OnAfterProcess(this);
        NotifyHelpers(this, ncAfterProcess, nullptr);
    } catch (const EAbort&) {
        // The silent abort skips the rest of this object only.
    }
}

void TInstallContainer::Install() {
    Processed = true;
    for (int i = 0; i < FHelpers.Count(); ++i) {
        TInstallObject* h = FHelpers[i];
        if (h->AutoProcess) h->Process();
    }
}

void TInstallContainer::WriteUninstallInfo(const std::string&) {}

void TInstallContainer::Loaded() {
    if (DefaultDestDirType && !DestDirTypeSet) SetDestDirType(nullptr);
    DefaultDestDirType = false;
    inherited::Loaded();
}

void TInstallContainer::Notification(TComponent* component, TOperation operation) {
    inherited::Notification(component, operation);
    if (operation == opRemove && component && component == FDestDirType) SetReference(FDestDirType, {});
}

// ---- TInstallObject --------------------------------------------------------------------------

KV_REGISTER_CLASS(TInstallObject, TInstallContainer) {}

TInstallObject::TInstallObject(TComponent* owner) : TInstallContainer(owner) {}

TInstallObject::~TInstallObject() { NotifyContainerDestroyed(); }

void TInstallObject::AfterConstruction() {
    inherited::AfterConstruction();
    IInstallDriver* d = CurrentInstallDriver();
    if (!InState(csDesigning) || !d) return;
    TInstallContainer* driver = d->DriverContainer();
    if (driver == this) return;
    DefaultContainer = true;
    driver->AddHelper(this);
    FContainer = driver;
    // Stored directly, as the stream would store them: no assignment marks.
    StoreDestDirType(FindStandardSpecifier(kContainerDestDir));
    SetDestDir("");
    DefaultDestDirType = true;
}

void TInstallObject::SetContainer(TInstallContainer* value) {
    ContainerSet = true;
    if (value == FContainer) return;
    if (value) value->AddHelper(this);
    if (FContainer) FContainer->RemoveHelper(this);
    FContainer = value;
    if (InState(csLoading)) return;
    if (value) {
        SetDestDirType(FindStandardSpecifier(kContainerDestDir));
        SetDestDir("");
    } else if (IsSpecifierOf(DestDirType(), kContainerDestDir)) {
        SetDestDirType(nullptr);
    }
}

void TInstallObject::SetInstallTypes(TInstallTypeSet value) {
    const TInstallTypeSet always = InstallTypeBit(itAlways);
    value &= 0x1F;
    if (value == 0) value = always;
    else if ((value & always) && !(FInstallTypes & always)) value = always;
    else if (value & ~always) value &= static_cast<TInstallTypeSet>(~always);
    FInstallTypes = value;
}

void TInstallObject::SetCurrentInstallType(TInstallType type) {
    for (int i = 0; i < HelperCount(); ++i) Helpers(i)->SetCurrentInstallType(type);
    CurrentInstallType = type;
}

void TInstallObject::ContainerDestroyed(TInstallContainer* container) {
    inherited::ContainerDestroyed(container);
    if (container == FContainer) SetContainer(nullptr);
}

void TInstallObject::Loaded() {
    if (DefaultContainer && !ContainerSet) SetContainer(nullptr);
    DefaultContainer = false;
    inherited::Loaded();
}

// ---- the component set's folder --------------------------------------------------------------

std::string FindComponentSetDir(bool raiseIfMissing) {
    const char* kMissing = "Cannot find the the Kelvane directory on the VCL library search path";
    std::string searchPath;
    ReadRegString(hkCurrentUser, kLibrarySettingsKey, "Search Path", searchPath, "");
    searchPath = Trim(searchPath);
    if (searchPath.empty() && raiseIfMissing) throw IENoKelvanePath(kMissing);
    TStringList entries;
    SplitList(searchPath, ";", entries);
    for (int i = 0; i < entries.Count(); ++i) {
        std::string dir, result;
        AddBackslash(entries[i], dir);
        if (FileExists(dir + "K32V35.TXT")) {
            RemoveBackslash(entries[i], result);
            return result;
        }
    }
    if (raiseIfMissing) throw IENoKelvanePath(kMissing);
    return {};
}

}  // namespace kv
