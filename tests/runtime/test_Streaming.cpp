#include <gtest/gtest.h>

#include <random>

#include "runtime/Streaming.h"

using namespace kv;

namespace {

const TEnumInfo kColourInfo{"TColourKind", {"ckRed", "ckGreen", "ckBlue"}};
enum TColourKind { ckRed, ckGreen, ckBlue };

class TInfo : public TPersistent {
    KV_CLASS(TInfo, TPersistent)
public:
    std::string CompanyName, Version = "1.0";
    void Assign(const TPersistent* s) override {
        if (auto* o = dynamic_cast<const TInfo*>(s)) {
            CompanyName = o->CompanyName;
            Version = o->Version;
            return;
        }
        inherited::Assign(s);
    }
};

class TEntryItem : public TCollectionItem {
    KV_CLASS(TEntryItem, TCollectionItem)
public:
    std::string Key;
    int32_t Size = 0;
};

// A component with every kind of published value.
class TThing : public TComponent {
    KV_CLASS(TThing, TComponent)
public:
    explicit TThing(TComponent* owner) : TComponent(owner), Entries(TEntryItem::StaticClass(), this) {}
    int32_t Count = 5;
    int64_t Big = 0;
    uint16_t Small = 0;
    uint8_t Tiny = 0;
    bool Enabled = true;
    double Ratio = 0;
    std::string Caption;
    TColourKind Colour = ckRed;
    uint32_t Colours = 0;
    TInfo Information;
    TStringList Lines;
    TCollection Entries;
    TNotifyEvent OnClick;
    int32_t UniqueID = 0;
    std::vector<std::string> Log;  // what happened while loading

    TThing* Link() const { return FLink; }
    void SetLink(TThing* t) {
        if (InState(csLoading)) Log.push_back("store link");
        SetReference(FLink, t);
    }
    TInfo* GetInformation() { return &Information; }
    TStringList* GetLines() { return &Lines; }
    TCollection* GetEntries() { return &Entries; }
    void Loaded() override {
        inherited::Loaded();
        Log.push_back(std::string("loaded, link ") + (FLink ? FLink->Name() : "nil"));
    }
    void DefineProperties(TFiler& f) override {
        f.DefineProperty(
            "UniqueID",
            [this](const TValue& v) {
                if (v.Kind != TValue::vaInt) throw EReadError("UniqueID must be an integer");
                UniqueID = static_cast<int32_t>(v.Int);
            },
            [this] { return TValue::Integer(UniqueID); }, UniqueID != 0);
    }

private:
    TThing* FLink = nullptr;
};

class TRootForm : public TComponent {
    KV_CLASS(TRootForm, TComponent)
public:
    using TComponent::TComponent;
    int32_t Width = 0;
};

}  // namespace

KV_REGISTER_CLASS(TInfo, TPersistent) {
    b.String("CompanyName", &TInfo::CompanyName, &TInfo::CompanyName);
    b.String("Version", &TInfo::Version, &TInfo::Version, "1.0");
}
KV_REGISTER_CLASS(TEntryItem, TCollectionItem) {
    b.String("Key", &TEntryItem::Key, &TEntryItem::Key);
    b.Integer("Size", &TEntryItem::Size, &TEntryItem::Size);
}
KV_REGISTER_CLASS(TThing, TComponent) {
    b.Integer("Count", &TThing::Count, &TThing::Count, 5);
    b.Int64("Big", &TThing::Big, &TThing::Big);
    b.Word("Small", &TThing::Small, &TThing::Small);
    b.Byte("Tiny", &TThing::Tiny, &TThing::Tiny);
    b.Boolean("Enabled", &TThing::Enabled, &TThing::Enabled, true);
    b.Float("Ratio", &TThing::Ratio, &TThing::Ratio);
    b.String("Caption", &TThing::Caption, &TThing::Caption);
    b.Enum<TColourKind>("Colour", kColourInfo, &TThing::Colour, &TThing::Colour, ckRed);
    b.Set("Colours", kColourInfo, &TThing::Colours, &TThing::Colours);
    b.Object<TInfo>("Information", &TThing::GetInformation);
    b.Object<TStringList>("Lines", &TThing::GetLines);
    b.Object<TCollection>("Entries", &TThing::GetEntries);
    b.Reference<TThing>("Link", &TThing::Link, &TThing::SetLink);
    b.Event("OnClick", &TThing::OnClick);
}
KV_REGISTER_CLASS(TRootForm, TComponent) { b.Integer("Width", &TRootForm::Width, &TRootForm::Width, 0); }

namespace {

// Every value kind, references in both directions, handlers, in canonical form.
const char* kEveryKind =
    "object Form1: TRootForm\n"
    "  Width = 640\n"
    "  object Thing1: TThing\n"
    "    Count = -3\n"
    "    Big = 123456789012\n"
    "    Small = 65535\n"
    "    Tiny = 255\n"
    "    Enabled = False\n"
    "    Ratio = 2.5\n"
    "    Caption = 'It''s '#13#10'two lines'#233\n"
    "    Colour = ckBlue\n"
    "    Colours = [ckRed, ckBlue]\n"
    "    Information.CompanyName = 'Kelvane'\n"
    "    Information.Version = '2.0'\n"
    "    Lines.Strings = (\n"
    "      'first'\n"
    "      ''\n"
    "      'third')\n"
    "    Entries = <\n"
    "      item\n"
    "        Key = 'a'\n"
    "        Size = 1\n"
    "      end\n"
    "      item\n"
    "        Key = 'b'\n"
    "      end>\n"
    "    Link = Thing2\n"
    "    OnClick = Form1Click\n"
    "    UniqueID = 42\n"
    "  end\n"
    "  object Thing2: TThing\n"
    "    Link = Thing1\n"
    "  end\n"
    "end\n";

std::unique_ptr<TComponent> Read(const std::string& text, TComponent* handlers = nullptr, bool generic = false) {
    TReadOptions opt;
    opt.FileName = "test.def";
    opt.HandlerSource = handlers;
    opt.Generic = generic;
    return std::unique_ptr<TComponent>(ReadComponentText(text, opt));
}

TComponent& Handlers() {
    static TComponent h(nullptr);
    static bool once = [] {
        h.RegisterHandler<TObject*>("Form1Click", [](TObject*) {});
        return true;
    }();
    (void)once;
    return h;
}

}  // namespace

TEST(Streaming, ReadsEveryKindAndResolvesForwardReferences) {
    auto root = Read(kEveryKind, &Handlers());
    auto* t1 = static_cast<TThing*>(root->FindComponent("Thing1"));
    auto* t2 = static_cast<TThing*>(root->FindComponent("Thing2"));
    ASSERT_TRUE(t1 && t2);
    EXPECT_EQ(static_cast<TRootForm*>(root.get())->Width, 640);
    EXPECT_EQ(t1->Count, -3);
    EXPECT_EQ(t1->Big, 123456789012);
    EXPECT_EQ(t1->Small, 65535);
    EXPECT_FALSE(t1->Enabled);
    EXPECT_EQ(t1->Ratio, 2.5);
    EXPECT_EQ(t1->Caption, "It's \r\ntwo lines\xE9");
    EXPECT_EQ(t1->Colour, ckBlue);
    EXPECT_EQ(t1->Colours, 5u);
    EXPECT_EQ(t1->Information.CompanyName, "Kelvane");
    EXPECT_EQ(t1->Lines.Count(), 3);
    EXPECT_EQ(t1->Entries.Count(), 2);
    EXPECT_EQ(static_cast<TEntryItem*>(t1->Entries.Items(0))->Size, 1);
    EXPECT_EQ(t1->Link(), t2);  // forward reference
    EXPECT_EQ(t2->Link(), t1);
    EXPECT_EQ(t1->OnClick.Name(), "Form1Click");
    EXPECT_TRUE(t1->OnClick.Assigned());
    EXPECT_EQ(t1->UniqueID, 42);
    // The reference was stored while loading, and Loaded saw every reference resolved.
    EXPECT_EQ(t1->Log, (std::vector<std::string>{"store link", "loaded, link Thing2"}));
    EXPECT_EQ(t2->Log, (std::vector<std::string>{"store link", "loaded, link Thing1"}));
    EXPECT_FALSE(t1->InState(csLoading));
}

TEST(Streaming, WritesOnlyDifferencesAndRoundTrips) {
    auto root = Read(kEveryKind, &Handlers());
    EXPECT_EQ(WriteComponentText(root.get()), kEveryKind);
    auto generic = Read(kEveryKind, nullptr, true);  // classes known, handlers as names
    EXPECT_EQ(WriteComponentText(generic.get()), kEveryKind);
    // Defaults are not written.
    TRootForm form(nullptr);
    form.SetName("Form1");
    auto* t = new TThing(&form);
    t->SetName("T");
    EXPECT_EQ(WriteComponentText(&form), "object Form1: TRootForm\n  object T: TThing\n  end\nend\n");
}

TEST(Streaming, GenericModeKeepsUnknownClassesAsPropertyBags) {
    const std::string text =
        "object Form1: TSetupForm\n"
        "  Caption = 'Setup'\n"
        "  object Install1: TSetupEngine\n"
        "    Information.CompanyName = 'ACME'\n"
        "    DestDirType = psProgramFiles\n"
        "    Data = {\n"
        "      00FF10}\n"
        "    Things = [a, b]\n"
        "    Items = ()\n"
        "    Empty = <>\n"
        "    OnBeforeProcess = Form1Before\n"
        "    Nothing = nil\n"
        "  end\n"
        "end\n";
    auto root = Read(text, nullptr, true);
    EXPECT_EQ(WriteComponentText(root.get()), text);
    EXPECT_THROW(Read(text), EParserError);  // not generic: TSetupForm is unknown
}

TEST(Streaming, EveryFaultNamesLineAndColumn) {
    struct Case { std::string text; std::string where; std::string what; };
    const Case cases[] = {
        {"object F: TRootForm\n  object X: TNoSuchClass\n  end\nend\n", ":2:3:", "Class TNoSuchClass not found"},
        {"object F: TRootForm\n  Height = 3\nend\n", ":2:3:", "Property Height does not exist"},
        {"object F: TRootForm\n  Width = 'wide'\nend\n", ":2:11:", "an integer expected"},
        {"object F: TRootForm\n  object T: TThing\n    Colour = ckPurple\n  end\nend\n", ":3:14:", "Invalid property value ckPurple"},
        {"object F: TRootForm\n  object T: TThing\n    Colours = [ckRed, nope]\n  end\nend\n", ":3:15:", "Invalid property value nope"},
        {"object F: TRootForm\n  object T: TThing\n    Link = Nobody\n  end\nend\n", ":3:12:", "Unresolved reference to Nobody"},
        {"object F: TRootForm\n  object T: TThing\n    OnClick = NoHandler\n  end\nend\n", ":3:15:", "Handler NoHandler does not exist"},
        {"object F: TRootForm\n  object T: TThing\n    Caption = 'open\n  end\nend\n", ":3:15:", "Unterminated string"},
        {"object F: TRootForm\n  object T: TThing\n    Small = 3\n", ":4:1:", "Missing 'end' of object T"},
        {"object F: TRootForm\nend\ngarbage\n", ":3:1:", "Unexpected text after the end"},
        {"object F: TRootForm\n  object T: TThing\n    Small = 70000\n  end\nend\n", ":3:13:", "Value out of range"},
        {"object F: TRootForm\n  object T: TThing\n    Lines.Strings = ('a' 3)\n  end\nend\n", ":3:21:", "list of strings"},
        {"object F: TRootForm\n  object T: TThing\n    Link = Form2\n  end\n  object Form2: TRootForm\n  end\nend\n", ":3:12:", "not a TThing"},
        {"object F: TRootForm\n  object T: TThing\n    UniqueID = 'x'\n  end\nend\n", ":3:16:", "UniqueID must be an integer"},
        {"object F: TRootForm\n  Data = {0A1}\nend\n", ":2:10:", "odd number"},
        {"object F: TRootForm\n  object T: TThing\n  end\n  object T: TThing\n  end\nend\n", ":4:3:", "A component named T already exists"},
        {"object F: TRootForm\n  Width = (1 2\n", ":2:11:", "Unterminated list"},
        {"object F: TRootForm\n  Width = #300\nend\n", ":2:11:", "out of range"},
    };
    for (const auto& c : cases) {
        try {
            Read(c.text, &Handlers());
            ADD_FAILURE() << "no error for: " << c.text;
        } catch (const EParserError& e) {
            EXPECT_NE(e.Message().find("test.def" + c.where), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(c.what), std::string::npos) << e.Message();
        }
    }
}

TEST(Streaming, NestingDepthIsBounded) {
    std::string deep = "object F: TRootForm\n  Width = " + std::string(5000, '(') + "\nend\n";
    EXPECT_THROW(Read(deep, nullptr, true), EParserError);
}

TEST(Streaming, FillsAGivenRootOfTheRightClass) {
    TRootForm form(nullptr);
    ReadComponentText("object Form1: TRootForm\n  Width = 7\nend\n", {}, &form);
    EXPECT_EQ(form.Width, 7);
    EXPECT_EQ(form.Name(), "Form1");
    TThing other(nullptr);
    EXPECT_THROW(ReadComponentText("object Form1: TRootForm\nend\n", {}, &other), EParserError);
    // A failed read leaves nothing behind in the given root.
    EXPECT_THROW(ReadComponentText("object Form1: TRootForm\n  object A: TThing\n  end\n  Bad = 1\nend\n", {}, &form),
                 EParserError);
    EXPECT_EQ(form.ComponentCount(), 0);
}

// Bounded mutation fuzzing: any damage gives a clean error or a tree, never a crash.
TEST(Streaming, SurvivesMutatedInput) {
    std::mt19937 rng(12345);
    const std::string seed = kEveryKind;
    const char alphabet[] = "'#$(){}<>[]=:,+.-_ \n0123456789abcdefxyzEendobjectitem";
    for (int iter = 0; iter < 3000; ++iter) {
        std::string s = seed;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !s.empty(); ++e) {
            size_t pos = rng() % s.size();
            switch (rng() % 4) {
            case 0: s[pos] = alphabet[rng() % (sizeof alphabet - 1)]; break;
            case 1: s.erase(pos, 1 + rng() % 8); break;
            case 2: s.insert(pos, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
            case 3: s.resize(pos); break;
            }
        }
        for (bool generic : {false, true}) {
            try {
                auto root = Read(s, &Handlers(), generic);
                (void)WriteComponentText(root.get());
            } catch (const Exception&) {
            }
        }
    }
}

namespace {
// An event declared by a base class and published by its descendant.
class TEventBase : public TComponent {
    KV_CLASS(TEventBase, TComponent)
public:
    using TComponent::TComponent;
    TNotifyEvent OnFire;
};
class TEventChild : public TEventBase {
    KV_CLASS(TEventChild, TEventBase)
public:
    using TEventBase::TEventBase;
};
}  // namespace
KV_REGISTER_CLASS(TEventBase, TComponent) {}
KV_REGISTER_CLASS(TEventChild, TEventBase) { b.Event("OnFire", &TEventChild::OnFire); }

TEST(Streaming, DescendantsPublishEventsOfTheirBase) {
    TComponent handlers(nullptr);
    int fired = 0;
    handlers.RegisterHandler<TObject*>("Fire", [&](TObject*) { ++fired; });
    TReadOptions opt;
    opt.HandlerSource = &handlers;
    std::unique_ptr<TComponent> root(ReadComponentText("object E: TEventChild\n  OnFire = Fire\nend\n", opt));
    static_cast<TEventChild*>(root.get())->OnFire(root.get());
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(WriteComponentText(root.get()), "object E: TEventChild\n  OnFire = Fire\nend\n");
}

namespace {
// Notes whether it was in design mode when it was loaded.
class TDesignProbe : public TComponent {
    KV_CLASS(TDesignProbe, TComponent)
public:
    using TComponent::TComponent;
    bool LoadedDesigning = false;
    void Loaded() override {
        inherited::Loaded();
        LoadedDesigning = InState(csDesigning);
    }
};
}  // namespace
KV_REGISTER_CLASS(TDesignProbe, TComponent) {}

TEST(Streaming, ToolsReadDefinitionsInDesignMode) {
    const std::string text = "object Root: TDesignProbe\n  object Child: TDesignProbe\n  end\nend\n";
    for (bool designing : {false, true}) {
        TReadOptions opt;
        opt.Designing = designing;
        std::unique_ptr<TComponent> root(ReadComponentText(text, opt));
        EXPECT_EQ(static_cast<TDesignProbe*>(root.get())->LoadedDesigning, designing);
        EXPECT_EQ(static_cast<TDesignProbe*>(root->FindComponent("Child"))->LoadedDesigning, designing);
    }
}
