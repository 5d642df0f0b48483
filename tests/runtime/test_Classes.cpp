#include <gtest/gtest.h>

#include "runtime/Classes.h"

using namespace kv;

namespace {
class TLinkHolder : public TComponent {
    KV_CLASS(TLinkHolder, TComponent)
public:
    using TComponent::TComponent;
    TComponent* Link() const { return FLink; }
    void SetLink(TComponent* c) { SetReference(FLink, c); }
    std::vector<std::string> Seen;
    void Notification(TComponent* c, TOperation op) override {
        Seen.push_back((op == opInsert ? "+" : "-") + c->Name());
        inherited::Notification(c, op);
    }

private:
    TComponent* FLink = nullptr;
};
}  // namespace
KV_REGISTER_CLASS(TLinkHolder, TComponent) { b.Reference<TComponent>("Link", &TLinkHolder::Link, &TLinkHolder::SetLink); }

TEST(Component, NamesAreCheckedAndUnique) {
    TComponent owner(nullptr);
    auto* a = new TComponent(&owner);
    a->SetName("Install1");
    auto* b = new TComponent(&owner);
    struct Case { const char* name; const char* error; };
    const Case cases[] = {
        {"1abc", "'1abc' is not a valid component name"},
        {"a b", "'a b' is not a valid component name"},
        {"INSTALL1", "A component named INSTALL1 already exists"},
    };
    for (const auto& c : cases) {
        try {
            b->SetName(c.name);
            FAIL() << c.name;
        } catch (const EComponentError& e) {
            EXPECT_EQ(e.Message(), c.error);
        }
    }
    b->SetName("Install2");
    EXPECT_EQ(owner.FindComponent("install2"), b);
    a->SetName("install1");  // same name, other case: allowed
    EXPECT_EQ(owner.ComponentCount(), 2);
}

TEST(Component, FreeingClearsReferencesAlsoAcrossOwners) {
    auto* form1 = new TComponent(nullptr);
    auto* form2 = new TComponent(nullptr);
    auto* holder = new TLinkHolder(form1);
    auto* sibling = new TComponent(form1);
    sibling->SetName("Sibling");
    holder->SetLink(sibling);
    delete sibling;
    EXPECT_EQ(holder->Link(), nullptr);
    auto* far = new TComponent(form2);
    far->SetName("Far");
    holder->SetLink(far);
    delete form2;  // frees Far, which tells the holder on the other form
    EXPECT_EQ(holder->Link(), nullptr);
    EXPECT_EQ(holder->Seen.back(), "-Far");
    // Owner notifications reach owned components on insert and remove.
    auto* c = new TComponent(form1);
    EXPECT_EQ(holder->Seen.back(), "+");  // inserted before it has a name
    c->SetName("C");
    delete c;
    EXPECT_EQ(holder->Seen.back(), "-C");
    delete form1;
}

TEST(Component, OwnerFreesOwnedComponents) {
    int alive = 0;
    struct TCounted : TComponent {
        int& N;
        TCounted(TComponent* o, int& n) : TComponent(o), N(n) { ++N; }
        ~TCounted() override { --N; }
    };
    auto* owner = new TComponent(nullptr);
    for (int i = 0; i < 3; ++i) new TCounted(owner, alive);
    EXPECT_EQ(alive, 3);
    delete owner;
    EXPECT_EQ(alive, 0);
}

TEST(Persistent, AssignErrorNamesBothClasses) {
    TStringList list;
    TComponent comp(nullptr);
    try {
        comp.Assign(&list);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TStringList to a TComponent");
    }
    try {
        list.Assign(nullptr);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a nil to a TStringList");
    }
}

TEST(StringList, EditingAndText) {
    TStringList l;
    int changes = 0;
    l.OnChange = [&](TObject*) { ++changes; };
    l.Add("b");
    l.Add("a");
    l.Insert(0, "c");
    EXPECT_EQ(l.Text(), "c\r\nb\r\na\r\n");
    l.Move(0, 2);
    EXPECT_EQ(l.CommaText(), "b,a,c");
    l.Exchange(0, 1);
    EXPECT_EQ(l.CommaText(), "a,b,c");
    EXPECT_EQ(l.IndexOf("B"), 1);
    l.Delete(1);
    EXPECT_EQ(l.Count(), 2);
    EXPECT_THROW(l.Delete(5), EStringListError);
    int before = changes;
    l.BeginUpdate();
    l.Add("x");
    l.Add("y");
    l.EndUpdate();
    EXPECT_EQ(changes, before + 1);  // one change for the whole update
    l.SetText("one\rtwo\nthree\r\n\r\nfive");
    EXPECT_EQ(l.Count(), 5);
    EXPECT_EQ(l[3], "");
    l.SetCommaText("a, \"b c\",\"d\"\"e\" ,f");
    EXPECT_EQ(l.Count(), 4);
    EXPECT_EQ(l[1], "b c");
    EXPECT_EQ(l[2], "d\"e");
    EXPECT_EQ(l.CommaText(), "a,\"b c\",\"d\"\"e\",f");
}

TEST(StringList, SortedListsFindAndRefuseInsert) {
    TStringList l;
    l.SetSorted(true);
    for (const char* s : {"pear", "Apple", "fig", "apple"}) l.Add(s);
    EXPECT_EQ(l.CommaText(), "Apple,fig,pear");  // duplicates ignored, case-insensitive
    EXPECT_THROW(l.Insert(0, "z"), EStringListError);
    l.SetDuplicates(dupError);
    EXPECT_THROW(l.Add("FIG"), EStringListError);
    EXPECT_EQ(l.IndexOf("PEAR"), 2);
}

namespace {
class TEntry : public TCollectionItem {
    KV_CLASS(TEntry, TCollectionItem)
public:
    std::string Value;
};
}  // namespace
KV_REGISTER_CLASS(TEntry, TCollectionItem) { b.String("Value", &TEntry::Value, &TEntry::Value); }

TEST(Collection, ItemsKnowTheirIndex) {
    TCollection c(TEntry::StaticClass());
    auto* a = static_cast<TEntry*>(c.Add());
    auto* b = static_cast<TEntry*>(c.Add());
    EXPECT_EQ(b->Index(), 1);
    b->SetIndex(0);
    EXPECT_EQ(c.Items(0), b);
    delete a;
    EXPECT_EQ(c.Count(), 1);
    EXPECT_THROW(c.Items(3), EListError);
}

TEST(ClassRegistry, FindsAndCreatesByName) {
    const TClass* cls = FindClass("tlinkholder");
    ASSERT_NE(cls, nullptr);
    TComponent owner(nullptr);
    auto* obj = cls->Create(&owner);
    EXPECT_TRUE(obj->Is<TComponent>());
    EXPECT_EQ(owner.ComponentCount(), 1);
    EXPECT_NE(cls->FindProp("link"), nullptr);
    EXPECT_NE(cls->FindProp("Tag"), nullptr);  // inherited
    EXPECT_THROW(FindClass("TNoSuch"), EClassNotFound);
}

TEST(Events, BindByHandlerName) {
    TComponent root(nullptr);
    int calls = 0;
    root.RegisterHandler<TObject*>("Form1Click", [&](TObject*) { ++calls; });
    root.RegisterHandler<TObject*, bool&>("Form1Ask", [](TObject*, bool& ok) { ok = false; });
    TNotifyEvent ev;
    ev(nullptr);  // unassigned: skipped
    ASSERT_TRUE(ev.Bind("Form1Click", *root.FindHandler("form1click")));
    ev(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ev.Name(), "Form1Click");
    EXPECT_FALSE(ev.Bind("Form1Ask", *root.FindHandler("Form1Ask")));  // wrong parameters
}

namespace {
// Records which class a virtual call reached during and after construction.
class TBaseProbe : public TComponent {
    KV_CLASS(TBaseProbe, TComponent)
public:
    explicit TBaseProbe(TComponent* owner) : TComponent(owner) { Seen.push_back(Kind()); }
    virtual std::string Kind() const { return "base"; }
    void AfterConstruction() override {
        if (Tag() < 0) throw EComponentError("refused");
        Seen.push_back(Kind());
    }
    std::vector<std::string> Seen;
};
class TDerivedProbe : public TBaseProbe {
    KV_CLASS(TDerivedProbe, TBaseProbe)
public:
    explicit TDerivedProbe(TComponent* owner) : TBaseProbe(owner) { SetTag(owner ? owner->Tag() : 0); }
    std::string Kind() const override { return "derived"; }
};
}  // namespace
KV_REGISTER_CLASS(TBaseProbe, TComponent) {}
KV_REGISTER_CLASS(TDerivedProbe, TBaseProbe) {}

TEST(Component, AfterConstructionSeesTheWholeClass) {
    TComponent owner(nullptr);
    auto* a = Create<TDerivedProbe>(&owner);
    EXPECT_EQ(a->Seen, (std::vector<std::string>{"base", "derived"}));
    auto* b = static_cast<TDerivedProbe*>(FindClass("TDerivedProbe")->Create(&owner));
    EXPECT_EQ(b->Seen, (std::vector<std::string>{"base", "derived"}));
    // A refusal frees the half-made object: the owner does not keep it.
    owner.SetTag(-1);
    EXPECT_THROW(Create<TDerivedProbe>(&owner), EComponentError);
    EXPECT_THROW(FindClass("TDerivedProbe")->Create(&owner), EComponentError);
    EXPECT_EQ(owner.ComponentCount(), 2);
}
