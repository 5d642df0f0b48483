// Class information and published-property metadata: what definitions are made of.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/SysUtils.h"

namespace kv {

class TObject;
class TPersistent;
class TComponent;
class TStrings;
class TCollection;
class TMethodBase;
struct TClass;

// An enumeration's value names in ordinal order (klEnglish, klFrench, ...).
struct TEnumInfo {
    std::string TypeName;
    std::vector<std::string> Names;
    int IndexOf(const std::string& name) const;  // case-insensitive, -1 when absent
    std::string NameOf(int64_t ordinal) const;   // the number as text when out of range
};

enum class TPropKind { Integer, Int64, Word, Byte, Boolean, Float, String, Enum, Set, Class, Strings, Collection,
                       Component, Method };
const char* PropKindName(TPropKind k);

struct TPropInfo {
    std::string Name;
    TPropKind Kind = TPropKind::Integer;
    const TEnumInfo* Enum = nullptr;   // Enum, Set
    // Class/Strings/Collection: the owned object's class; Component: the required class.
    // Asked lazily, so a class may refer to itself.
    const TClass* (*ObjClassFn)() = nullptr;
    const TClass* ObjClass() const { return ObjClassFn ? ObjClassFn() : nullptr; }

    // Ordinals (Integer, Int64, Word, Byte, Boolean, Enum, Set as a bit mask).
    std::function<int64_t(const TObject&)> GetOrd;
    std::function<void(TObject&, int64_t)> SetOrd;
    std::function<double(const TObject&)> GetFloat;
    std::function<void(TObject&, double)> SetFloat;
    std::function<std::string(const TObject&)> GetStr;
    std::function<void(TObject&, const std::string&)> SetStr;
    // Owned persistent objects: the streamer fills them in place.
    std::function<TPersistent*(const TObject&)> GetObj;
    std::function<TComponent*(const TObject&)> GetComp;
    std::function<void(TObject&, TComponent*)> SetComp;
    std::function<TMethodBase*(TObject&)> GetMethod;

    // The class default: a value equal to it is not written. Ordinals and floats
    // without a declared default are always written (the platform's nodefault).
    bool HasDefault = false;
    int64_t DefaultOrd = 0;
    double DefaultFloat = 0;
    std::string DefaultStr;
    std::function<bool(const TObject&)> Stored;  // empty: stored
    bool ReadOnly() const;
};

using TObjectFactory = std::function<TObject*(TComponent* owner)>;

struct TClass {
    std::string Name;
    const TClass* Parent = nullptr;
    TObjectFactory Factory;  // empty for abstract classes
    std::vector<TPropInfo> Props;  // this class's own published properties

    bool InheritsFrom(const TClass* other) const;
    bool IsComponent() const;
    const TPropInfo* FindProp(const std::string& name) const;  // case-insensitive, own then parents
    std::vector<const TPropInfo*> AllProps() const;            // parents' first, overrides replace
    TObject* Create(TComponent* owner) const;                  // EComponentError for abstract classes
};

// The process-wide class registry (FindClass/GetClass of the platform).
void RegisterClass(const TClass* cls);
const TClass* GetClass(const std::string& name);   // nullptr when unknown
const TClass* FindClass(const std::string& name);  // EClassNotFound "Class %s not found"
KV_EXCEPTION(EClassNotFound, Exception);

// ---- class builder -------------------------------------------------------------------

namespace detail {
template <class T, class G>
auto Get(const G& g, const TObject& o) {
    return std::invoke(g, static_cast<const T&>(o));
}
template <class T, class S, class V>
void Set(const S& s, TObject& o, V&& v) {
    if constexpr (std::is_member_object_pointer_v<S>) {
        static_cast<T&>(o).*s = std::forward<V>(v);
    } else {
        std::invoke(s, static_cast<T&>(o), std::forward<V>(v));
    }
}
}  // namespace detail

// Describes the published properties of class T. Getters are member functions or
// fields; setters are member functions or fields.
template <class T>
class TClassBuilder {
public:
    explicit TClassBuilder(TClass& cls) : FClass(cls) {}

    template <class G, class S>
    TClassBuilder& Integer(const char* name, G get, S set, std::optional<int32_t> def = 0) {
        return Ordinal<int32_t>(name, TPropKind::Integer, get, set, def);
    }
    template <class G, class S>
    TClassBuilder& Int64(const char* name, G get, S set, std::optional<int64_t> def = 0) {
        return Ordinal<int64_t>(name, TPropKind::Int64, get, set, def);
    }
    template <class G, class S>
    TClassBuilder& Word(const char* name, G get, S set, std::optional<uint16_t> def = 0) {
        return Ordinal<uint16_t>(name, TPropKind::Word, get, set, def);
    }
    template <class G, class S>
    TClassBuilder& Byte(const char* name, G get, S set, std::optional<uint8_t> def = 0) {
        return Ordinal<uint8_t>(name, TPropKind::Byte, get, set, def);
    }
    template <class G, class S>
    TClassBuilder& Boolean(const char* name, G get, S set, std::optional<bool> def = false) {
        return Ordinal<bool>(name, TPropKind::Boolean, get, set, def);
    }
    template <class E, class G, class S>
    TClassBuilder& Enum(const char* name, const TEnumInfo& info, G get, S set, std::optional<E> def) {
        Ordinal<E>(name, TPropKind::Enum, get, set, def);
        FClass.Props.back().Enum = &info;
        return *this;
    }
    // A set of an enumeration, held as a bit mask (bit n = ordinal n).
    template <class G, class S>
    TClassBuilder& Set(const char* name, const TEnumInfo& info, G get, S set, std::optional<uint32_t> def = 0) {
        Ordinal<uint32_t>(name, TPropKind::Set, get, set, def);
        FClass.Props.back().Enum = &info;
        return *this;
    }
    template <class G, class S>
    TClassBuilder& Float(const char* name, G get, S set, std::optional<double> def = std::nullopt) {
        TPropInfo p;
        p.Name = name;
        p.Kind = TPropKind::Float;
        p.GetFloat = [get](const TObject& o) { return static_cast<double>(detail::Get<T>(get, o)); };
        p.SetFloat = [set](TObject& o, double v) { detail::Set<T>(set, o, v); };
        p.HasDefault = def.has_value();
        p.DefaultFloat = def.value_or(0);
        FClass.Props.push_back(std::move(p));
        return *this;
    }
    // Strings are stored unless empty, or unless equal to a declared default.
    template <class G, class S>
    TClassBuilder& String(const char* name, G get, S set, std::string def = "") {
        TPropInfo p;
        p.Name = name;
        p.Kind = TPropKind::String;
        p.GetStr = [get](const TObject& o) { return std::string(detail::Get<T>(get, o)); };
        p.SetStr = [set](TObject& o, const std::string& v) { detail::Set<T>(set, o, v); };
        p.HasDefault = true;
        p.DefaultStr = std::move(def);
        FClass.Props.push_back(std::move(p));
        return *this;
    }
    // An owned persistent object (a sub-object, a string list or a collection),
    // filled in place by the reader.
    template <class P, class G>
    TClassBuilder& Object(const char* name, G get) {
        TPropInfo p;
        p.Name = name;
        p.Kind = std::is_base_of_v<TStrings, P>      ? TPropKind::Strings
                 : std::is_base_of_v<TCollection, P> ? TPropKind::Collection
                                                     : TPropKind::Class;
        p.ObjClassFn = &P::StaticClass;
        // Owned objects are reached through non-const getters too.
        p.GetObj = [get](const TObject& o) -> TPersistent* {
            return std::invoke(get, const_cast<T&>(static_cast<const T&>(o)));
        };
        FClass.Props.push_back(std::move(p));
        return *this;
    }
    // A reference to another component, by name in a definition.
    template <class C, class G, class S>
    TClassBuilder& Reference(const char* name, G get, S set) {
        TPropInfo p;
        p.Name = name;
        p.Kind = TPropKind::Component;
        p.ObjClassFn = &C::StaticClass;
        p.GetComp = [get](const TObject& o) -> TComponent* { return detail::Get<T>(get, o); };
        p.SetComp = [set](TObject& o, TComponent* v) { detail::Set<T>(set, o, static_cast<C*>(v)); };
        FClass.Props.push_back(std::move(p));
        return *this;
    }
    // An event: a method pointer field (of T or of a base class) bound by handler name.
    template <class Ev, class B>
    TClassBuilder& Event(const char* name, Ev B::*field) {
        static_assert(std::is_base_of_v<B, T>, "the event must be a member of the class or of a base");
        TPropInfo p;
        p.Name = name;
        p.Kind = TPropKind::Method;
        p.GetMethod = [field](TObject& o) -> TMethodBase* { return &(static_cast<T&>(o).*field); };
        FClass.Props.push_back(std::move(p));
        return *this;
    }
    // The last property is stored only when Fn says so.
    template <class Fn>
    TClassBuilder& StoredIf(Fn fn) {
        FClass.Props.back().Stored = [fn](const TObject& o) { return std::invoke(fn, static_cast<const T&>(o)); };
        return *this;
    }

private:
    template <class V, class G, class S, class D>
    TClassBuilder& Ordinal(const char* name, TPropKind kind, G get, S set, const std::optional<D>& def) {
        TPropInfo p;
        p.Name = name;
        p.Kind = kind;
        p.GetOrd = [get](const TObject& o) { return static_cast<int64_t>(detail::Get<T>(get, o)); };
        p.SetOrd = [set](TObject& o, int64_t v) { detail::Set<T>(set, o, static_cast<V>(v)); };
        p.HasDefault = def.has_value();
        p.DefaultOrd = def ? static_cast<int64_t>(*def) : 0;
        FClass.Props.push_back(std::move(p));
        return *this;
    }

    TClass& FClass;
};

namespace detail {
struct TClassRegistrar {
    explicit TClassRegistrar(const TClass* cls) { RegisterClass(cls); }
};
template <class T>
TObjectFactory FactoryFor() {
    if constexpr (std::is_abstract_v<T>) {
        return nullptr;
    } else if constexpr (std::is_constructible_v<T, TComponent*>) {
        return [](TComponent* owner) -> TObject* { return new T(owner); };
    } else if constexpr (std::is_default_constructible_v<T>) {
        return [](TComponent*) -> TObject* { return new T(); };
    } else {
        return nullptr;
    }
}
}  // namespace detail

}  // namespace kv

// In the class body: the class's own class information.
#define KV_CLASS(Name, ParentName)                                              \
public:                                                                         \
    using inherited = ParentName;                                               \
    static const ::kv::TClass* StaticClass();                                   \
    const ::kv::TClass* ClassType() const override { return StaticClass(); }    \
                                                                                \
private:

// In the source file: defines the class information and registers the class by
// name. The block describes the published properties with `b` (TClassBuilder<Name>).
#define KV_REGISTER_CLASS(Cls, ParentName)                                                 \
    static void kv_describe_##Cls(::kv::TClassBuilder<Cls>& b);                           \
    const ::kv::TClass* Cls::StaticClass() {                                               \
        static const ::kv::TClass* cls = [] {                                               \
            auto* c = new ::kv::TClass;                                                     \
            c->Name = #Cls;                                                                \
            c->Parent = ParentName::StaticClass();                                          \
            c->Factory = ::kv::detail::FactoryFor<Cls>();                                  \
            ::kv::TClassBuilder<Cls> b(*c);                                                \
            kv_describe_##Cls(b);                                                          \
            return c;                                                                       \
        }();                                                                                \
        return cls;                                                                         \
    }                                                                                       \
    static ::kv::detail::TClassRegistrar kv_registrar_##Cls(Cls::StaticClass());          \
    static void kv_describe_##Cls([[maybe_unused]] ::kv::TClassBuilder<Cls>& b)
