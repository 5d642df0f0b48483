#include "app/SetupProgram.h"

#include <unistd.h>

#include <cstdio>

#include "app/BoundDefinition.h"
#include "forms/script/ScriptBackend.h"
#include "install/TInstall.h"
#include "net/TNetInstallLocation.h"

namespace kv {

namespace {

// The host file of the running program.
std::string HostProgramFile() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

const TClass* RootFormClass(const TObjectText& tree) {
    const TClass* cls = GetClass(tree.ClassName);
    if (!cls || !cls->InheritsFrom(TForm::StaticClass()) || !cls->Factory)
        throw EBoundDefinition("The root of the install definition, " + tree.ClassName +
                               ", is not a form class this program knows");
    return cls;
}

// Every identifier the text holds may name a handler.
void DeclareIdentifiers(const std::vector<TPropText>& props, TComponent& names);
void DeclareValue(const TValue& v, TComponent& names) {
    if (v.Kind == TValue::vaIdent) names.DeclareHandler(v.Str);
    for (const TValue& item : v.List) DeclareValue(item, names);
    for (const TItemText& item : v.Items) DeclareIdentifiers(item.Props, names);
}
void DeclareIdentifiers(const std::vector<TPropText>& props, TComponent& names) {
    for (const TPropText& p : props) DeclareValue(p.Value, names);
}
void DeclareTree(const TObjectText& obj, TComponent& names) {
    DeclareIdentifiers(obj.Props, names);
    for (const TObjectText& child : obj.Children) DeclareTree(child, names);
}

}  // namespace

std::string DefinitionProductName(const TObjectText& tree) {
    const TClass* driver = TCustomInstall::StaticClass();
    for (const TObjectText& child : tree.Children) {
        const TClass* cls = GetClass(child.ClassName);
        if (!cls || !cls->InheritsFrom(driver)) continue;
        for (const TPropText& p : child.Props)
            if (SameText(p.Name, "Information.ProductName") && p.Value.Kind == TValue::vaString) return p.Value.Str;
        return TInstallInformation().ProductName;
    }
    return TInstallInformation().ProductName;
}

TCustomForm* CheckDefinition(const std::string& text, const std::string& fileName) {
    TObjectText tree = ParseObjectText(text, fileName);
    const TClass* cls = RootFormClass(tree);
    TComponent names(nullptr);
    DeclareTree(tree, names);
    TReadOptions opt;
    opt.FileName = fileName;
    opt.HandlerSource = &names;
    opt.Designing = true;
    auto* form = static_cast<TCustomForm*>(cls->Create(nullptr));
    try {
        ReadComponentText(text, opt, form);
    } catch (...) {
        delete form;
        throw;
    }
    return form;
}

int RunSetupDefinition(const std::string& text, const std::function<void(TCustomForm*)>& registerHandlers) {
    NetProcessMessages = [] { Application->ProcessMessages(); };
    try {
        TObjectText tree = ParseObjectText(text, "definition");
        Application->Title = DefinitionProductName(tree) + " Installation";
        const TClass* cls = RootFormClass(tree);
        TReadOptions opt;
        opt.FileName = "definition";
        Application->CreateForm(cls, [&](TCustomForm* form) {
            if (registerHandlers) registerHandlers(form);
            ReadComponentText(text, opt, form);
        });
        // The dialog forms are created here once their classes exist.
    } catch (const Exception& e) {
        // An error while the main form is loaded ends the program.
        Application->ShowException(e);
        Application->ExitCode = kExitFailed;
    }
    if (!Application->Terminated() && Application->MainForm()) Application->Run();
    const int code = Application->ExitCode;
    // The forms go, and with them the driver, which starts the clean-up.
    Application->DestroyComponents();
    Application->Backend().ProgramEnded(code);
    return code;
}

int RunSetupProgram(const std::function<void(TCustomForm*)>& registerHandlers) {
    Application->Title = ChangeFileExt(ExtractFileName(Application->ExeName()), "");
    try {
        UseScriptBackendFromEnvironment();
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", AnsiToUtf8(e.Message()).c_str());
        return kExitFailed;
    }
    std::string text;
    try {
        text = ReadBoundDefinition(HostProgramFile());
    } catch (const Exception& e) {
        Application->ShowException(e);
        Application->Backend().ProgramEnded(kExitFailed);
        return kExitFailed;
    }
    return RunSetupDefinition(text, registerHandlers);
}

}  // namespace kv
