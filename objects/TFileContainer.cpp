#include "objects/TFileContainer.h"

#include "paths/TPathSpecifier.h"

namespace kv {

namespace {
// Specifiers that name a complete archive: an object stored there has no file name.
bool NamesWholeArchive(const TCustomPathSpecifier* spec) {
    return IsSpecifierOf(spec, "TpsContainerArchiveFile") || IsSpecifierOf(spec, "TpsMainArchiveFile");
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
    // Installation records keep the downloaded archives; without one there is none.
    path.clear();
    return false;
}

void TFileRelated::SetContainer(TInstallContainer* value) {
    TInstallContainer* old = Container();
    inherited::SetContainer(value);
    if (InState(csLoading) || Container() == old) return;
    if (dynamic_cast<TFileRelated*>(Container())) {
        TCustomPathSpecifier* spec = FindStandardSpecifier("TpsContainerArchiveFile");
        SetArchiveFileType(spec);
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
