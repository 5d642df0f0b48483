#include "forms/Forms.h"
#include "runtime/Streaming.h"
#include "tests/paths/PathFixtures.h"

using namespace kv;
using namespace kv::pathtest;

KV_REGISTER_CLASS(TTestFile, TFileRelated) {}
KV_REGISTER_CLASS(TTestGroup, TFileContainer) {}
KV_REGISTER_CLASS(TTestLinkGroup, TInstallObject) {}
KV_REGISTER_CLASS(TTestDriver, TFileContainer) {}
KV_REGISTER_CLASS(TTestOwner, TComponent) {}

namespace {

using TSpecifierTest = PathTest;

template <class T>
T* PathSpec(TComponent& owner) {
    return Create<T>(&owner);
}

std::vector<std::string> Names(const TPathSpecifierList& list) {
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list.Items(i)->Name());
    return names;
}

const std::vector<std::string> kCanonical = {
    "psBDEDLL",       "psCommonFiles",  "psContainerArchiveFile", "psContainerDestDir", "psDesktopMenu",
    "psInstallSource", "psMainInstall", "psProgramFiles",         "psProgramMenu",      "psStartMenu",
    "psStartupMenu",  "psSystem",       "psMainArchiveFile",      "psWindow"};

}  // namespace

// Each standard class: its name, description and value for a file of a group of the driver.
TEST_F(TSpecifierTest, TheStandardFamily) {
    StandardPathSpecList().CreateMissingStandard(nullptr, &Owner, false);
    auto* driver = Make<TTestDriver>("Install1");
    driver->SetDestDirType(FindStandardSpecifier("TpsProgramFiles"));
    driver->SetDestDir("\\Tool");
    driver->GroupName = "Main";
    auto* group = Make<TTestGroup>("Group1", driver);
    group->SetArchiveFileType(nullptr);
    group->SetArchiveFile("C:\\Temp\\group1.1\\");
    group->GroupName = "Samples";
    auto* file = Make<TTestFile>("File1", group);
    struct Row { const char* name; const char* description; const char* path; };
    const Row rows[] = {
        {"psBDEDLL", "Borland Database Engine DLL Path", "C:\\Program Files\\Borland\\Common Files\\BDE"},
        {"psCommonFiles", "Path of the common files directory under the program files directory",
         "C:\\Program Files\\Common Files"},
        {"psContainerArchiveFile", "Path to the archive file of the container", "C:\\Temp\\group1.1"},
        {"psContainerDestDir", "Path of the group (container)", "C:\\Program Files\\Tool"},
        {"psDesktopMenu", "Path of the Desktop", "C:\\WINDOWS\\Desktop"},
        {"psInstallSource", "Path from which the user ran the install", "C:\\Temp"},
        {"psMainInstall", "Path of the destination directory of the TInstall", "C:\\Program Files\\Tool"},
        {"psProgramFiles", "Path of the program files directory", "C:\\Program Files"},
        {"psProgramMenu", "Path of the Programs folder under the Start Menu", "C:\\WINDOWS\\Start Menu\\Programs"},
        {"psStartMenu", "Path of Start Menu", "C:\\WINDOWS\\Start Menu"},
        {"psStartupMenu", "Path of the Startup folder in the Programs folder under the Start Menu",
         "C:\\WINDOWS\\Start Menu\\Programs\\StartUp"},
        {"psSystem", "Path of system directory", "C:\\WINDOWS\\SYSTEM"},
        {"psMainArchiveFile", "Archive containing most or all non-internet installation files", "C:\\Temp\\files.1"},
        {"psWindow", "Path of the Windows directory", "C:\\WINDOWS"},
    };
    ASSERT_EQ(Names(StandardPathSpecList()), kCanonical);
    for (int i = 0; i < StandardPathSpecList().Count(); ++i) {
        TCustomPathSpecifier* pathSpec = StandardPathSpecList().Items(i);
        const Row& row = rows[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(pathSpec->CanonicalName(), row.name);
        EXPECT_EQ(pathSpec->ClassName(), "T" + std::string(row.name));
        EXPECT_EQ(pathSpec->GetDescription(), row.description);
        EXPECT_EQ(pathSpec->GetPath(file), row.path);
        EXPECT_NO_THROW(pathSpec->Validate(file));
    }
    auto* dest = StandardPathSpecList().FindByClass<TpsContainerDestDir>();
    EXPECT_EQ(dest->GetDescriptionFor(file), "Path of the <Samples> group");
    EXPECT_EQ(dest->GetDescriptionFor(group), "Path of the <Main> group");  // a file container's GroupName
    auto* link = Make<TTestLinkGroup>("LinkGroup1", driver);
    auto* inLinks = Make<TTestFile>("File2", link);
    EXPECT_EQ(dest->GetDescriptionFor(inLinks), "Path of the <LinkGroup1> group");  // else the component's name
}

TEST_F(TSpecifierTest, TheListsFollowCreationAndDestruction) {
    const int all = PathSpecifierList().Count(), standard = StandardPathSpecList().Count();
    auto* mine = PathSpec<TPathSpecifier>(Owner);
    auto* system = PathSpec<TpsSystem>(Owner);
    EXPECT_EQ(PathSpecifierList().Count(), all + 2);
    EXPECT_EQ(StandardPathSpecList().Count(), standard + 1);
    EXPECT_EQ(PathSpecifierList().Items(all), mine);
    EXPECT_EQ(StandardPathSpecList().Items(standard), system);
    delete system;
    delete mine;
    EXPECT_EQ(PathSpecifierList().Count(), all);
    EXPECT_EQ(StandardPathSpecList().Count(), standard);
    EXPECT_EQ(MessageOf([] { PathSpecifierList().Add(nullptr); }),
              "IEPathSpecifierList: Tried to add a nil object to the path specifier list");
    EXPECT_THROW(PathSpecifierList().Items(all), EListError);
}

TEST_F(TSpecifierTest, FindByClassTakesTheFirstInstanceOrDescendant) {
    EXPECT_EQ(MessageOf([] { StandardPathSpecList().FindByClass<TpsWindow>(); }),
              "IEPathSpecifier: Could not find the path specifier");
    auto* mine = PathSpec<TPathSpecifier>(Owner);
    auto* first = PathSpec<TpsWindow>(Owner);
    auto* second = PathSpec<TpsWindow>(Owner);
    EXPECT_EQ(StandardPathSpecList().FindByClass<TpsWindow>(), first);
    EXPECT_EQ(PathSpecifierList().FindByClass<TStandardPathSpecifier>(), first);
    EXPECT_EQ(PathSpecifierList().FindByClass<TCustomPathSpecifier>(), mine);
    EXPECT_EQ(StandardPathSpecList().Find(TPathSpecifier::StaticClass()), nullptr);
    delete first;
    EXPECT_EQ(StandardPathSpecList().FindByClass<TpsWindow>(), second);
}

TEST_F(TSpecifierTest, CreateMissingStandard) {
    // Without an owner nothing happens.
    StandardPathSpecList().CreateMissingStandard(nullptr, nullptr, false);
    EXPECT_EQ(PathSpecifierList().Count(), 0);
    // Only the classes without an instance anywhere get one.
    TTestOwner other(nullptr);
    auto* window = PathSpec<TpsWindow>(other);
    auto* own = Create<TpsProgramFiles>(&Owner);
    own->SetName("MyProgramFiles");
    StandardPathSpecList().CreateMissingStandard(nullptr, &Owner, true);
    EXPECT_EQ(Owner.ComponentCount(), 13);
    EXPECT_EQ(Owner.FindComponent("psWindow"), nullptr);
    EXPECT_EQ(Owner.FindComponent("psProgramFiles"), nullptr);
    EXPECT_NE(dynamic_cast<TpsBDEDLL*>(Owner.FindComponent("psBDEDLL")), nullptr);
    // Without the check every class again; the names are taken on that owner already.
    EXPECT_EQ(MessageOf([&] { StandardPathSpecList().CreateMissingStandard(nullptr, &Owner, false); }),
              "EComponentError: A component named psBDEDLL already exists");
    EXPECT_EQ(Owner.ComponentCount(), 13);  // the refused one is gone again
    StandardPathSpecList().CreateMissingStandard(nullptr, &other, false);
    EXPECT_EQ(other.ComponentCount(), 15);
    EXPECT_EQ(StandardPathSpecList().FindByClass<TpsWindow>(), window);
}

TEST_F(TSpecifierTest, TheFirstInstallComponentOnAFormOrDataModuleBringsTheStandardOnes) {
    struct Case { std::function<TComponent*()> make; int specifiers; };
    const Case cases[] = {
        {[] { return new TDataModule(nullptr); }, 14},
        {[] { return new TForm(nullptr); }, 14},
        {[] { return new TTestOwner(nullptr); }, 0},
    };
    for (const auto& c : cases) {
        std::unique_ptr<TComponent> owner(c.make());
        Create<TTestGroup>(owner.get());
        Create<TTestFile>(owner.get());
        EXPECT_EQ(PathSpecifierList().Count(), c.specifiers) << owner->ClassName();
        EXPECT_EQ(owner->ComponentCount(), c.specifiers + 2);
    }
}

// When the definition is streamed, the stored specifiers come first: nothing is created.
TEST_F(TSpecifierTest, StoredSpecifiersComeFirst) {
    TDataModule module(nullptr);
    std::string body;
    for (const auto& name : kCanonical) body += "  object " + name + ": T" + name + "\n  end\n";
    module.RegisterHandler<TComponent*, std::string&>("MineGetPath",
                                                      [](TComponent* c, std::string& path) { path = "X:\\" + c->Name(); });
    ReadComponentText("object Module1: TDataModule\n" + body +
                          "  object Mine: TPathSpecifier\n    Description = 'Data folder'\n    OnGetPath = MineGetPath\n  end\n"
                          "  object Group1: TTestGroup\n  end\nend\n",
                      {}, &module);
    EXPECT_EQ(module.ComponentCount(), 16);
    auto* mine = static_cast<TPathSpecifier*>(module.FindComponent("Mine"));
    EXPECT_EQ(mine->GetDescription(), "Data folder");
    EXPECT_EQ(mine->GetDescriptionFor(nullptr), "Data folder");
    auto* group = static_cast<TTestGroup*>(module.FindComponent("Group1"));
    group->SetDestDirType(mine);
    group->SetDestDir("\\Data");
    EXPECT_EQ(group->GetDestDir(), "X:\\Group1\\Data");
}

TEST_F(TSpecifierTest, TheDesignersOwnSpecifier) {
    auto* mine = PathSpec<TPathSpecifier>(Owner);
    EXPECT_EQ(mine->GetDescription(), "My cool new path specifier");
    EXPECT_EQ(mine->CanonicalName(), "");
    TCustomPathSpecifier base(&Owner);
    EXPECT_EQ(base.GetDescription(), "Unspecified");
    EXPECT_EQ(base.GetDescriptionFor(nullptr), "Unspecified");
    // Without OnGetPath a container gets its DestDir alone.
    auto* group = Make<TTestGroup>("Group1");
    group->SetDestDirType(mine);
    group->SetDestDir("\\Data\\");
    EXPECT_EQ(mine->GetPath(group), "");
    EXPECT_EQ(group->GetDestDir(), "\\Data");
    TComponent* asked = nullptr;
    mine->OnGetPath = [&](TComponent* c, std::string& path) {
        asked = c;
        EXPECT_EQ(path, "");
        path = "E:\\";  // kept as the handler gives it
    };
    EXPECT_EQ(mine->GetPath(group), "E:\\");
    EXPECT_EQ(asked, group);
    EXPECT_EQ(group->GetDestDir(), "E:\\\\Data");
}

// The rules of the specifiers that need a container or a driver, both when they are
// assigned and when they are expanded.
TEST_F(TSpecifierTest, ValidationMessages) {
    auto* group = Make<TTestGroup>("Group1");
    auto* links = Make<TTestLinkGroup>("Links");
    auto* orphan = Make<TTestFile>("Orphan");
    auto* inLinks = Make<TTestFile>("InLinks", links);
    TTestOwner plain(nullptr);
    plain.SetName("Plain");
    auto* archive = PathSpec<TpsContainerArchiveFile>(Owner);
    auto* dest = PathSpec<TpsContainerDestDir>(Owner);
    auto* source = PathSpec<TpsInstallSource>(Owner);
    auto* main = PathSpec<TpsMainInstall>(Owner);
    auto* mainArchive = PathSpec<TpsMainArchiveFile>(Owner);
    const std::string noDriver = "IEPathSpecifier: There is no TInstall component so the path specifier could not be "
                                 "expanded for ";
    struct Row { TCustomPathSpecifier* pathSpec; TComponent* component; std::string message; };
    const Row rows[] = {
        {dest, &plain, "IEPathSpecifier: Plain must be a TInstallObject to use the psContainerDestDir path specifier"},
        {dest, group, "IEPathSpecifier: Cannot use ddContainerDestDir for Group1 unless you assign a Container"},
        {dest, nullptr, "IEPathSpecifier: nil must be a TInstallObject to use the psContainerDestDir path specifier"},
        {archive, &plain,
         "IEPathSpecifier: Plain must be a TInstallObject to use the psContainerArchiveFile path specifier"},
        {archive, orphan, "IEPathSpecifier: Cannot use ddContainerArchiveFile for Orphan unless you assign a Container"},
        {archive, inLinks,
         "IEPathSpecifier: Cannot use the ddContainerArchiveFile path specifier for InLinks because the Container is "
         "not a TFileRelated descendant"},
        {source, orphan, noDriver + "Orphan"},
        {main, orphan, noDriver + "Orphan"},
        {mainArchive, group, noDriver + "Group1"},
        {mainArchive, nullptr, noDriver + "nil"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(MessageOf([&] { row.pathSpec->Validate(row.component); }), row.message);
        EXPECT_EQ(MessageOf([&] { row.pathSpec->GetPath(row.component); }), row.message);
        if (auto* obj = dynamic_cast<TInstallContainer*>(row.component)) {
            EXPECT_EQ(MessageOf([&] { obj->SetDestDirType(row.pathSpec); }), row.message);
            EXPECT_EQ(obj->DestDirType(), nullptr);
        }
    }
    EXPECT_EQ(dest->GetDescriptionFor(orphan), "Path of the group (container)");
    EXPECT_EQ(dest->GetDescriptionFor(&plain), "Path of the group (container)");
    // A driver: its own destination cannot be based on itself.
    auto* driver = Make<TTestDriver>("Install1");
    EXPECT_EQ(MessageOf([&] { driver->SetDestDirType(main); }),
              "IEPathSpecifier: Cannot use the ddMainInstallDir path specifier for a TInstall component");
    EXPECT_EQ(MessageOf([&] { main->GetPath(driver); }),
              "IEPathSpecifier: Cannot use the ddMainInstallDir path specifier for a TInstall component");
    EXPECT_NO_THROW(orphan->SetDestDirType(main));
    // A stored definition is not checked while it loads; the expansion still is.
    orphan->IncludeState(csLoading);
    orphan->SetDestDirType(dest);
    orphan->ExcludeState(csLoading);
    EXPECT_EQ(MessageOf([&] { orphan->GetDestDir(); }),
              "IEPathSpecifier: Cannot use ddContainerDestDir for Orphan unless you assign a Container");
}

TEST_F(TSpecifierTest, TheMainArchive) {
    auto* mainArchive = PathSpec<TpsMainArchiveFile>(Owner);
    auto* driver = Make<TTestDriver>("Install1");
    auto* file = Make<TTestFile>("File1", driver);
    struct Case { const char* source; bool e; const char* name; const char* result; };
    const Case cases[] = {
        {"C:\\Temp", false, "", "C:\\Temp\\files.1"},
        {"C:\\Temp", true, "Setup.exe", "C:\\Temp\\Setup.exe"},
        {"C:\\", true, " My Setup.exe", "C:\\ My Setup.exe"},  // the name as given
        {"C:\\", false, "", "C:\\files.1"},
        {"C:\\Temp", true, "", nullptr},
        {"C:\\Temp", true, "  ", nullptr},
    };
    for (const auto& c : cases) {
        driver->Source = c.source;
        driver->HasSelfExtract = c.e;
        driver->SelfExtract = c.name;
        if (c.result) {
            EXPECT_EQ(mainArchive->GetPath(file), c.result);
        } else {
            EXPECT_EQ(MessageOf([&] { mainArchive->GetPath(file); }),
                      "IEInstall: You forgot to pass in the name of the self-extracting executable. Usage example: "
                      "\"-eSetup.exe\"");
        }
    }
    // The driver's own archive is the main archive: the driver itself may use it.
    driver->HasSelfExtract = false;
    driver->Source = "D:\\Build\\";
    driver->SetArchiveFileType(mainArchive);
    EXPECT_EQ(driver->GetArchivePath(), "D:\\Build\\files.1");
    EXPECT_EQ(PathSpec<TpsInstallSource>(Owner)->GetPath(file), "D:\\Build");
}

TEST_F(TSpecifierTest, TheDatabaseEngineFolder) {
    auto* bde = PathSpec<TpsBDEDLL>(Owner);
    const char* key = "\\Software\\Borland\\Database Engine";
    const std::pair<const char*, const char*> cases[] = {
        {"D:\\ENGINE\\", "D:\\ENGINE\\"},
        {"C:\\X;D:\\Y", "C:\\X"},
        {";C:\\X", ""},
        {"", "C:\\Program Files\\Borland\\Common Files\\BDE"},
    };
    for (auto [value, expected] : cases) {
        SetRegString(HKEY_LOCAL_MACHINE, key, "DLLPath", value);
        EXPECT_EQ(bde->GetPath(nullptr), expected) << value;
    }
    SetRegString(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", "E:\\Apps\\");
    EXPECT_EQ(bde->GetPath(nullptr), "E:\\Apps\\Borland\\Common Files\\BDE");
}

TEST_F(TSpecifierTest, OnlyOneTrailingBackslashIsRemoved) {
    SetRegString(HKEY_LOCAL_MACHINE, kCurrentVersion, "ProgramFilesDir", "C:\\PF\\\\");
    SetRegString(HKEY_LOCAL_MACHINE, kCurrentVersion, "CommonFilesDir", "C:\\CF\\");
    EXPECT_EQ(PathSpec<TpsProgramFiles>(Owner)->GetPath(nullptr), "C:\\PF\\");
    EXPECT_EQ(PathSpec<TpsCommonFiles>(Owner)->GetPath(nullptr), "C:\\CF");
    std::string expanded;
    ExpandMetaVariables("%p|%f", nullptr, expanded);
    EXPECT_EQ(expanded, "C:\\PF\\|C:\\CF");
    // A destination keeps what its container's destination kept.
    auto* dest = PathSpec<TpsContainerDestDir>(Owner);
    auto* group = Make<TTestGroup>("Group1");
    group->SetDestDir("C:\\Data\\\\");
    auto* file = Make<TTestFile>("File1", group);
    EXPECT_EQ(dest->GetPath(file), "C:\\Data\\");
    ExpandMetaVariables("%c", file, expanded);
    EXPECT_EQ(expanded, "C:\\Data\\");
}

// An install object created in the designer next to a driver installs into the
// driver's folder and archive through the standard specifiers.
TEST_F(TSpecifierTest, DesignTimeDefaultsUseTheStandardSpecifiers) {
    TDataModule module(nullptr);
    module.SetDesigning(true);
    auto* driver = Create<TTestDriver>(&module);
    driver->SetDestDirType(FindStandardSpecifier("TpsProgramFiles"));
    driver->SetDestDir("\\Tool");
    driver->SetArchiveFileType(FindStandardSpecifier("TpsMainArchiveFile"));
    auto* file = Create<TTestFile>(&module);
    EXPECT_EQ(file->Container(), driver);
    EXPECT_EQ(file->DestDirType(), FindStandardSpecifier("TpsContainerDestDir"));
    EXPECT_EQ(file->GetDestDir(), "C:\\Program Files\\Tool");
    EXPECT_EQ(file->ArchiveFileType(), FindStandardSpecifier("TpsContainerArchiveFile"));
    EXPECT_EQ(file->GetArchivePath(), "C:\\Temp\\files.1");
}
