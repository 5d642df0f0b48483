#include <gtest/gtest.h>

#include <memory>

#include "objects/TFileContainer.h"
#include "paths/TPathSpecifier.h"
#include "platform/Registry.h"
#include "runtime/Streaming.h"
#include "tests/platform/TempMachine.h"

using namespace kv;

namespace {

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

// Install classes of each registered type, recording what happens to them.
class TTestFile : public TFileRelated {
    KV_CLASS(TTestFile, TFileRelated)
public:
    using TFileRelated::TFileRelated;
    int32_t RegisteredType() const override { return rtInstallFile; }
    void Install() override {
        Log().push_back("install " + Name());
        inherited::Install();
    }
    void WriteUninstallInfo(const std::string& key) override { Log().push_back("uninstall " + Name() + " " + key); }
};

class TTestGroup : public TFileContainer {
    KV_CLASS(TTestGroup, TFileContainer)
public:
    using TFileContainer::TFileContainer;
    void Install() override {
        Log().push_back("install " + Name());
        inherited::Install();
    }
};

class TTestRegistry : public TInstallObject {
    KV_CLASS(TTestRegistry, TInstallObject)
public:
    explicit TTestRegistry(TComponent* owner) : TInstallObject(owner) { AutoProcess = true; }
    int32_t RegisteredType() const override { return rtInstallRegistry; }
};

// A helper that receives notification codes, as the dialog managers do.
class TTestManager : public TInstallObject {
    KV_CLASS(TTestManager, TInstallObject)
public:
    using TInstallObject::TInstallObject;
    int32_t RegisteredType() const override { return rtDialog; }
    void ReceiveMessage(TObject* sender, int32_t code, TObject* po) override {
        std::string text = std::to_string(code) + " from " + static_cast<TComponent*>(sender)->Name();
        if (auto* m = dynamic_cast<TMessageParameter*>(po)) text += " '" + m->MessageText + "'";
        Log().push_back(text);
    }
};

// The driver as the tree sees it.
class TTestDriver : public TFileContainer, public IInstallDriver {
    KV_CLASS(TTestDriver, TFileContainer)
public:
    explicit TTestDriver(TComponent* owner) : TFileContainer(owner) { SetCurrentInstallDriver(this); }
    ~TTestDriver() override { SetCurrentInstallDriver(nullptr); }
    TFileContainer* DriverContainer() override { return this; }
    std::string DriverProductName() const override { return "Tool"; }
};

class TTestSpecifier : public TCustomPathSpecifier {
    KV_CLASS(TTestSpecifier, TCustomPathSpecifier)
public:
    using TCustomPathSpecifier::TCustomPathSpecifier;
    std::string GetPath(TInstallContainer*) override { return "C:\\Program Files"; }
    void Validate(TInstallContainer* obj) override {
        if (obj->Tag() == 13) throw IEPathSpecifier("refused");
    }
};

class TTestForm : public TComponent {
    KV_CLASS(TTestForm, TComponent)
public:
    using TComponent::TComponent;
};

}  // namespace

KV_REGISTER_CLASS(TTestFile, TFileRelated) {
    b.Reference<TInstallContainer>("Container", &TTestFile::Container, &TTestFile::SetContainer);
    b.Integer("Order", &TTestFile::Order, &TTestFile::SetOrder, -1);
    b.Boolean("Include", &TTestFile::Include, &TTestFile::Include, true);
    b.Reference<TCustomPathSpecifier>("DestDirType", &TTestFile::DestDirType, &TTestFile::SetDestDirType);
}
KV_REGISTER_CLASS(TTestGroup, TFileContainer) {
    b.Reference<TInstallContainer>("Container", &TTestGroup::Container, &TTestGroup::SetContainer);
    b.Integer("Order", &TTestGroup::Order, &TTestGroup::SetOrder, -1);
}
KV_REGISTER_CLASS(TTestRegistry, TInstallObject) {}
KV_REGISTER_CLASS(TTestManager, TInstallObject) {}
KV_REGISTER_CLASS(TTestDriver, TFileContainer) {}
KV_REGISTER_CLASS(TTestSpecifier, TCustomPathSpecifier) {}
KV_REGISTER_CLASS(TTestForm, TComponent) {}

namespace {

class InstallTree : public ::testing::Test {
protected:
    void SetUp() override { Log().clear(); }
    template <class T>
    T* Make(const std::string& name, TInstallContainer* container = nullptr) {
        auto* obj = Create<T>(&Form);
        obj->SetName(name);
        if (container) obj->SetContainer(container);
        return obj;
    }
    std::string Helpers(TInstallContainer* c) {
        std::string s;
        for (int i = 0; i < c->HelperCount(); ++i)
            s += (i ? " " : "") + c->Helpers(i)->Name() + ":" + std::to_string(c->Helpers(i)->Order());
        return s;
    }
    TTestForm Form{nullptr};
};

std::string MessageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no exception";
}

}  // namespace

TEST_F(InstallTree, HelpersAreGroupedByRegisteredType) {
    auto* root = Make<TTestGroup>("Root");
    Make<TTestFile>("File1", root);
    Make<TTestGroup>("Group1", root);
    Make<TTestRegistry>("Reg1", root);
    Make<TTestManager>("Manager1", root);
    Make<TTestFile>("File2", root);
    EXPECT_EQ(Helpers(root), "Group1:0 File1:0 File2:1 Reg1:0 Manager1:0");
    EXPECT_EQ(root->FileContainerCount(), 1);
    EXPECT_EQ(root->FileContainers(0)->Name(), "Group1");
}

TEST_F(InstallTree, OrderPlacesWithinTheGroup) {
    auto* root = Make<TTestGroup>("Root");
    auto* a = Make<TTestFile>("A", root);
    auto* b = Make<TTestFile>("B", root);
    auto* c = Make<TTestFile>("C", root);
    EXPECT_EQ(Helpers(root), "A:0 B:1 C:2");
    c->SetOrder(0);  // an equal Order goes before the one that has it
    EXPECT_EQ(Helpers(root), "C:0 A:1 B:2");
    a->SetOrder(-1);  // -1 goes to the end of its group
    EXPECT_EQ(Helpers(root), "C:0 B:1 A:2");
    b->SetOrder(b->Order());  // unchanged: nothing moves
    EXPECT_EQ(Helpers(root), "C:0 B:1 A:2");
    auto* loose = Make<TTestFile>("Loose");
    loose->SetOrder(7);  // without a container the value is not taken
    EXPECT_EQ(loose->Order(), -1);
}

TEST_F(InstallTree, LoadingKeepsStoredOrderUntilAChange) {
    TTestForm root(nullptr);
    ReadComponentText(
        "object Form1: TTestForm\n"
        "  object Group1: TTestGroup\n  end\n"
        "  object Three: TTestFile\n    Container = Group1\n    Order = 3\n  end\n"
        "  object One: TTestFile\n    Container = Group1\n    Order = 1\n  end\n"
        "  object Last: TTestFile\n    Container = Group1\n  end\n"
        "end\n",
        {}, &root);
    auto* group = static_cast<TTestGroup*>(root.FindComponent("Group1"));
    EXPECT_EQ(Helpers(group), "One:1 Three:3 Last:-1");
    static_cast<TTestFile*>(root.FindComponent("Three"))->SetOrder(0);
    EXPECT_EQ(Helpers(group), "Three:0 One:1 Last:2");
}

TEST_F(InstallTree, CompCountsOnlyTheClassAsked) {
    auto* root = Make<TTestGroup>("Root");
    Make<TTestGroup>("Group1", root);
    auto* file = Make<TTestFile>("File1", root);
    EXPECT_EQ(root->Comp<TTestFile>(0), file);
    EXPECT_EQ(root->CompCount<TTestFile>(), 1);
    EXPECT_EQ(root->CompCount<TInstallObject>(), 2);
    EXPECT_EQ(MessageOf([&] { root->Comp<TTestFile>(1); }),
              "IEInstallContainer: Bad call to the Comp procedure which returns a TInstallObject for a "
              "TInstallContainer component. The parameters are probably reversed. Index: 1, ComponentType: TTestFile");
    EXPECT_EQ(MessageOf([&] { root->Helpers(2); }),
              "IEInstallContainer: Tried to reference a helper component in the following component: Root. The "
              "following index was used: 2");
    EXPECT_EQ(MessageOf([&] { root->AddHelper(nullptr); }),
              "IEInstallContainer: Cannot add a blank base helper component to Root");
    TInstallObject bare(nullptr);
    EXPECT_EQ(MessageOf([&] { bare.RegisteredType(); }), "IEInstallContainer: Class must declare a registered type");
    // A class without a registered type cannot become a helper; nothing changes.
    EXPECT_THROW(bare.SetContainer(root), IEInstallContainer);
    EXPECT_EQ(bare.Container(), nullptr);
    EXPECT_EQ(root->HelperCount(), 2);
}

TEST_F(InstallTree, ProcessWideListsRefuseBlankEntries) {
    EXPECT_EQ(MessageOf([] { InstallContainerList().Add(nullptr); }),
              "IEContainerList: Cannot add a blank entry to the TInstallContainerList object");
    EXPECT_EQ(MessageOf([] { InstallFileList().Add(nullptr); }),
              "IECustomInstallFileList: Cannot add a blank entry to the TCustomInstallFileList object");
    int before = InstallContainerList().Count();
    {
        auto* group = Make<TTestGroup>("Group1");
        EXPECT_EQ(InstallContainerList().Count(), before + 1);
        EXPECT_EQ(InstallContainerList()[before], group);
        delete group;
    }
    EXPECT_EQ(InstallContainerList().Count(), before);
}

TEST_F(InstallTree, InstallTypesSetterRules) {
    const auto F = InstallTypeBit(itFull), A = InstallTypeBit(itAlways), C = InstallTypeBit(itCompact);
    struct Case { TInstallTypeSet current, assigned, result; };
    const Case cases[] = {
        {F, 0, A},                // empty becomes itAlways
        {F, TInstallTypeSet(F | A), A},  // adding itAlways replaces the others
        {A, TInstallTypeSet(F | A), F},  // adding another type drops itAlways
        {A, TInstallTypeSet(F | C), TInstallTypeSet(F | C)},
        {F, A, A},
        {TInstallTypeSet(F | C), C, C},
    };
    for (const auto& c : cases) {
        TTestFile file(nullptr);
        file.SetInstallTypes(c.current);
        ASSERT_EQ(file.InstallTypes(), c.current);
        file.SetInstallTypes(c.assigned);
        EXPECT_EQ(file.InstallTypes(), c.result) << int(c.current) << " <- " << int(c.assigned);
    }
}

TEST_F(InstallTree, ProcessFollowsIncludeAndInstallType) {
    auto* root = Make<TTestGroup>("Root");
    auto* file = Make<TTestFile>("File1", root);
    Make<TTestManager>("Manager1", file);  // hears what the file sends
    file->SetInstallTypes(InstallTypeBit(itFull));
    file->OnBeforeProcess = [](TInstallContainer* c) { Log().push_back("before " + c->Name()); };
    file->OnAfterProcess = [](TInstallContainer* c) { Log().push_back("after " + c->Name()); };
    struct Case { TInstallType current; bool include; std::vector<std::string> log; };
    const Case cases[] = {
        {itCompact, true, {"before File1", "-990 from File1", "-999 from File1"}},
        {itCustom, true,
         {"before File1", "-990 from File1", "-999 from File1", "install File1", "after File1", "-989 from File1"}},
        {itFull, true,
         {"before File1", "-990 from File1", "-999 from File1", "install File1", "after File1", "-989 from File1"}},
        {itAlways, false, {"before File1", "-990 from File1"}},
    };
    for (const auto& c : cases) {
        Log().clear();
        file->Include = c.include;
        file->Processed = false;
        root->SetCurrentInstallType(c.current);
        EXPECT_EQ(file->CurrentInstallType, c.current);
        file->Process();
        EXPECT_EQ(Log(), c.log) << int(c.current);
        EXPECT_EQ(file->Processed, c.log.size() > 3);
        EXPECT_EQ(file->IsSelected(), c.log.size() > 3);
    }
}

TEST_F(InstallTree, SilentAbortSkipsOneObject) {
    auto* root = Make<TTestGroup>("Root");
    auto* a = Make<TTestFile>("A", root);
    Make<TTestFile>("B", root);
    a->OnBeforeProcess = [](TInstallContainer*) { Abort(); };
    root->Process();
    EXPECT_EQ(Log(), (std::vector<std::string>{"install Root", "install B"}));
    EXPECT_FALSE(a->Processed);
    // Any other exception passes through.
    a->OnBeforeProcess = [](TInstallContainer*) { throw IEInstall("stop"); };
    EXPECT_THROW(a->Process(), IEInstall);
}

TEST_F(InstallTree, ProcessWritesUninstallInfoUnderTheDriversProduct) {
    auto* driver = Make<TTestDriver>("Install1");
    Make<TTestFile>("File1", driver);
    driver->Process();
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "install File1",
                         "uninstall File1 \\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tool"}));
    delete driver;
    EXPECT_EQ(CurrentInstallDriver(), nullptr);
}

TEST_F(InstallTree, CircularReferenceChangesNothing) {
    auto* top = Make<TTestGroup>("Top");
    auto* middle = Make<TTestGroup>("Middle", top);
    auto* bottom = Make<TTestGroup>("Bottom", middle);
    for (TInstallContainer* target : {static_cast<TInstallContainer*>(top), static_cast<TInstallContainer*>(middle),
                                      static_cast<TInstallContainer*>(bottom)}) {
        EXPECT_EQ(MessageOf([&] { top->SetContainer(target); }), "IEInstallContainer: Circular reference");
    }
    EXPECT_EQ(MessageOf([&] { middle->SetContainer(bottom); }), "IEInstallContainer: Circular reference");
    EXPECT_EQ(top->Container(), nullptr);
    EXPECT_EQ(middle->Container(), top);
    EXPECT_EQ(Helpers(top), "Middle:0");
    EXPECT_EQ(Helpers(middle), "Bottom:0");
    EXPECT_EQ(bottom->HelperCount(), 0);
}

TEST_F(InstallTree, DestroyingAContainerUnlinksItsHelpersAndItself) {
    auto* root = Make<TTestGroup>("Root");
    auto* group = Make<TTestGroup>("Group1", root);
    auto* f1 = Make<TTestFile>("F1", group);
    auto* f2 = Make<TTestFile>("F2", group);
    Make<TTestFile>("F3", root);
    delete group;
    EXPECT_EQ(f1->Container(), nullptr);
    EXPECT_EQ(f2->Container(), nullptr);
    EXPECT_EQ(Helpers(root), "F3:0");
    // FreeHelpers frees only the class asked for.
    Make<TTestRegistry>("Reg1", root);
    root->FreeHelpers(TTestFile::StaticClass());
    EXPECT_EQ(Helpers(root), "Reg1:0");
    EXPECT_EQ(Form.FindComponent("F3"), nullptr);
}

TEST_F(InstallTree, StatusMessagesReachTheManagers) {
    auto* root = Make<TTestGroup>("Root");
    Make<TTestManager>("Manager1", root);
    Make<TTestManager>("Manager2", root);
    Make<TTestFile>("File1", root);
    root->ShowStatusMessage("Reading file information...");
    root->ClearStatusMessage();
    EXPECT_EQ(Log(), (std::vector<std::string>{"-974 from Root 'Reading file information...'",
                                               "-974 from Root 'Reading file information...'", "-973 from Root",
                                               "-973 from Root"}));
}

TEST_F(InstallTree, DestinationFromSpecifierAndFolder) {
    auto* spec = Create<TTestSpecifier>(&Form);
    auto* file = Make<TTestFile>("File1");
    file->SetDestDir("\\MyApp\\");
    EXPECT_EQ(file->GetDestDir(), "\\MyApp");
    file->SetDestDirType(spec);
    EXPECT_TRUE(file->DestDirTypeSet);
    EXPECT_EQ(file->GetDestDir(), "C:\\Program Files\\MyApp");
    // A specifier that refuses the object leaves the old one.
    auto* other = Create<TTestSpecifier>(&Form);
    file->SetTag(13);
    EXPECT_THROW(file->SetDestDirType(other), IEPathSpecifier);
    EXPECT_EQ(file->DestDirType(), spec);
    delete spec;  // removal clears the reference
    EXPECT_EQ(file->DestDirType(), nullptr);
}

TEST_F(InstallTree, DesignTimeDefaultsAndTheirReversalAfterLoading) {
    TTestForm root(nullptr);
    root.SetDesigning(true);
    auto* driver = Create<TTestDriver>(&root);
    driver->SetName("Install1");
    // Dropped in the designer: a helper of the driver, marked as a default.
    auto* dropped = Create<TTestFile>(&root);
    EXPECT_EQ(dropped->Container(), driver);
    EXPECT_TRUE(dropped->DefaultContainer);
    EXPECT_TRUE(dropped->DefaultDestDirType);
    EXPECT_FALSE(dropped->ContainerSet);
    EXPECT_TRUE(dropped->DefaultArchiveFileType);
    delete dropped;
    EXPECT_EQ(driver->HelperCount(), 0);
    // Read while designing: what the stream does not confirm is taken back.
    ReadComponentText(
        "object Form1: TTestForm\n"
        "  object Group1: TTestGroup\n    Container = Install1\n  end\n"
        "  object Kept: TTestFile\n    Container = Group1\n  end\n"
        "  object Loose: TTestFile\n  end\n"
        "end\n",
        {}, &root);
    auto* group = static_cast<TTestGroup*>(root.FindComponent("Group1"));
    auto* kept = static_cast<TTestFile*>(root.FindComponent("Kept"));
    auto* loose = static_cast<TTestFile*>(root.FindComponent("Loose"));
    EXPECT_EQ(kept->Container(), group);
    EXPECT_EQ(loose->Container(), nullptr);
    EXPECT_FALSE(loose->DefaultContainer);
    EXPECT_FALSE(loose->DefaultDestDirType);
    EXPECT_EQ(Helpers(driver), "Group1:0");
    EXPECT_EQ(Helpers(group), "Kept:0");
    delete driver;
    EXPECT_EQ(group->Container(), nullptr);
}

TEST_F(InstallTree, RuntimeObjectsGetNoDefaults) {
    TTestForm root(nullptr);
    auto* driver = Create<TTestDriver>(&root);
    auto* file = Create<TTestFile>(&root);
    EXPECT_EQ(file->Container(), nullptr);
    EXPECT_FALSE(file->DefaultContainer);
    EXPECT_EQ(driver->HelperCount(), 0);
    delete driver;
}

// The development environment's library search path names the component set's folder.
TEST(ComponentSetFolder, FirstEntryHoldingTheMarker) {
    kv::test::TempMachine m;
    EXPECT_EQ(FindComponentSetDir(false), "");
    EXPECT_EQ(MessageOf([] { FindComponentSetDir(true); }),
              "IENoKelvanePath: Cannot find the the Kelvane directory on the VCL library search path");
    TRegistry reg;
    reg.SetRootKey(HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey(kLibrarySettingsKey, true));
    reg.WriteString("Search Path", "  C:\\Lib;;C:\\Kelvane\\;C:\\Other  ");
    m.Write("drive_c/Kelvane/K32V35.TXT", "marker");
    m.Write("drive_c/Other/K32V35.TXT", "marker");
    EXPECT_EQ(FindComponentSetDir(true), "C:\\Kelvane");
    reg.WriteString("Search Path", "C:\\Lib;C:\\Nowhere;");
    EXPECT_EQ(FindComponentSetDir(false), "");
    EXPECT_THROW(FindComponentSetDir(true), IENoKelvanePath);
    reg.WriteInteger("Search Path", 5);  // unreadable: as if missing
    EXPECT_EQ(FindComponentSetDir(false), "");
}
