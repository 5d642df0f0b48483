// The component set's exception families.
#pragma once

#include <string>

#include "runtime/SysUtils.h"

namespace kv {

// Every English text of a message passes through this before it is formatted.
// The translator installs its lookup here; until then the text stays as it is.
using TTranslateTextHook = std::string (*)(const std::string& text);
void SetTranslateTextHook(TTranslateTextHook hook);
std::string TranslateText(const std::string& text);

KV_EXCEPTION(ECustomKelvaneAbnormal, Exception);

// The component family: messages are translated, then formatted.
class IException : public ECustomKelvaneAbnormal {
public:
    explicit IException(const std::string& msg);
    IException(const std::string& fmt, const TVarRecs& args);
    const char* ClassName() const override { return "IException"; }
};

#define KV_IEXCEPTION(Name, Parent) KV_EXCEPTION(Name, Parent)

// One class per component of the set.
KV_IEXCEPTION(IEInstallContainer, IException);
KV_IEXCEPTION(IEContainerList, IException);
KV_IEXCEPTION(IEFileRelated, IException);
KV_IEXCEPTION(IEFileRel_NoNetLocation, IEFileRelated);
KV_IEXCEPTION(IEFileContainer, IException);
KV_IEXCEPTION(IEfcDuplicateFile, IEFileContainer);
KV_IEXCEPTION(IENoKelvanePath, IException);
KV_IEXCEPTION(IECustomInstallFile, IException);
KV_IEXCEPTION(IECustomInstallFileList, IException);
KV_IEXCEPTION(IEInstall, IException);
KV_IEXCEPTION(IEInstallNetLocNil, IEInstall);
KV_IEXCEPTION(IEPathSpecifier, IException);
KV_IEXCEPTION(IEPathSpecifierList, IException);
KV_IEXCEPTION(IEUninstallEXE, IException);
KV_IEXCEPTION(IEInstallShellLink, IException);
KV_IEXCEPTION(IEShellLinkGroup, IException);
KV_IEXCEPTION(IEInstallShellLinkList, IException);
KV_IEXCEPTION(IERegistryEntry, IException);
KV_IEXCEPTION(IERegistryEntries, IException);
KV_IEXCEPTION(IEInstallRegistry, IException);
KV_IEXCEPTION(IEInstallRegistryList, IException);
KV_IEXCEPTION(IEFileGroupSelectForm, IException);

// Archive engine and system routines: English messages, never translated.
KV_EXCEPTION(EKelvaneAbnormal, ECustomKelvaneAbnormal);

// The system helper routines (routines_API).
KV_EXCEPTION(EAPIRoutines, EKelvaneAbnormal);

// A registry write of the helper routines failed (routines_Registry).
KV_EXCEPTION(EIRCannotWriteValue, Exception);

// Installer-level failures raised outside the component family.
KV_EXCEPTION(EAI, Exception);

class EAIUserAbort : public EAI {
public:
    EAIUserAbort() : EAI("Installation aborted by the user") {}
    using EAI::EAI;
    const char* ClassName() const override { return "EAIUserAbort"; }
};

}  // namespace kv
