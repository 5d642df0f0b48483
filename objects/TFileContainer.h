// File-related install objects: objects with an archive, and the file containers that
// hold install files and further containers (file groups, the install driver). Here
// they carry their links and settings; archive handling builds on them.
#pragma once

#include "net/TNetInstallLocation.h"
#include "objects/TInstallContainer.h"

namespace kv {

enum TInstallFileState : uint8_t { ifsNone, ifsCompress, ifsInstall, ifsCopying };

class TFileRelated : public TInstallObject {
    KV_CLASS(TFileRelated, TInstallObject)
public:
    explicit TFileRelated(TComponent* owner);

    bool ArchiveFileTypeSet = false;
    bool DefaultArchiveFileType = false;
    bool InfoRead = false;
    std::string LocalArchive;  // this object's archive as a copy on this machine

    const std::string& ArchiveFile() const { return FArchiveFile; }
    virtual void SetArchiveFile(const std::string& value);
    TCustomPathSpecifier* ArchiveFileType() const { return FArchiveFileType; }
    virtual void SetArchiveFileType(TCustomPathSpecifier* value);
    // The server of a network install, or nullptr.
    TCustomNetInstallLocation* NetLocation() const { return FNetLocation; }
    virtual void SetNetLocation(TCustomNetInstallLocation* value);
    // Outside of loading the object is inserted again at its new place among its
    // container's helpers; without a container the value is not taken.
    void SetOrder(int32_t value);
    // The archive an earlier run downloaded for this object, when it still exists.
    bool FindLocalFile(std::string& path);

    void AfterConstruction() override;
    void Loaded() override;
    void SetContainer(TInstallContainer* value) override;
    void Notification(TComponent* component, TOperation operation) override;

protected:
    // Stores ArchiveFileType and ArchiveFile without the setters' rules.
    void StoreArchive(TCustomPathSpecifier* type, const std::string& file);

private:
    std::string FArchiveFile;
    TCustomPathSpecifier* FArchiveFileType = nullptr;
    TCustomNetInstallLocation* FNetLocation = nullptr;
};

class TFileContainer : public TFileRelated {
    KV_CLASS(TFileContainer, TFileRelated)
public:
    explicit TFileContainer(TComponent* owner);

    bool AllowChangeDir = true;
    bool AllowChoice = true;
    std::string GroupName;
    TInstallFileState State = ifsNone;
    TInstallContainerNotifyEvent OnBeforeInstallObjects;
    TAfterInstallObjectsEvent OnAfterInstallObjects;

    TStrings* Description() { return &FDescription; }
    void SetDescription(const TStrings* value) { FDescription.Assign(value); }

    int32_t RegisteredType() const override { return rtFileContainer; }
    // Reads the archive information of the files and of the sub-containers.
    virtual void ReadArchiveInfo();

private:
    TStringList FDescription;
};

}  // namespace kv
