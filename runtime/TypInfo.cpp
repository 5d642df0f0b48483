#include "runtime/TypInfo.h"

#include <map>
#include <mutex>

#include "runtime/Classes.h"

namespace kv {

int TEnumInfo::IndexOf(const std::string& name) const {
    for (size_t i = 0; i < Names.size(); ++i)
        if (SameText(Names[i], name)) return static_cast<int>(i);
    return -1;
}

std::string TEnumInfo::NameOf(int64_t ordinal) const {
    if (ordinal >= 0 && ordinal < static_cast<int64_t>(Names.size())) return Names[static_cast<size_t>(ordinal)];
    return std::to_string(ordinal);
}

const char* PropKindName(TPropKind k) {
    switch (k) {
    case TPropKind::Integer: return "Integer";
    case TPropKind::Int64: return "Int64";
    case TPropKind::Word: return "Word";
    case TPropKind::Byte: return "Byte";
    case TPropKind::Boolean: return "Boolean";
    case TPropKind::Float: return "Float";
    case TPropKind::String: return "String";
    case TPropKind::Enum: return "Enumeration";
    case TPropKind::Set: return "Set";
    case TPropKind::Class: return "Class";
    case TPropKind::Strings: return "TStrings";
    case TPropKind::Collection: return "TCollection";
    case TPropKind::Component: return "Component";
    case TPropKind::Method: return "Method";
    }
    return "?";
}

bool TPropInfo::ReadOnly() const {
    switch (Kind) {
    case TPropKind::Float: return !SetFloat;
    case TPropKind::String: return !SetStr;
    case TPropKind::Class:
    case TPropKind::Strings:
    case TPropKind::Collection: return !GetObj;
    case TPropKind::Component: return !SetComp;
    case TPropKind::Method: return !GetMethod;
    default: return !SetOrd;
    }
}

bool TClass::InheritsFrom(const TClass* other) const {
    for (const TClass* c = this; c; c = c->Parent)
        if (c == other) return true;
    return false;
}

bool TClass::IsComponent() const { return InheritsFrom(TComponent::StaticClass()); }

const TPropInfo* TClass::FindProp(const std::string& name) const {
    for (const TClass* c = this; c; c = c->Parent)
        for (const TPropInfo& p : c->Props)
            if (SameText(p.Name, name)) return &p;
    return nullptr;
}

std::vector<const TPropInfo*> TClass::AllProps() const {
    std::vector<const TClass*> chain;
    for (const TClass* c = this; c; c = c->Parent) chain.push_back(c);
    std::vector<const TPropInfo*> out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        for (const TPropInfo& p : (*it)->Props) {
            auto same = std::find_if(out.begin(), out.end(), [&](const TPropInfo* q) { return SameText(q->Name, p.Name); });
            if (same != out.end()) *same = &p;
            else out.push_back(&p);
        }
    }
    return out;
}

TObject* TClass::Create(TComponent* owner) const {
    if (!Factory) throw EComponentError("Cannot create an instance of abstract class " + Name);
    TObject* obj = Factory(owner);
    try {
        obj->AfterConstruction();
    } catch (...) {
        delete obj;
        throw;
    }
    return obj;
}

namespace {
struct TNoCaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return AnsiCompareText(a, b) < 0; }
};
std::map<std::string, const TClass*, TNoCaseLess>& Registry() {
    static std::map<std::string, const TClass*, TNoCaseLess> r;
    return r;
}
std::mutex& RegistryLock() {
    static std::mutex m;
    return m;
}
}  // namespace

void RegisterClass(const TClass* cls) {
    std::lock_guard<std::mutex> g(RegistryLock());
    Registry()[cls->Name] = cls;
}

const TClass* GetClass(const std::string& name) {
    std::lock_guard<std::mutex> g(RegistryLock());
    auto it = Registry().find(name);
    return it == Registry().end() ? nullptr : it->second;
}

const TClass* FindClass(const std::string& name) {
    const TClass* c = GetClass(name);
    if (!c) throw EClassNotFound("Class " + name + " not found");
    return c;
}

}  // namespace kv
