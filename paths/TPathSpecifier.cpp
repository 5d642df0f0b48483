#include "paths/TPathSpecifier.h"

#include "forms/Forms.h"
#include "paths/routines_ExpandPaths.h"
#include "routines/routines_API.h"
#include "routines/routines_Registry.h"
#include "routines/routines_Strings.h"

namespace kv {

namespace {

IPathDriver* gCurrentDriver = nullptr;

std::string WithoutBackslash(const std::string& path) {
    std::string s;
    RemoveBackslash(path, s);
    return s;
}

std::string Join(const std::string& folder, const std::string& name) {
    std::string s;
    AddBackslash(folder, s);
    return s + name;
}

std::string NameOf(const TComponent* component) { return component ? component->Name() : std::string("nil"); }

bool IsOfClass(const TComponent* component, const char* className) {
    const TClass* cls = GetClass(className);
    return component && cls && component->InheritsFrom(cls);
}

// The component's Container, once Validate has made sure it has one.
IPathClient* ContainerOf(TComponent* component) {
    return dynamic_cast<IPathClient*>(dynamic_cast<IPathClient&>(*component).PathContainer());
}

IPathDriver& RequireDriver(const TComponent* component) {
    IPathDriver* driver = CurrentPathDriver();
    if (!driver)
        throw IEPathSpecifier("There is no TInstall component so the path specifier could not be expanded for %s",
                              {NameOf(component)});
    return *driver;
}

// Component must be an install object with a Container.
void RequireContainer(TComponent* component, const std::string& specifier, const char* missing) {
    if (!IsOfClass(component, "TInstallObject"))
        throw IEPathSpecifier("%s must be a %s to use the %s path specifier",
                              {NameOf(component), "TInstallObject", specifier});
    if (!dynamic_cast<IPathClient&>(*component).PathContainer()) throw IEPathSpecifier(missing, {component->Name()});
}

}  // namespace

IPathDriver* CurrentPathDriver() { return gCurrentDriver; }
void SetCurrentPathDriver(IPathDriver* driver) { gCurrentDriver = driver; }

// ---- lists ---------------------------------------------------------------------------------

// Never freed: specifiers that outlive the end of the program still find them.
TPathSpecifierList& PathSpecifierList() {
    static auto* list = new TPathSpecifierList;
    return *list;
}

TStandardPathSpecList& StandardPathSpecList() {
    static auto* list = new TStandardPathSpecList;
    return *list;
}

void TPathSpecifierList::Add(TCustomPathSpecifier* specifier) {
    if (!specifier) throw IEPathSpecifierList("Tried to add a nil object to the path specifier list");
    FItems.Add(specifier);
}

void TPathSpecifierList::Remove(TCustomPathSpecifier* specifier) { FItems.Remove(specifier); }

TCustomPathSpecifier* TPathSpecifierList::Items(int index) const {
    if (index < 0 || index >= FItems.Count()) throw EListError("List index out of bounds (%d)", {index});
    return FItems[index];
}

TCustomPathSpecifier* TPathSpecifierList::Find(const TClass* cls) const {
    for (TCustomPathSpecifier* s : FItems)
        if (cls && s->InheritsFrom(cls)) return s;
    return nullptr;
}

TCustomPathSpecifier* TPathSpecifierList::FindByClass(const TClass* cls) const {
    TCustomPathSpecifier* s = Find(cls);
    if (!s) throw IEPathSpecifier("Could not find the path specifier");
    return s;
}

namespace {
// The standard classes in the order they are created.
struct TStandardClass {
    const TClass* (*Class)();
    TCustomPathSpecifier* (*Make)(TComponent* owner);
};
template <class T>
constexpr TStandardClass Standard() {
    return {&T::StaticClass, [](TComponent* owner) -> TCustomPathSpecifier* { return Create<T>(owner); }};
}
const TStandardClass kStandardClasses[] = {
    Standard<TpsBDEDLL>(),          Standard<TpsCommonFiles>(),  Standard<TpsContainerArchiveFile>(),
    Standard<TpsContainerDestDir>(), Standard<TpsDesktopMenu>(),  Standard<TpsInstallSource>(),
    Standard<TpsMainInstall>(),     Standard<TpsProgramFiles>(), Standard<TpsProgramMenu>(),
    Standard<TpsStartMenu>(),       Standard<TpsStartupMenu>(),  Standard<TpsSystem>(),
    Standard<TpsMainArchiveFile>(), Standard<TpsWindow>(),
};
}  // namespace

void TStandardPathSpecList::CreateMissingStandard(TComponent*, TComponent* owner, bool checkExisting) {
    if (!owner) return;
    for (const TStandardClass& c : kStandardClasses) {
        if (checkExisting && PathSpecifierList().Find(c.Class())) continue;
        TCustomPathSpecifier* pathSpec = c.Make(owner);
        try {
            pathSpec->SetName(pathSpec->CanonicalName());
        } catch (...) {
            delete pathSpec;  // the owner holds another component of that name
            throw;
        }
    }
}

void CreateMissingStandardSpecifiers(TComponent* owner) {
    if (owner && (owner->Is<TCustomForm>() || owner->Is<TDataModule>()))
        StandardPathSpecList().CreateMissingStandard(nullptr, owner, true);
}

TCustomPathSpecifier* FindStandardSpecifier(const std::string& className) {
    return StandardPathSpecList().Find(GetClass(className));
}

bool IsSpecifierOf(const TCustomPathSpecifier* pathSpec, const std::string& className) {
    const TClass* cls = GetClass(className);
    return pathSpec && cls && pathSpec->InheritsFrom(cls);
}

// ---- TCustomPathSpecifier, TPathSpecifier, TStandardPathSpecifier ------------------------------

KV_REGISTER_CLASS(TCustomPathSpecifier, TComponent) {}

TCustomPathSpecifier::TCustomPathSpecifier(TComponent* owner) : TComponent(owner) { PathSpecifierList().Add(this); }

TCustomPathSpecifier::~TCustomPathSpecifier() { PathSpecifierList().Remove(this); }

void TCustomPathSpecifier::Validate(TComponent*) {}

std::string TCustomPathSpecifier::GetDescription() { return "Unspecified"; }

std::string TCustomPathSpecifier::GetDescriptionFor(TComponent*) { return GetDescription(); }

std::string TCustomPathSpecifier::GetPath(TComponent* component) {
    std::string path;
    OnGetPath(component, path);
    return path;
}

KV_REGISTER_CLASS(TPathSpecifier, TCustomPathSpecifier) {
    b.String("Description", &TPathSpecifier::Description, &TPathSpecifier::Description, "My cool new path specifier");
    b.Event("OnGetPath", &TPathSpecifier::OnGetPath);
}

TPathSpecifier::TPathSpecifier(TComponent* owner) : TCustomPathSpecifier(owner) {}

std::string TPathSpecifier::GetDescription() { return Description; }

KV_REGISTER_CLASS(TStandardPathSpecifier, TCustomPathSpecifier) {}

TStandardPathSpecifier::TStandardPathSpecifier(TComponent* owner) : TCustomPathSpecifier(owner) {
    StandardPathSpecList().Add(this);
}

TStandardPathSpecifier::~TStandardPathSpecifier() { StandardPathSpecList().Remove(this); }

// ---- the standard family -------------------------------------------------------------------

// Class information, the constructor that names the class, and its description.
#define KV_STANDARD(Cls, Description)                                                     \
    KV_REGISTER_CLASS(Cls, TStandardPathSpecifier) {}                                     \
    Cls::Cls(TComponent* owner) : TStandardPathSpecifier(owner) {                          \
        FCanonicalName = std::string(#Cls).substr(1);                                      \
    }                                                                                      \
    std::string Cls::GetDescription() { return Description; }

KV_STANDARD(TpsBDEDLL, "Borland Database Engine DLL Path")
KV_STANDARD(TpsCommonFiles, "Path of the common files directory under the program files directory")
KV_STANDARD(TpsContainerArchiveFile, "Path to the archive file of the container")
KV_STANDARD(TpsContainerDestDir, "Path of the group (container)")
KV_STANDARD(TpsDesktopMenu, "Path of the Desktop")
KV_STANDARD(TpsInstallSource, "Path from which the user ran the install")
KV_STANDARD(TpsMainInstall, "Path of the destination directory of the TInstall")
KV_STANDARD(TpsProgramFiles, "Path of the program files directory")
KV_STANDARD(TpsProgramMenu, "Path of the Programs folder under the Start Menu")
KV_STANDARD(TpsStartMenu, "Path of Start Menu")
KV_STANDARD(TpsStartupMenu, "Path of the Startup folder in the Programs folder under the Start Menu")
KV_STANDARD(TpsSystem, "Path of system directory")
KV_STANDARD(TpsMainArchiveFile, "Archive containing most or all non-internet installation files")
KV_STANDARD(TpsWindow, "Path of the Windows directory")

#undef KV_STANDARD

// The folder lookups; each has removed one trailing backslash already.
#define KV_FOLDER_PATH(Cls, Lookup)                        \
    std::string Cls::GetPath(TComponent*) {                \
        std::string path;                                  \
        Lookup(path);                                      \
        return path;                                       \
    }

KV_FOLDER_PATH(TpsCommonFiles, GetCommonFilesFolder)
KV_FOLDER_PATH(TpsDesktopMenu, GetDesktopFolder)
KV_FOLDER_PATH(TpsProgramFiles, GetProgramFilesFolder)
KV_FOLDER_PATH(TpsProgramMenu, GetProgramsFolder)
KV_FOLDER_PATH(TpsStartMenu, GetStartMenuFolder)
KV_FOLDER_PATH(TpsStartupMenu, GetStartupFolder)

#undef KV_FOLDER_PATH

std::string TpsSystem::GetPath(TComponent*) {
    std::string path;
    GetSystemDir(path);
    return WithoutBackslash(path);
}

std::string TpsWindow::GetPath(TComponent*) {
    std::string path;
    GetWindowsDir(path);
    return WithoutBackslash(path);
}

std::string TpsBDEDLL::GetPath(TComponent*) {
    std::string path;
    ReadRegString(hkLocalMachine, "\\Software\\Borland\\Database Engine", "DLLPath", path, "");
    if (path.empty()) {
        std::string programFiles;
        GetProgramFilesFolder(programFiles);
        path = Join(programFiles, "Borland\\Common Files\\BDE");
    }
    return path.substr(0, path.find(';'));
}

void TpsContainerArchiveFile::Validate(TComponent* component) {
    RequireContainer(component, FCanonicalName, "Cannot use ddContainerArchiveFile for %s unless you assign a Container");
    if (!IsOfClass(dynamic_cast<IPathClient&>(*component).PathContainer(), "TFileRelated"))
        throw IEPathSpecifier(
            "Cannot use the ddContainerArchiveFile path specifier for %s because the Container is not a TFileRelated "
            "descendant",
            {component->Name()});
}

std::string TpsContainerArchiveFile::GetPath(TComponent* component) {
    Validate(component);
    return ContainerOf(component)->GetArchivePath();  // without its trailing backslash already
}

void TpsContainerDestDir::Validate(TComponent* component) {
    RequireContainer(component, FCanonicalName, "Cannot use ddContainerDestDir for %s unless you assign a Container");
}

std::string TpsContainerDestDir::GetPath(TComponent* component) {
    Validate(component);
    return ContainerOf(component)->GetDestDir();  // without its trailing backslash already
}

std::string TpsContainerDestDir::GetDescriptionFor(TComponent* component) {
    try {
        Validate(component);
        return Format("Path of the <%s> group", {ContainerOf(component)->PathGroupName()});
    } catch (const std::exception&) {
        return GetDescription();
    }
}

void TpsInstallSource::Validate(TComponent* component) { RequireDriver(component); }

std::string TpsInstallSource::GetPath(TComponent* component) {
    Validate(component);
    return WithoutBackslash(CurrentPathDriver()->SourceDir());
}

void TpsMainInstall::Validate(TComponent* component) {
    IPathDriver& driver = RequireDriver(component);
    if (component && dynamic_cast<IPathDriver*>(component) == &driver)
        throw IEPathSpecifier("Cannot use the ddMainInstallDir path specifier for a TInstall component");
}

std::string TpsMainInstall::GetPath(TComponent* component) {
    Validate(component);
    return dynamic_cast<IPathClient&>(*CurrentPathDriver()).GetDestDir();
}

void TpsMainArchiveFile::Validate(TComponent* component) { RequireDriver(component); }

std::string TpsMainArchiveFile::GetPath(TComponent* component) {
    Validate(component);
    return WithoutBackslash(MainArchivePath(*CurrentPathDriver()));
}

std::string MainArchivePath(const IPathDriver& driver) {
    std::string exeName;
    if (!driver.SelfExtractName(exeName)) return Join(driver.SourceDir(), "files.1");
    if (Trim(exeName).empty())
        throw IEInstall("You forgot to pass in the name of the self-extracting executable. Usage example: \"-eSetup.exe\"");
    return Join(driver.SourceDir(), exeName);
}

}  // namespace kv
