#include "objects/TCustomInstallFile.h"

namespace kv {

KV_REGISTER_CLASS(TCustomInstallFile, TFileRelated) {}

TCustomInstallFile::TCustomInstallFile(TComponent* owner) : TFileRelated(owner) {
    Include = true;
    InstallFileList().Add(this);
}

TCustomInstallFile::~TCustomInstallFile() {
    InstallFileList().Remove(this);
    DeferredRegistrations().Remove(this);
}

std::string TCustomInstallFile::GetFullDestPath() {
    std::string dir = GetDestDir();
    return dir.empty() ? FDestName : dir + "\\" + FDestName;
}

}  // namespace kv
