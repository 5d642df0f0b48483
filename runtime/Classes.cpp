#include "runtime/Classes.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kv {

const TClass* TObject::StaticClass() {
    static const TClass* cls = [] {
        auto* c = new TClass;
        c->Name = "TObject";
        return c;
    }();
    return cls;
}
static detail::TClassRegistrar kv_registrar_TObject(TObject::StaticClass());

// ---- TPersistent --------------------------------------------------------------------------

KV_REGISTER_CLASS(TPersistent, TObject) {}

void TPersistent::Assign(const TPersistent* source) {
    if (source) {
        source->AssignTo(this);
        return;
    }
    AssignError(nullptr);
}

void TPersistent::AssignTo(TPersistent* dest) const { dest->AssignError(this); }

void TPersistent::AssignError(const TPersistent* source) const {
    std::string sourceName = source ? source->ClassName() : "nil";
    throw EConvertError(Format("Cannot assign a %s to a %s", {sourceName, ClassName()}));
}

// ---- TComponent -----------------------------------------------------------------------------

KV_REGISTER_CLASS(TComponent, TPersistent) { b.Integer("Tag", &TComponent::Tag, &TComponent::SetTag, 0); }

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    Destroying();
    // Tell everyone who asked; each answer removes itself from our list.
    while (!FFreeNotifies.empty()) {
        TComponent* c = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& theirs = c->FFreeNotifies;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        c->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::Destroying() {
    if (FState & csDestroying) return;
    FState |= csDestroying;
    for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::DestroyComponents() {
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        Remove(c);
        delete c;
    }
}

void TComponent::SetName(const std::string& name) {
    if (FName == name) return;
    if (!name.empty() && !IsValidIdent(name))
        throw EComponentError(Format("'%s' is not a valid component name", {name}));
    if (FOwner) FOwner->ValidateRename(this, FName, name);
    else ValidateRename(nullptr, FName, name);
    FName = name;
}

void TComponent::ValidateRename(TComponent* component, const std::string& curName, const std::string& newName) {
    if (component && !SameText(curName, newName) && component->FOwner == this && !newName.empty()) {
        TComponent* other = FindComponent(newName);
        if (other && other != component)
            throw EComponentError(Format("A component named %s already exists", {newName}));
    }
}

int TComponent::ComponentIndex() const {
    if (!FOwner) return -1;
    auto& list = FOwner->FComponents;
    auto it = std::find(list.begin(), list.end(), this);
    return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty()) return nullptr;
    for (TComponent* c : FComponents)
        if (SameText(c->FName, name)) return c;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* c) {
    if (c->FOwner) c->FOwner->RemoveComponent(c);
    ValidateRename(c, "", c->FName);
    Insert(c);
    if (FState & csDesigning) c->SetDesigning(true);
    Notification(c, opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
    Notification(c, opRemove);
    Remove(c);
}

void TComponent::Insert(TComponent* c) {
    FComponents.push_back(c);
    c->FOwner = this;
}

void TComponent::Remove(TComponent* c) {
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), c), FComponents.end());
    c->FOwner = nullptr;
}

void TComponent::SetDesigning(bool value, bool setChildren) {
    if (value) FState |= csDesigning;
    else FState &= ~static_cast<uint32_t>(csDesigning);
    if (setChildren)
        for (TComponent* c : FComponents) c->SetDesigning(value);
}

void TComponent::FreeNotification(TComponent* c) {
    if (!c || c == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), c) == FFreeNotifies.end()) FFreeNotifies.push_back(c);
    if (std::find(c->FFreeNotifies.begin(), c->FFreeNotifies.end(), this) == c->FFreeNotifies.end())
        c->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* c) {
    if (!c) return;
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), c), FFreeNotifies.end());
    c->FFreeNotifies.erase(std::remove(c->FFreeNotifies.begin(), c->FFreeNotifies.end(), this),
                           c->FFreeNotifies.end());
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    if (operation == opRemove && component) {
        RemoveNotification(component);
    }
    // Pass it on to what we own, as the owner of a removed component must.
    for (size_t i = FComponents.size(); i-- > 0;) {
        if (i < FComponents.size()) FComponents[i]->Notification(component, operation);
    }
}

void TComponent::RemoveNotification(TComponent* component) {
    FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), component), FFreeNotifies.end());
    for (const TPropInfo* p : ClassType()->AllProps()) {
        if (p->Kind == TPropKind::Component && p->GetComp && p->SetComp && p->GetComp(*this) == component)
            p->SetComp(*this, nullptr);
    }
}

void TComponent::GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) {
    if (root == this)
        for (TComponent* c : FComponents) proc(c);
}

const THandlerBase* TComponent::FindHandler(const std::string& name) const {
    auto it = FHandlers.find(name);
    return it == FHandlers.end() ? nullptr : it->second.get();
}

// ---- file opening -----------------------------------------------------------------------------

namespace {
class THostFileStream : public TStream {
public:
    THostFileStream(const std::string& path, bool forWriting) {
        FFile = std::fopen(path.c_str(), forWriting ? "wb" : "rb");
        if (!FFile) {
            if (forWriting) throw EFCreateError("Cannot create file \"" + path + "\"");
            throw EFOpenError("Cannot open file \"" + path + "\"");
        }
    }
    ~THostFileStream() override { std::fclose(FFile); }
    int64_t Read(void* b, int64_t n) override { return static_cast<int64_t>(std::fread(b, 1, static_cast<size_t>(n), FFile)); }
    int64_t Write(const void* b, int64_t n) override {
        return static_cast<int64_t>(std::fwrite(b, 1, static_cast<size_t>(n), FFile));
    }
    int64_t Seek(int64_t off, TSeekOrigin o) override {
        std::fseek(FFile, off, o == soBeginning ? SEEK_SET : o == soCurrent ? SEEK_CUR : SEEK_END);
        return std::ftell(FFile);
    }

private:
    std::FILE* FFile;
};

std::unique_ptr<TStream> OpenHostFile(const std::string& path, bool forWriting) {
    return std::make_unique<THostFileStream>(path, forWriting);
}
TFileOpener gOpener = &OpenHostFile;
}  // namespace

void SetFileOpener(TFileOpener opener) { gOpener = opener ? opener : &OpenHostFile; }

std::unique_ptr<TStream> OpenFileStream(const std::string& path, bool forWriting) { return gOpener(path, forWriting); }

// ---- TStrings ---------------------------------------------------------------------------------

KV_REGISTER_CLASS(TStrings, TPersistent) {}

void TStrings::Put(int index, const std::string& s) {
    TObject* obj = GetObject(index);
    Delete(index);
    Insert(index, s);
    PutObject(index, obj);
}

TObject* TStrings::GetObject(int) const { return nullptr; }
void TStrings::PutObject(int, TObject*) {}

int TStrings::Add(const std::string& s) {
    int i = Count();
    Insert(i, s);
    return i;
}

int TStrings::AddObject(const std::string& s, TObject* obj) {
    int i = Add(s);
    PutObject(i, obj);
    return i;
}

void TStrings::AddStrings(const TStrings& other) {
    Updating([&] {
        for (int i = 0; i < other.Count(); ++i) AddObject(other.Get(i), other.GetObject(i));
    });
}

void TStrings::Move(int from, int to) {
    if (from == to) return;
    Updating([&] {
        std::string s = Get(from);
        TObject* obj = GetObject(from);
        Delete(from);
        Insert(to, s);
        PutObject(to, obj);
    });
}

void TStrings::Exchange(int a, int b) {
    Updating([&] {
        std::string sa = Get(a), sb = Get(b);
        TObject *oa = GetObject(a), *ob = GetObject(b);
        Put(a, sb);
        PutObject(a, ob);
        Put(b, sa);
        PutObject(b, oa);
    });
}

int TStrings::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Get(i), s)) return i;
    return -1;
}

int TStrings::IndexOfName(const std::string& name) const {
    for (int i = 0; i < Count(); ++i) {
        std::string s = Get(i);
        size_t eq = s.find('=');
        if (eq != std::string::npos && SameText(s.substr(0, eq), name)) return i;
    }
    return -1;
}

int TStrings::IndexOfObject(const TObject* obj) const {
    for (int i = 0; i < Count(); ++i)
        if (GetObject(i) == obj) return i;
    return -1;
}

std::string TStrings::Text() const {
    std::string r;
    for (int i = 0; i < Count(); ++i) {
        r += Get(i);
        r += "\r\n";
    }
    return r;
}

void TStrings::SetText(const std::string& text) {
    Updating([&] {
        Clear();
        size_t i = 0;
        while (i < text.size()) {
            size_t start = i;
            while (i < text.size() && text[i] != '\r' && text[i] != '\n') ++i;
            Add(text.substr(start, i - start));
            if (i < text.size() && text[i] == '\r') ++i;
            if (i < text.size() && text[i] == '\n') ++i;
        }
    });
}

std::string TStrings::CommaText() const {
    if (Count() == 1 && Get(0).empty()) return "\"\"";
    std::string r;
    for (int i = 0; i < Count(); ++i) {
        std::string s = Get(i);
        bool quote = false;
        for (char c : s)
            if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"') quote = true;
        if (i > 0) r += ',';
        if (quote) {
            r += '"';
            for (char c : s) {
                r += c;
                if (c == '"') r += '"';
            }
            r += '"';
        } else {
            r += s;
        }
    }
    return r;
}

void TStrings::SetCommaText(const std::string& text) {
    Updating([&] {
        Clear();
        size_t i = 0;
        auto skipBlanks = [&] {
            while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
        };
        skipBlanks();
        while (i < text.size()) {
            std::string item;
            if (text[i] == '"') {
                ++i;
                while (i < text.size()) {
                    if (text[i] == '"') {
                        if (i + 1 < text.size() && text[i + 1] == '"') {
                            item += '"';
                            i += 2;
                            continue;
                        }
                        ++i;
                        break;
                    }
                    item += text[i++];
                }
            } else {
                while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' && text[i] != ',') item += text[i++];
            }
            Add(item);
            skipBlanks();
            if (i < text.size() && text[i] == ',') {
                ++i;
                skipBlanks();
                if (i >= text.size()) Add("");
            }
        }
    });
}

std::string TStrings::Names(int index) const {
    std::string s = Get(index);
    size_t eq = s.find('=');
    return eq == std::string::npos ? "" : s.substr(0, eq);
}

std::string TStrings::Values(const std::string& name) const {
    int i = IndexOfName(name);
    if (i < 0) return "";
    std::string s = Get(i);
    return s.substr(s.find('=') + 1);
}

void TStrings::SetValue(const std::string& name, const std::string& value) {
    int i = IndexOfName(name);
    if (value.empty()) {
        if (i >= 0) Delete(i);
    } else if (i >= 0) {
        Put(i, name + "=" + value);
    } else {
        Add(name + "=" + value);
    }
}

void TStrings::BeginUpdate() {
    if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
    if (FUpdateCount > 0 && --FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::LoadFromStream(TStream& s) {
    int64_t size = s.Size() - s.Position();
    SetText(s.ReadString(size));
}

void TStrings::SaveToStream(TStream& s) const { s.WriteString(Text()); }

void TStrings::LoadFromFile(const std::string& path) {
    auto s = OpenFileStream(path, false);
    LoadFromStream(*s);
}

void TStrings::SaveToFile(const std::string& path) const {
    auto s = OpenFileStream(path, true);
    SaveToStream(*s);
}

void TStrings::Assign(const TPersistent* source) {
    if (auto* src = dynamic_cast<const TStrings*>(source)) {
        if (src == this) return;
        Updating([&] {
            Clear();
            AddStrings(*src);
        });
        return;
    }
    TPersistent::Assign(source);
}

bool TStrings::Equals(const TStrings& other) const {
    if (Count() != other.Count()) return false;
    for (int i = 0; i < Count(); ++i)
        if (Get(i) != other.Get(i)) return false;
    return true;
}

// ---- TStringList ---------------------------------------------------------------------------

KV_REGISTER_CLASS(TStringList, TStrings) {}

void TStringList::IndexError(int index) const {
    throw EStringListError(Format("List index out of bounds (%d)", {index}));
}

std::string TStringList::Get(int index) const { return At(index); }

const std::string& TStringList::At(int index) const {
    if (index < 0 || index >= Count()) IndexError(index);
    return FList[static_cast<size_t>(index)].S;
}

void TStringList::Put(int index, const std::string& s) {
    if (FSorted) throw EStringListError("Operation not allowed on sorted list");
    if (index < 0 || index >= Count()) IndexError(index);
    Changing();
    FList[static_cast<size_t>(index)].S = s;
    Changed();
}

TObject* TStringList::GetObject(int index) const {
    if (index < 0 || index >= Count()) IndexError(index);
    return FList[static_cast<size_t>(index)].Obj;
}

void TStringList::PutObject(int index, TObject* obj) {
    if (index < 0 || index >= Count()) IndexError(index);
    Changing();
    FList[static_cast<size_t>(index)].Obj = obj;
    Changed();
}

int TStringList::Compare(const std::string& a, const std::string& b) const {
    return FCaseSensitive ? AnsiCompareStr(a, b) : AnsiCompareText(a, b);
}

bool TStringList::Find(const std::string& s, int& index) const {
    int lo = 0, hi = Count() - 1;
    bool found = false;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = Compare(FList[static_cast<size_t>(mid)].S, s);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                found = true;
                if (FDuplicates != dupAccept) lo = mid;
            }
        }
    }
    index = lo;
    return found;
}

int TStringList::Add(const std::string& s) {
    if (!FSorted) {
        Insert(Count(), s);
        return Count() - 1;
    }
    int index;
    if (Find(s, index)) {
        if (FDuplicates == dupIgnore) return index;
        if (FDuplicates == dupError) throw EStringListError("String list does not allow duplicates");
    }
    Changing();
    FList.insert(FList.begin() + index, TItem{s, nullptr});
    Changed();
    return index;
}

void TStringList::Insert(int index, const std::string& s) {
    if (FSorted) throw EStringListError("Operation not allowed on sorted list");
    if (index < 0 || index > Count()) IndexError(index);
    Changing();
    FList.insert(FList.begin() + index, TItem{s, nullptr});
    Changed();
}

void TStringList::Delete(int index) {
    if (index < 0 || index >= Count()) IndexError(index);
    Changing();
    FList.erase(FList.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (FList.empty()) return;
    Changing();
    FList.clear();
    Changed();
}

void TStringList::Exchange(int a, int b) {
    if (a < 0 || a >= Count()) IndexError(a);
    if (b < 0 || b >= Count()) IndexError(b);
    Changing();
    std::swap(FList[static_cast<size_t>(a)], FList[static_cast<size_t>(b)]);
    Changed();
}

int TStringList::IndexOf(const std::string& s) const {
    if (!FSorted) {
        for (int i = 0; i < Count(); ++i)
            if (Compare(FList[static_cast<size_t>(i)].S, s) == 0) return i;
        return -1;
    }
    int index;
    return Find(s, index) ? index : -1;
}

void TStringList::SetSorted(bool v) {
    if (FSorted == v) return;
    if (v) Sort();
    FSorted = v;
}

void TStringList::Sort() {
    Changing();
    std::stable_sort(FList.begin(), FList.end(), [this](const TItem& a, const TItem& b) { return Compare(a.S, b.S) < 0; });
    Changed();
}

void TStringList::Changed() {
    if (UpdateCount() == 0) OnChange(this);
}

void TStringList::Changing() {
    if (UpdateCount() == 0) OnChanging(this);
}

void TStringList::SetUpdateState(bool updating) {
    if (updating) OnChanging(this);
    else OnChange(this);
}

// ---- collections ---------------------------------------------------------------------------

KV_REGISTER_CLASS(TCollection, TPersistent) {}
KV_REGISTER_CLASS(TCollectionItem, TPersistent) {}

TCollection::TCollection(const TClass* itemClass, TPersistent* owner) : FItemClass(itemClass), FOwner(owner) {}

TCollection::~TCollection() {
    FUpdateCount = 1;
    Clear();
}

TCollectionItem* TCollection::Items(int index) const {
    if (index < 0 || index >= Count()) throw EListError(Format("List index out of bounds (%d)", {index}));
    return FItems[static_cast<size_t>(index)];
}

TCollectionItem* TCollection::Add() {
    TObject* obj = FItemClass->Create(nullptr);
    auto* item = dynamic_cast<TCollectionItem*>(obj);
    if (!item) {
        delete obj;
        throw EListError("Collection item class " + FItemClass->Name + " is not a TCollectionItem");
    }
    item->SetCollection(this);
    return item;
}

TCollectionItem* TCollection::Insert(int index) {
    TCollectionItem* item = Add();
    item->SetIndex(index);
    return item;
}

void TCollection::Delete(int index) { delete Items(index); }

void TCollection::Clear() {
    if (FItems.empty()) return;
    BeginUpdate();
    while (!FItems.empty()) delete FItems.back();
    EndUpdate();
}

TCollectionItem* TCollection::FindItemID(int id) const {
    for (TCollectionItem* i : FItems)
        if (i->FID == id) return i;
    return nullptr;
}

void TCollection::EndUpdate() {
    if (FUpdateCount > 0 && --FUpdateCount == 0) Changed();
}

void TCollection::Changed() {
    if (FUpdateCount == 0) Update(nullptr);
}

void TCollection::Assign(const TPersistent* source) {
    if (auto* src = dynamic_cast<const TCollection*>(source)) {
        if (src == this) return;
        BeginUpdate();
        try {
            Clear();
            for (TCollectionItem* i : src->FItems) Add()->Assign(i);
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
        return;
    }
    TPersistent::Assign(source);
}

void TCollection::InsertItem(TCollectionItem* item) {
    FItems.push_back(item);
    item->FCollection = this;
    item->FID = FNextID++;
    Changed();
}

void TCollection::RemoveItem(TCollectionItem* item) {
    FItems.erase(std::remove(FItems.begin(), FItems.end(), item), FItems.end());
    item->FCollection = nullptr;
    Changed();
}

TCollectionItem::~TCollectionItem() {
    if (FCollection) FCollection->RemoveItem(this);
}

void TCollectionItem::SetCollection(TCollection* c) {
    if (FCollection == c) return;
    if (FCollection) FCollection->RemoveItem(this);
    if (c) c->InsertItem(this);
}

int TCollectionItem::Index() const {
    if (!FCollection) return -1;
    auto& items = FCollection->FItems;
    return static_cast<int>(std::find(items.begin(), items.end(), this) - items.begin());
}

void TCollectionItem::SetIndex(int index) {
    int cur = Index();
    if (cur < 0 || index == cur) return;
    auto& items = FCollection->FItems;
    index = std::clamp(index, 0, static_cast<int>(items.size()) - 1);
    items.erase(items.begin() + cur);
    items.insert(items.begin() + index, this);
    Changed(true);
}

void TCollectionItem::Changed(bool allItems) {
    if (FCollection && FCollection->FUpdateCount == 0) FCollection->Update(allItems ? nullptr : this);
}

}  // namespace kv
