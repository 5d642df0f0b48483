// Helpers for components.
#pragma once

#include <string>

#include "runtime/Classes.h"

namespace kv {

// Names the component BaseName, or BaseName1, BaseName2, … : the first its owner accepts.
// A base name that is no valid identifier raises the component's error at once.
void SetUniqueName(TComponent* component, const std::string& baseName);

}  // namespace kv
