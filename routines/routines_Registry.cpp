#include "routines/routines_Registry.h"

#include "routines/routines_Strings.h"

namespace kv {

namespace {
constexpr HKEY kRootKeys[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG, HKEY_CURRENT_USER,
                              HKEY_DYN_DATA,     HKEY_LOCAL_MACHINE,  HKEY_USERS};
}  // namespace

HKEY RootKeyToHKEY(TRootKeys root) { return kRootKeys[root]; }

TRootKeys HKEYToRootKey(HKEY key, TRootKeys def) {
    for (int i = hkClassesRoot; i <= hkUsers; ++i)
        if (kRootKeys[i] == key) return static_cast<TRootKeys>(i);
    return def;
}

void WriteRegString(TRootKeys root, const std::string& key, const std::string& name, const std::string& value) {
    TRegistry reg;
    reg.SetRootKey(RootKeyToHKEY(root));
    try {
        if (reg.OpenKey(key, true)) {
            reg.WriteString(name, value);
            return;
        }
    } catch (const ERegistryException&) {
    }
    throw EIRCannotWriteValue("Cannot install into registry. Key: %s Ident: %s Value %s", {key, name, value});
}

void WriteRegInteger(TRootKeys root, const std::string& key, const std::string& name, int32_t value) {
    TRegistry reg;
    reg.SetRootKey(RootKeyToHKEY(root));
    try {
        if (reg.OpenKey(key, true)) {
            reg.WriteInteger(name, value);
            return;
        }
    } catch (const ERegistryException&) {
    }
    throw EIRCannotWriteValue(key);
}

void ReadRegString(TRootKeys root, const std::string& key, const std::string& name, std::string& value,
                   const std::string& def) {
    value = def;
    TRegistry reg;
    reg.SetRootKey(RootKeyToHKEY(root));
    if (!reg.KeyExists(key) || !reg.OpenKey(key, false) || !reg.ValueExists(name)) return;
    try {
        value = reg.ReadString(name);
    } catch (const Exception&) {
        value = def;
    }
}

int32_t ReadRegInteger(TRootKeys root, const std::string& key, const std::string& name, int32_t def) {
    TRegistry reg;
    reg.SetRootKey(RootKeyToHKEY(root));
    if (!reg.KeyExists(key) || !reg.OpenKey(key, false) || !reg.ValueExists(name)) return def;
    try {
        return reg.ReadInteger(name);
    } catch (const Exception&) {
        return def;
    }
}

void DeleteRegKeyTree(TRootKeys root, const std::string& key) {
    try {
        TRegistry reg;
        reg.SetRootKey(RootKeyToHKEY(root));
        if (!reg.OpenKey(key, false)) return;
        std::vector<std::string> names = reg.GetKeyNames();
        reg.CloseKey();
        std::string parent;
        AddBackslash(key, parent);
        for (const auto& n : names) DeleteRegKeyTree(root, parent + n);
        reg.DeleteKey(key);
    } catch (const Exception&) {
    }
}

bool RegisterRunOnceValue(const std::string& name, const std::string& data, bool unique) {
    TRegistry reg;
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!reg.OpenKey("\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", true)) return false;
    std::string valueName = name;
    for (int32_t i = 1; unique && reg.ValueExists(valueName); ++i) valueName = name + IntToStr(i);
    try {
        reg.WriteString(valueName, data);
    } catch (const ERegistryException&) {
        return false;
    }
    return RegFlushKey(reg.CurrentKey()) == ERROR_SUCCESS;
}

}  // namespace kv
