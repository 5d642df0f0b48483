#include "routines/routines_Components.h"

namespace kv {

void SetUniqueName(TComponent* component, const std::string& baseName) {
    std::string name = baseName;
    for (int32_t i = 1;; ++i) {
        try {
            component->SetName(name);
            return;
        } catch (const EComponentError&) {
            // Only a taken name is worth another try; a bad one would be tried for ever.
            if (!IsValidIdent(name)) throw;
        }
        name = baseName + IntToStr(i);
    }
}

}  // namespace kv
