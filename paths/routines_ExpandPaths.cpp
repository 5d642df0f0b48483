#include "paths/routines_ExpandPaths.h"

#include <cctype>

#include "paths/TPathSpecifier.h"
#include "platform/Paths.h"
#include "routines/routines_API.h"
#include "routines/routines_Registry.h"
#include "routines/routines_Strings.h"

namespace kv {

namespace {

const char* const kShellFolders = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char* const kCurrentVersion = "\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// Folder, a backslash unless it ends with one, then Name.
std::string Join(const std::string& folder, const std::string& name) {
    std::string s;
    AddBackslash(folder, s);
    return s + name;
}

std::string WindowsDir() {
    std::string s;
    GetWindowsDir(s);
    return s;
}

// The registry value, or the fallback; either loses one trailing backslash.
void LookUp(TRootKeys root, const char* key, const char* name, const std::string& fallback, std::string& path) {
    std::string value;
    ReadRegString(root, key, name, value, fallback);
    RemoveBackslash(value, path);
}

std::string CurrentDrive() { return ExtractFileDrive(GetCurrentDir()); }

}  // namespace

void GetStartMenuFolder(std::string& path) {
    LookUp(hkCurrentUser, kShellFolders, "Start Menu", Join(WindowsDir(), "Startmen"), path);
}

void GetProgramsFolder(std::string& path) {
    std::string startMenu;
    GetStartMenuFolder(startMenu);
    LookUp(hkCurrentUser, kShellFolders, "Programs", Join(startMenu, "Programs"), path);
}

void GetDesktopFolder(std::string& path) {
    LookUp(hkCurrentUser, kShellFolders, "Desktop", Join(WindowsDir(), "Desktop"), path);
}

void GetStartupFolder(std::string& path) {
    LookUp(hkCurrentUser, kShellFolders, "Startup", Join(WindowsDir(), "Startup"), path);
}

void GetProgramFilesFolder(std::string& path) {
    LookUp(hkLocalMachine, kCurrentVersion, "ProgramFilesDir", Join(CurrentDrive(), "Program Files"), path);
}

void GetCommonFilesFolder(std::string& path) {
    LookUp(hkLocalMachine, kCurrentVersion, "CommonFilesDir", Join(CurrentDrive(), "Program Files\\Common Files"),
           path);
}

std::string ExtractFileDrive(const std::string& path) {
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0])))
        return path.substr(0, 2);
    if (path.size() < 2 || path[0] != '\\' || path[1] != '\\') return {};
    // \\server\share: up to the backslash after the share name.
    size_t share = path.find('\\', 2);
    if (share == std::string::npos || share == 2) return {};
    size_t end = path.find('\\', share + 1);
    return path.substr(0, end);
}

void ExpandMetaVariables(const std::string& text, TComponent* component, std::string& result) {
    auto* client = dynamic_cast<IPathClient*>(component);
    auto container = [&]() -> IPathClient* {
        if (!client)
            throw EAICannotExpandContainerDirMV(
                TranslateText("Cannot expand the %c meta variable because the component is Nil"));
        auto* c = dynamic_cast<IPathClient*>(client->PathContainer());
        if (!c)
            throw EAICannotExpandContainerDirMV(
                TranslateText("Cannot expand the %c meta variable because the Container property is Nil"));
        return c;
    };
    std::string out;
    bool pending = false;
    for (char ch : text) {
        if (ch == '%') {
            if (pending) out += '%';
            pending = !pending;
            continue;
        }
        if (!pending) {
            out += ch;
            continue;
        }
        pending = false;
        std::string value;
        switch (std::tolower(static_cast<unsigned char>(ch))) {
        case 'a':
            if (!client)
                throw EAICannotExpandContainerDirMV(
                    TranslateText("Cannot expand the %a meta variable because the component is Nil"));
            value = client->GetDestDir();
            break;
        case 'b': GetProgramsFolder(value); break;
        case 'c': value = container()->GetDestDir(); break;
        case 'd': GetDesktopFolder(value); break;
        case 'f': GetCommonFilesFolder(value); break;
        case 'i': {
            auto* driver = dynamic_cast<IPathClient*>(CurrentPathDriver());
            if (!driver)
                throw EAICannotExpandInstallDirMV(
                    TranslateText("Cannot expand the %i meta variable because there is no TInstall component"));
            value = driver->GetDestDir();
            break;
        }
        case 'm': GetStartMenuFolder(value); break;
        case 'p': GetProgramFilesFolder(value); break;
        case 's':
            GetSystemDir(value);
            RemoveBackslash(value, value);
            break;
        case 'w':
            GetWindowsDir(value);
            RemoveBackslash(value, value);
            break;
        default: continue;  // an unknown variable vanishes, letter and all
        }
        // Destinations and folder lookups have lost their trailing backslash already.
        out += value;
    }
    result = out;
}

}  // namespace kv
