// Files compiled into the programs (bitmaps, later dialog forms), found by name: a
// file's name without its extension, compared without regard to case.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"

namespace kv {

KV_EXCEPTION(EResNotFound, Exception);

// The build's table of every resource, closed by an entry without a name.
struct TResourceEntry {
    const char* Name;
    const unsigned char* Data;
    std::size_t Size;
};
extern const TResourceEntry kResourceTable[];

// The bytes of the resource Name, or nullptr when the program has none.
const std::string* FindResource(const std::string& name);
// The bytes of the resource Name; EResNotFound "Resource %s not found" when there is none.
const std::string& GetResource(const std::string& name);
// Every resource's name, in upper case, sorted.
std::vector<std::string> ResourceNames();

}  // namespace kv
