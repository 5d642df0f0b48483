#include "paths/TPathSpecifier.h"

namespace kv {

KV_REGISTER_CLASS(TCustomPathSpecifier, TComponent) {}

std::string TCustomPathSpecifier::GetPath(TInstallContainer*) { return {}; }

void TCustomPathSpecifier::Validate(TInstallContainer*) {}

// The standard family is not there yet: no owner gets standard specifiers.
void CreateMissingStandardSpecifiers(TComponent*) {}

TCustomPathSpecifier* FindStandardSpecifier(const std::string&) { return nullptr; }

bool IsSpecifierOf(const TCustomPathSpecifier* spec, const std::string& className) {
    const TClass* cls = GetClass(className);
    return spec && cls && spec->InheritsFrom(cls);
}

}  // namespace kv
