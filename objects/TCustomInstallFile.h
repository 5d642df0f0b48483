// One file of the product. Here it is a member of the tree and of the process-wide
// list of install files, with what the driver reads of it after a run; the per-file
// install pipeline builds on it.
#pragma once

#include "objects/TFileContainer.h"

namespace kv {

class TCustomInstallFile : public TFileRelated {
    KV_CLASS(TCustomInstallFile, TFileRelated)
public:
    explicit TCustomInstallFile(TComponent* owner);
    ~TCustomInstallFile() override;

    bool RunAfterInstall = false;  // the driver starts the installed file after the run
    // The file's info: size, last write and version of the source file.
    int32_t FileSize = 0;
    TDateTime FileDate = 0;
    std::string FileVersion;  // at most 20 characters

    const std::string& DestName() const { return FDestName; }
    virtual void SetDestName(const std::string& value) { FDestName = value; }
    // GetDestDir with a trailing backslash, then DestName.
    std::string GetFullDestPath();

    int32_t RegisteredType() const override { return rtInstallFile; }

private:
    std::string FDestName;
};

}  // namespace kv
