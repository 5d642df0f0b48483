// The component model: objects with class information, persistent objects,
// components with owners and free notification, events, string lists, collections.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/Streams.h"
#include "runtime/SysUtils.h"
#include "runtime/TypInfo.h"

namespace kv {

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    static const TClass* StaticClass();
    virtual const TClass* ClassType() const { return StaticClass(); }
    const std::string& ClassName() const { return ClassType()->Name; }
    bool InheritsFrom(const TClass* cls) const { return ClassType()->InheritsFrom(cls); }
    template <class T>
    bool Is() const { return InheritsFrom(T::StaticClass()); }
    // Runs once the constructors of every class of the object have finished, so it
    // sees the object's own class (virtual calls inside a constructor do not). Called
    // by TClass::Create and by Create<T>.
    virtual void AfterConstruction() {}
};

// Constructs T and runs its AfterConstruction; the object is freed when that fails.
template <class T, class... A>
T* Create(A&&... args) {
    T* obj = new T(std::forward<A>(args)...);
    try {
        obj->AfterConstruction();
    } catch (...) {
        delete obj;
        throw;
    }
    return obj;
}

// ---- events --------------------------------------------------------------------------

// A handler a program registers by name; definitions bind events to it.
class THandlerBase {
public:
    virtual ~THandlerBase() = default;
};
template <class... A>
class THandler : public THandlerBase {
public:
    explicit THandler(std::function<void(A...)> fn) : Fn(std::move(fn)) {}
    std::function<void(A...)> Fn;
};

// A handler known only by name (checking or formatting a definition without the
// program that implements it): binding it records the name and calls nothing.
class TNamedHandler : public THandlerBase {};

// A method pointer: the callable and the handler's name.
class TMethodBase {
public:
    virtual ~TMethodBase() = default;
    virtual bool Assigned() const = 0;
    virtual void Clear() = 0;
    // False when the handler's parameters do not fit this event.
    virtual bool Bind(const std::string& name, const THandlerBase& handler) = 0;
    const std::string& Name() const { return FName; }

protected:
    std::string FName;
};

template <class... A>
class TEvent : public TMethodBase {
public:
    using TFn = std::function<void(A...)>;
    TEvent() = default;
    TEvent(TFn fn, std::string name = {}) : FFn(std::move(fn)) { FName = std::move(name); }
    TEvent& operator=(TFn fn) {
        FFn = std::move(fn);
        FName.clear();
        return *this;
    }
    bool Assigned() const override { return static_cast<bool>(FFn); }
    explicit operator bool() const { return Assigned(); }
    void Clear() override {
        FFn = nullptr;
        FName.clear();
    }
    bool Bind(const std::string& name, const THandlerBase& handler) override {
        if (dynamic_cast<const TNamedHandler*>(&handler)) {
            FFn = nullptr;
            FName = name;
            return true;
        }
        auto* h = dynamic_cast<const THandler<A...>*>(&handler);
        if (!h) return false;
        FFn = h->Fn;
        FName = name;
        return true;
    }
    // An unassigned event is skipped.
    void operator()(A... args) const {
        if (FFn) FFn(std::forward<A>(args)...);
    }

private:
    TFn FFn;
};

using TNotifyEvent = TEvent<TObject*>;

// ---- persistent objects ------------------------------------------------------------------

struct TValue;

// What DefineProperties sees: extra named values a class streams itself.
class TFiler {
public:
    virtual ~TFiler() = default;
    // Read gets the value from a stream; Write gives the value to store; HasData
    // says whether anything is to be written.
    virtual void DefineProperty(const std::string& name, std::function<void(const TValue&)> read,
                                std::function<TValue()> write, bool hasData) = 0;
};

class TPersistent : public TObject {
    KV_CLASS(TPersistent, TObject)
public:
    // Copies Source into this object; "Cannot assign a %s to a %s" when neither side knows how.
    virtual void Assign(const TPersistent* source);
    virtual void DefineProperties(TFiler&) {}
    // The object that owns this one (for naming), or nullptr.
    virtual TPersistent* GetOwner() const { return nullptr; }

protected:
    virtual void AssignTo(TPersistent* dest) const;
    [[noreturn]] void AssignError(const TPersistent* source) const;
};

// ---- components ---------------------------------------------------------------------------

enum TOperation { opInsert, opRemove };

enum TComponentStateFlag : uint32_t {
    csLoading = 1u << 0,
    csReading = 1u << 1,
    csWriting = 1u << 2,
    csDestroying = 1u << 3,
    csDesigning = 1u << 4,
    csFixups = 1u << 5,
};
using TComponentState = uint32_t;

class TComponent : public TPersistent {
    KV_CLASS(TComponent, TPersistent)
public:
    explicit TComponent(TComponent* owner);
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    // Checks "'%s' is not a valid component name" and "A component named %s already exists".
    virtual void SetName(const std::string& name);
    int32_t Tag() const { return FTag; }
    void SetTag(int32_t v) { FTag = v; }

    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int index) const { return FComponents.at(static_cast<size_t>(index)); }
    int ComponentIndex() const;
    TComponent* FindComponent(const std::string& name) const;
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);
    // Frees every owned component, last first.
    void DestroyComponents();

    TComponentState ComponentState() const { return FState; }
    bool InState(TComponentStateFlag f) const { return (FState & f) != 0; }
    void IncludeState(TComponentStateFlag f) { FState |= f; }
    void ExcludeState(TComponentStateFlag f) { FState &= ~static_cast<uint32_t>(f); }
    // Sets or clears csDesigning here and in every owned component.
    void SetDesigning(bool value, bool setChildren = true);

    // Asks C to tell this component when it is freed (works across owners).
    void FreeNotification(TComponent* c);
    void RemoveFreeNotification(TComponent* c);
    // Clears every published reference to a component being removed.
    virtual void Notification(TComponent* component, TOperation operation);

    // Loading protocol of the reader.
    virtual void Loading() { FState |= csLoading | csReading; }
    virtual void ReadingDone() { ExcludeState(csReading); }
    virtual void Loaded() { ExcludeState(csLoading); }
    // The components written inside this one when it is the root of a stream.
    virtual void GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root);
    // The object a stream nests this one in (controls take it as their parent).
    virtual void SetParentComponent(TComponent*) {}

    // Named handlers that streamed events bind to (registered on a stream's root).
    template <class... A>
    void RegisterHandler(const std::string& name, std::type_identity_t<std::function<void(A...)>> fn) {
        FHandlers[name] = std::make_unique<THandler<A...>>(std::move(fn));
    }
    // A handler name accepted without code (see TNamedHandler).
    void DeclareHandler(const std::string& name) { FHandlers[name] = std::make_unique<TNamedHandler>(); }
    const THandlerBase* FindHandler(const std::string& name) const;

    TPersistent* GetOwner() const override { return FOwner; }

protected:
    // For reference setters: moves free notification from the old to the new target.
    template <class C>
    void SetReference(C*& field, C* value) {
        if (field == value) return;
        if (field) field->RemoveFreeNotification(this);
        field = value;
        if (value) value->FreeNotification(this);
    }
    virtual void ValidateRename(TComponent* component, const std::string& curName, const std::string& newName);
    void SetNameUnchecked(const std::string& name) { FName = name; }

private:
    void Insert(TComponent* c);
    void Remove(TComponent* c);
    void RemoveNotification(TComponent* c);
    void Destroying();

    TComponent* FOwner = nullptr;
    std::string FName;
    int32_t FTag = 0;
    TComponentState FState = 0;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    struct TNoCaseLess {
        bool operator()(const std::string& a, const std::string& b) const { return AnsiCompareText(a, b) < 0; }
    };
    std::map<std::string, std::unique_ptr<THandlerBase>, TNoCaseLess> FHandlers;
};

// A list of references that a component does not own.
template <class T>
class TRefList {
public:
    int Count() const { return static_cast<int>(FItems.size()); }
    T* operator[](int i) const { return FItems.at(static_cast<size_t>(i)); }
    int Add(T* item) {
        FItems.push_back(item);
        return Count() - 1;
    }
    void Insert(int index, T* item) { FItems.insert(FItems.begin() + index, item); }
    int IndexOf(const T* item) const {
        auto it = std::find(FItems.begin(), FItems.end(), item);
        return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
    }
    int Remove(const T* item) {
        int i = IndexOf(item);
        if (i >= 0) FItems.erase(FItems.begin() + i);
        return i;
    }
    void Delete(int index) { FItems.erase(FItems.begin() + index); }
    void Clear() { FItems.clear(); }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }
    std::vector<T*>& Items() { return FItems; }

private:
    std::vector<T*> FItems;
};

// ---- string lists -----------------------------------------------------------------------

// Opens a file for LoadFromFile/SaveToFile. The machine layer installs one that
// understands its Windows paths; the default opens host paths.
using TFileOpener = std::unique_ptr<TStream> (*)(const std::string& path, bool forWriting);
void SetFileOpener(TFileOpener opener);
std::unique_ptr<TStream> OpenFileStream(const std::string& path, bool forWriting);

class TStrings : public TPersistent {
    KV_CLASS(TStrings, TPersistent)
public:
    virtual int Count() const = 0;
    virtual std::string Get(int index) const = 0;
    virtual void Put(int index, const std::string& s);
    virtual TObject* GetObject(int index) const;
    virtual void PutObject(int index, TObject* obj);
    virtual void Insert(int index, const std::string& s) = 0;
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    virtual int Add(const std::string& s);
    int AddObject(const std::string& s, TObject* obj);
    void AddStrings(const TStrings& other);
    virtual void Move(int from, int to);
    virtual void Exchange(int a, int b);
    virtual int IndexOf(const std::string& s) const;  // case-insensitive
    int IndexOfName(const std::string& name) const;
    int IndexOfObject(const TObject* obj) const;
    std::string operator[](int i) const { return Get(i); }

    // Lines joined with CR LF, each line ended; setting splits at CR, LF or CR LF.
    std::string Text() const;
    void SetText(const std::string& text);
    // Comma-separated, items with blanks, commas or quotes in double quotes.
    std::string CommaText() const;
    void SetCommaText(const std::string& text);
    std::string Names(int index) const;
    std::string Values(const std::string& name) const;
    void SetValue(const std::string& name, const std::string& value);

    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

    void LoadFromStream(TStream& s);
    void SaveToStream(TStream& s) const;
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

    void Assign(const TPersistent* source) override;
    // Streams the lines as the defined property "Strings".
    void DefineProperties(TFiler& filer) override;
    bool Equals(const TStrings& other) const;

protected:
    // Called when BeginUpdate/EndUpdate cross zero.
    virtual void SetUpdateState(bool) {}
    // Runs Fn between BeginUpdate and EndUpdate, also when it raises.
    template <class Fn>
    void Updating(Fn fn) {
        BeginUpdate();
        try {
            fn();
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
    }

private:
    int FUpdateCount = 0;
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList : public TStrings {
    KV_CLASS(TStringList, TStrings)
public:
    TStringList() = default;
    ~TStringList() override = default;

    int Count() const override { return static_cast<int>(FList.size()); }
    std::string Get(int index) const override;
    // The string itself, valid until the list changes.
    const std::string& At(int index) const;
    void Put(int index, const std::string& s) override;
    TObject* GetObject(int index) const override;
    void PutObject(int index, TObject* obj) override;
    int Add(const std::string& s) override;
    void Insert(int index, const std::string& s) override;
    void Delete(int index) override;
    void Clear() override;
    void Exchange(int a, int b) override;
    int IndexOf(const std::string& s) const override;

    bool Sorted() const { return FSorted; }
    void SetSorted(bool v);
    void Sort();
    // Binary search of a sorted list: true when found; Index is where it is or would go.
    bool Find(const std::string& s, int& index) const;
    TDuplicates Duplicates() const { return FDuplicates; }
    void SetDuplicates(TDuplicates d) { FDuplicates = d; }
    bool CaseSensitive() const { return FCaseSensitive; }
    void SetCaseSensitive(bool v) { FCaseSensitive = v; }

    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

protected:
    virtual void Changed();
    virtual void Changing();
    void SetUpdateState(bool updating) override;
    int Compare(const std::string& a, const std::string& b) const;

private:
    [[noreturn]] void IndexError(int index) const;
    struct TItem {
        std::string S;
        TObject* Obj = nullptr;
    };
    std::vector<TItem> FList;
    bool FSorted = false;
    bool FCaseSensitive = false;
    TDuplicates FDuplicates = dupIgnore;
};

// ---- collections ---------------------------------------------------------------------------

class TCollectionItem;

class TCollection : public TPersistent {
    KV_CLASS(TCollection, TPersistent)
public:
    TCollection(const TClass* itemClass, TPersistent* owner = nullptr);
    ~TCollection() override;

    const TClass* ItemClass() const { return FItemClass; }
    int Count() const { return static_cast<int>(FItems.size()); }
    TCollectionItem* Items(int index) const;
    TCollectionItem* Add();
    TCollectionItem* Insert(int index);
    void Delete(int index);
    void Clear();
    TCollectionItem* FindItemID(int id) const;
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate();
    void Assign(const TPersistent* source) override;
    TPersistent* GetOwner() const override { return FOwner; }

protected:
    // Item is the changed item, or nullptr when the whole collection changed.
    virtual void Update(TCollectionItem*) {}
    void Changed();

private:
    friend class TCollectionItem;
    void InsertItem(TCollectionItem* item);
    void RemoveItem(TCollectionItem* item);

    const TClass* FItemClass;
    TPersistent* FOwner;
    std::vector<TCollectionItem*> FItems;
    int FNextID = 0;
    int FUpdateCount = 0;
};

class TCollectionItem : public TPersistent {
    KV_CLASS(TCollectionItem, TPersistent)
public:
    TCollectionItem() = default;
    ~TCollectionItem() override;
    TCollection* Collection() const { return FCollection; }
    void SetCollection(TCollection* c);
    int Index() const;
    void SetIndex(int index);
    int ID() const { return FID; }
    virtual std::string DisplayName() const { return ClassName(); }
    TPersistent* GetOwner() const override { return FCollection; }

protected:
    void Changed(bool allItems);

private:
    friend class TCollection;
    TCollection* FCollection = nullptr;
    int FID = 0;
};

}  // namespace kv
