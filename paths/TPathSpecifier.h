// Path specifiers: components that name the base folder of a destination or an
// archive (the program files folder, the container's folder, the system folder, ...).
// Install components never hold absolute destinations; they hold a specifier and a
// relative folder, and the specifier computes its value on the target machine.
#pragma once

#include <string>

#include "runtime/Classes.h"

namespace kv {

// What a specifier asks of the install component it serves. The install object tree
// lies above this folder and answers for its components (TInstallContainer).
class IPathClient {
public:
    // The destination folder: DestDirType's path and DestDir, no trailing backslash.
    virtual std::string GetDestDir() = 0;
    // The archive: ArchiveFileType's path and ArchiveFile; empty for objects without one.
    virtual std::string GetArchivePath() { return {}; }
    // The Container of an install object; nullptr when it has none.
    virtual TComponent* PathContainer() const = 0;
    // The name shown for the object as a group: a file container's GroupName, otherwise
    // its component name.
    virtual std::string PathGroupName() const = 0;

protected:
    ~IPathClient() = default;
};

// What the specifiers ask of the install driver; the driver registers itself as the
// current one (through the install object tree's SetCurrentInstallDriver).
class IPathDriver {
public:
    // The -s value, else the running program's folder.
    virtual const std::string& SourceDir() const = 0;
    // True when the program was started with -e; Name gets the text after the switch.
    virtual bool SelfExtractName(std::string& name) const = 0;

protected:
    ~IPathDriver() = default;
};
IPathDriver* CurrentPathDriver();
void SetCurrentPathDriver(IPathDriver* driver);
// Driver's main archive: the self-extracting executable its -e switch names in the
// source folder, else files.1 there. IEInstall when -e names no file.
std::string MainArchivePath(const IPathDriver& driver);

using TGetPathEvent = TEvent<TComponent*, std::string&>;

class TCustomPathSpecifier : public TComponent {
    KV_CLASS(TCustomPathSpecifier, TComponent)
public:
    explicit TCustomPathSpecifier(TComponent* owner);
    ~TCustomPathSpecifier() override;

    TGetPathEvent OnGetPath;
    // The name a standard specifier gets when it is created automatically ("psProgramFiles");
    // empty for the others.
    const std::string& CanonicalName() const { return FCanonicalName; }

    // Raises IEPathSpecifier when this specifier cannot serve Component.
    virtual void Validate(TComponent* component);
    virtual std::string GetDescription();
    virtual std::string GetDescriptionFor(TComponent* component);
    // The folder (or archive) this specifier names for Component: here whatever
    // OnGetPath makes of an empty path.
    virtual std::string GetPath(TComponent* component);

protected:
    std::string FCanonicalName;
};

// The designer's own specifier: its value comes from OnGetPath.
class TPathSpecifier : public TCustomPathSpecifier {
    KV_CLASS(TPathSpecifier, TCustomPathSpecifier)
public:
    explicit TPathSpecifier(TComponent* owner);
    std::string Description = "My cool new path specifier";
    std::string GetDescription() override;
};

// The fixed specifiers; each is also in the list of standard specifiers.
class TStandardPathSpecifier : public TCustomPathSpecifier {
    KV_CLASS(TStandardPathSpecifier, TCustomPathSpecifier)
public:
    explicit TStandardPathSpecifier(TComponent* owner);
    ~TStandardPathSpecifier() override;
};

#define KV_STANDARD_SPECIFIER(Name, ...)                         \
    class Name : public TStandardPathSpecifier {                 \
        KV_CLASS(Name, TStandardPathSpecifier)                   \
    public:                                                      \
        explicit Name(TComponent* owner);                        \
        std::string GetDescription() override;                   \
        std::string GetPath(TComponent* component) override;      \
        __VA_ARGS__                                              \
    }
#define KV_VALIDATES void Validate(TComponent* component) override;

// The database engine's DLL folder, returned as found (a trailing backslash stays).
KV_STANDARD_SPECIFIER(TpsBDEDLL);
KV_STANDARD_SPECIFIER(TpsCommonFiles);
// The archive of the component's container.
KV_STANDARD_SPECIFIER(TpsContainerArchiveFile, KV_VALIDATES);
// The destination folder of the component's container. Described as "Path of the
// <group> group"; by the plain description when the component cannot use it.
KV_STANDARD_SPECIFIER(TpsContainerDestDir, KV_VALIDATES std::string GetDescriptionFor(TComponent* component) override;);
KV_STANDARD_SPECIFIER(TpsDesktopMenu);
// The install driver's source folder.
KV_STANDARD_SPECIFIER(TpsInstallSource, KV_VALIDATES);
// The install driver's destination folder (for any component but the driver).
KV_STANDARD_SPECIFIER(TpsMainInstall, KV_VALIDATES);
KV_STANDARD_SPECIFIER(TpsProgramFiles);
KV_STANDARD_SPECIFIER(TpsProgramMenu);
KV_STANDARD_SPECIFIER(TpsStartMenu);
KV_STANDARD_SPECIFIER(TpsStartupMenu);
KV_STANDARD_SPECIFIER(TpsSystem);
// The main archive: files.1 in the source folder, or with -e the self-extracting
// executable named there.
KV_STANDARD_SPECIFIER(TpsMainArchiveFile, KV_VALIDATES);
KV_STANDARD_SPECIFIER(TpsWindow);

#undef KV_VALIDATES
#undef KV_STANDARD_SPECIFIER

// An ordered list of references to specifiers; it owns nothing.
class TPathSpecifierList {
public:
    // IEPathSpecifierList for nullptr.
    void Add(TCustomPathSpecifier* specifier);
    void Remove(TCustomPathSpecifier* specifier);
    int Count() const { return FItems.Count(); }
    // EListError for an index out of range.
    TCustomPathSpecifier* Items(int index) const;
    // The first in list order that is of class Cls or derived from it; IEPathSpecifier
    // "Could not find the path specifier" when there is none.
    TCustomPathSpecifier* FindByClass(const TClass* cls) const;
    template <class T>
    T* FindByClass() const { return static_cast<T*>(FindByClass(T::StaticClass())); }
    // The same without raising: nullptr when there is none.
    TCustomPathSpecifier* Find(const TClass* cls) const;

private:
    TRefList<TCustomPathSpecifier> FItems;
};

class TStandardPathSpecList : public TPathSpecifierList {
public:
    // Makes sure one instance of every standard class exists: with CheckExisting only
    // the classes that have no instance in the list of all specifiers get one. New
    // instances belong to Owner and carry their canonical names. Nothing without an
    // owner. Container is the component asking; the owner alone decides.
    void CreateMissingStandard(TComponent* container, TComponent* owner, bool checkExisting);
};

// Every live specifier, in creation order.
TPathSpecifierList& PathSpecifierList();
// Every live standard specifier, in creation order.
TStandardPathSpecList& StandardPathSpecList();

// Brings the standard specifiers onto Owner when it is a form or a data module (install
// containers ask this before they are constructed).
void CreateMissingStandardSpecifiers(TComponent* owner);
// The first standard specifier of the class named ClassName ("TpsContainerDestDir", ...),
// or nullptr when there is none.
TCustomPathSpecifier* FindStandardSpecifier(const std::string& className);
// PathSpec is of the class named ClassName or derived from it.
bool IsSpecifierOf(const TCustomPathSpecifier* pathSpec, const std::string& className);

}  // namespace kv
