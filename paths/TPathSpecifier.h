// Path specifiers: components that name the base folder of a destination or an
// archive (the program files folder, the container's folder, the system folder, ...).
// This is the base the install objects refer to; the specifier family and the
// process-wide lists of specifiers build on it.
#pragma once

#include <string>

#include "runtime/Classes.h"

namespace kv {

class TInstallContainer;

class TCustomPathSpecifier : public TComponent {
    KV_CLASS(TCustomPathSpecifier, TComponent)
public:
    using TComponent::TComponent;
    // The folder this specifier names for Obj, without a trailing backslash.
    virtual std::string GetPath(TInstallContainer* obj);
    // Raises when this specifier cannot serve Obj.
    virtual void Validate(TInstallContainer* obj);
};

// Makes sure Owner holds one specifier of each standard class, when Owner is a form
// or a data module (install containers ask this before they are constructed).
void CreateMissingStandardSpecifiers(TComponent* owner);
// The standard specifier of the class named ClassName ("TpsContainerDestDir", ...),
// or nullptr when there is none.
TCustomPathSpecifier* FindStandardSpecifier(const std::string& className);
// Spec is of the class named ClassName or derived from it.
bool IsSpecifierOf(const TCustomPathSpecifier* spec, const std::string& className);

}  // namespace kv
