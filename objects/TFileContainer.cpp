#include "objects/TFileContainer.h"

#include "paths/TPathSpecifier.h"
#include "platform/Files.h"
#include "routines/routines_Registry.h"

namespace kv {

std::string InstallRecordKey;

namespace {
// Specifiers that name a complete archive: an object stored there has no file name.
bool NamesWholeArchive(const TCustomPathSpecifier* pathSpec) {
    return IsSpecifierOf(pathSpec, "TpsContainerArchiveFile") || IsSpecifierOf(pathSpec, "TpsMainArchiveFile");
}
}  // namespace

// ---- TFileRelated ------------------------------------------------------------------------

KV_REGISTER_CLASS(TFileRelated, TInstallObject) {}

TFileRelated::TFileRelated(TComponent* owner) : TInstallObject(owner) { AutoProcess = true; }

void TFileRelated::AfterConstruction() {
    inherited::AfterConstruction();
    if (DefaultContainer) {
        StoreArchive(FindStandardSpecifier("TpsContainerArchiveFile"), "");
        DefaultArchiveFileType = true;
    }
}

void TFileRelated::SetArchiveFile(const std::string& value) {
    if (!InState(csLoading) && NamesWholeArchive(FArchiveFileType)) FArchiveFile.clear();
    else FArchiveFile = value;
}

void TFileRelated::SetArchiveFileType(TCustomPathSpecifier* value) {
    ArchiveFileTypeSet = true;
    if (!InState(csLoading) && value) {
        value->Validate(this);
        if (NamesWholeArchive(value)) FArchiveFile.clear();
    }
    SetReference(FArchiveFileType, value);
}

void TFileRelated::StoreArchive(TCustomPathSpecifier* type, const std::string& file) {
    SetReference(FArchiveFileType, type);
    FArchiveFile = file;
}

void TFileRelated::SetNetLocation(TCustomNetInstallLocation* value) { SetReference(FNetLocation, value); }

void TFileRelated::SetOrder(int32_t value) {
    if (InState(csLoading)) {
        FOrder = value;
        return;
    }
    TInstallContainer* container = Container();
    if (value == FOrder || !container) return;
    container->RemoveHelper(this);
    FOrder = value;
    container->AddHelper(this);
}

bool TFileRelated::FindLocalFile(std::string& path) {
    path.clear();
    if (Trim(Name()).empty() || InstallRecordKey.empty()) return false;
    std::string local;
    ReadRegString(hkLocalMachine, InstallRecordKey + "\\" + Name(), "LocalFile", local, "");
    if (Trim(local).empty() || !FileExists(local)) return false;
    path = local;
    return true;
}

std::string TFileRelated::GetArchivePath() {
    std::string path = FArchiveFileType ? FArchiveFileType->GetPath(this) + FArchiveFile : FArchiveFile;
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

void TFileRelated::SetContainer(TInstallContainer* value) {
    TInstallContainer* old = Container();
    inherited::SetContainer(value);
    if (InState(csLoading) || Container() == old) return;
    if (dynamic_cast<TFileRelated*>(Container())) {
        TCustomPathSpecifier* pathSpec = FindStandardSpecifier("TpsContainerArchiveFile");
        SetArchiveFileType(pathSpec);
        FArchiveFile.clear();
    } else if (IsSpecifierOf(FArchiveFileType, "TpsContainerArchiveFile")) {
        SetArchiveFileType(nullptr);
    }
}

void TFileRelated::Loaded() {
    if (DefaultArchiveFileType && !ArchiveFileTypeSet) SetArchiveFileType(nullptr);
    DefaultArchiveFileType = false;
    inherited::Loaded();
}

void TFileRelated::Notification(TComponent* component, TOperation operation) {
    inherited::Notification(component, operation);
    if (operation != opRemove || !component) return;
    if (component == FNetLocation) SetNetLocation(nullptr);
    if (component == FArchiveFileType) SetReference(FArchiveFileType, {});
}

// ---- TFileContainer ----------------------------------------------------------------------

KV_REGISTER_CLASS(TFileContainer, TFileRelated) {}

TFileContainer::TFileContainer(TComponent* owner) : TFileRelated(owner) {}

void TFileContainer::ReadArchiveInfo() { InfoRead = true; }

}  // namespace kv
