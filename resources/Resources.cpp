#include "resources/Resources.h"

#include <map>

namespace kv {

namespace {
const std::map<std::string, std::string>& Table() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> t;
        for (const TResourceEntry* e = kResourceTable; e->Name; ++e)
            t.emplace(e->Name, std::string(reinterpret_cast<const char*>(e->Data), e->Size));
        return t;
    }();
    return table;
}
}  // namespace

const std::string* FindResource(const std::string& name) {
    auto it = Table().find(UpperCase(name));
    return it == Table().end() ? nullptr : &it->second;
}

const std::string& GetResource(const std::string& name) {
    if (const std::string* r = FindResource(name)) return *r;
    throw EResNotFound("Resource %s not found", {name});
}

std::vector<std::string> ResourceNames() {
    std::vector<std::string> names;
    for (const auto& [name, data] : Table()) names.push_back(name);
    return names;
}

}  // namespace kv
