// kelvane machine: look at and work on the emulated Windows machine.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/Boot.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "tools/kelvane/Command.h"

namespace kv::cli {
namespace {

// Command-line text is UTF-8; the machine's is code page 1252.
std::string In(const std::string& s) { return Utf8ToAnsi(s); }
void Out(const std::string& s) { std::cout << AnsiToUtf8(s) << "\n"; }

int Usage() {
    std::cerr << "usage: kelvane machine [--machine DIR] COMMAND\n"
                 "  init [--version Win95|Win98|NT4|NT351|Win32s]\n"
                 "  boot | info | journal\n"
                 "  path WINPATH              host path of a Windows path\n"
                 "  short WINPATH             its 8.3 form\n"
                 "  reg query KEY\n"
                 "  reg set KEY NAME TYPE DATA   NAME @ for the default value; TYPE REG_SZ,\n"
                 "                               REG_EXPAND_SZ, REG_DWORD, REG_BINARY (hex), REG_MULTI_SZ (\\0 between)\n"
                 "  reg delete KEY [NAME]\n"
                 "  reg export [KEY] | reg import FILE\n"
                 "  inuse add|remove WINPATH | inuse list\n"
                 "  run COMMANDLINE [--wait]\n";
    return 2;
}

HKEY OpenFull(const std::string& fullKey, bool create) {
    HKEY root, key;
    std::string sub;
    if (!ParseRootKey(fullKey, root, sub)) throw Exception("Unknown root key in " + fullKey);
    LONG rc = create ? RegCreateKeyExA(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                     : RegOpenKeyExA(root, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (rc) throw Exception(fullKey + ": " + SysErrorMessage(rc));
    return key;
}

std::string TypeName(DWORD type) {
    static const char* const names[] = {"REG_NONE",  "REG_SZ",               "REG_EXPAND_SZ", "REG_BINARY",
                                        "REG_DWORD", "REG_DWORD_BIG_ENDIAN", "REG_LINK",      "REG_MULTI_SZ"};
    return type < 8 ? names[type] : "type " + std::to_string(type);
}

std::string DataText(DWORD type, const std::string& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) return data.substr(0, data.find('\0'));
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(data[i]);
        return Format("0x%x (%u)", {v, v});
    }
    if (type == REG_MULTI_SZ) {
        std::string s;
        for (const auto& item : SplitMultiSz(data)) s += (s.empty() ? "" : "\\0") + item;
        return s;
    }
    std::string hex;
    for (unsigned char c : data) hex += Format("%.2x", {static_cast<int>(c)});
    return hex;
}

int Query(const std::string& fullKey) {
    HKEY key = OpenFull(fullKey, false);
    Out(fullKey);
    std::string name(kMaxValueNameLen + 1, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD n = static_cast<DWORD>(name.size()), type = 0, size = 0;
        if (RegEnumValueA(key, i, name.data(), &n, nullptr, &type, nullptr, &size)) break;
        std::string data(size, '\0');
        n = static_cast<DWORD>(name.size());
        RegEnumValueA(key, i, name.data(), &n, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        std::string shown = n ? name.substr(0, n) : "(Default)";
        Out("    " + shown + "    " + TypeName(type) + "    " + DataText(type, data));
    }
    char sub[kMaxKeyNameLen + 1];
    for (DWORD i = 0;; ++i) {
        DWORD n = sizeof sub;
        if (RegEnumKeyExA(key, i, sub, &n, nullptr, nullptr, nullptr, nullptr)) break;
        Out(fullKey + "\\" + sub);
    }
    RegCloseKey(key);
    return 0;
}

int Set(const std::string& fullKey, const std::string& name, const std::string& typeName, const std::string& text) {
    DWORD type;
    std::string data;
    if (typeName == "REG_SZ" || typeName == "REG_EXPAND_SZ") {
        type = typeName == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        data = text + '\0';
    } else if (typeName == "REG_DWORD") {
        int64_t v;
        if (!TryStrToInt64(text, v) || v < INT32_MIN || v > UINT32_MAX) throw Exception("Not a number: " + text);
        type = REG_DWORD;
        for (int i = 0; i < 4; ++i) data += static_cast<char>(static_cast<uint64_t>(v) >> (8 * i));
    } else if (typeName == "REG_BINARY") {
        type = REG_BINARY;
        if (text.size() % 2) throw Exception("Hexadecimal data needs two digits a byte: " + text);
        for (size_t i = 0; i < text.size(); i += 2) {
            int32_t b;
            if (!TryStrToInt("$" + text.substr(i, 2), b) || text[i] == '-' || text[i + 1] == '-')
                throw Exception("Not hexadecimal: " + text);
            data += static_cast<char>(b);
        }
    } else if (typeName == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        for (size_t start = 0;;) {
            size_t sep = text.find("\\0", start);
            data += text.substr(start, sep - start) + '\0';
            if (sep == std::string::npos) break;
            start = sep + 2;
        }
        data += '\0';
    } else {
        throw Exception("Unknown type " + typeName);
    }
    HKEY key = OpenFull(fullKey, true);
    LONG rc = RegSetValueExA(key, name == "@" ? "" : name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size()));
    RegFlushKey(key);
    RegCloseKey(key);
    if (rc) throw Exception(fullKey + ": " + SysErrorMessage(rc));
    return 0;
}

int Delete(const std::string& fullKey, const std::string* name) {
    if (name) {
        HKEY key = OpenFull(fullKey, false);
        LONG rc = RegDeleteValueA(key, *name == "@" ? "" : name->c_str());
        RegCloseKey(key);
        if (rc) throw Exception(*name + ": " + SysErrorMessage(rc));
        return 0;
    }
    HKEY root;
    std::string sub;
    if (!ParseRootKey(fullKey, root, sub) || sub.empty()) throw Exception("Cannot delete " + fullKey);
    TRegistry reg;
    reg.SetRootKey(root);
    if (!reg.DeleteKey("\\" + sub)) throw Exception(fullKey + ": " + SysErrorMessage(GetLastError()));
    return 0;
}

int Info() {
    TMachine& m = Machine();
    const TVersionPreset* p = FindVersionPreset(m.VersionName());
    Out("Machine:   " + Utf8ToAnsi(m.Root()));
    Out(Format("Version:   %s (%s): platform %d, %d.%d, build %d %s",
               {p ? p->Title : "", m.VersionName(), m.PlatformId(), m.MajorVersion(), m.MinorVersion(),
                m.BuildNumber() & (m.IsNT() ? 0xFFFFFFFFu : 0xFFFFu), m.CSDVersion()}));
    Out("Windows:   " + m.WindowsDir());
    Out("System:    " + m.SystemDir());
    Out("Temp:      " + m.TempDir());
    Out(Format("Language:  code page %d, language 0x%.4x", {m.CodePage(), m.LanguageId()}));
    Out(Format("Screen:    %d x %d, caption %d", {m.ScreenWidth(), m.ScreenHeight(), m.CaptionHeight()}));
    for (const auto& d : m.Drives()) {
        static const char* const types[] = {"unknown", "none", "removable", "fixed", "remote", "cdrom", "ramdisk"};
        std::string line = Format("Drive %s:  %s %s", {std::string(1, d.Letter), types[d.Type < 7 ? d.Type : 0],
                                                         Utf8ToAnsi(d.HostDir)});
        if (d.Capacity) line += Format(", %d bytes, %d free", {d.Capacity, DiskFree(static_cast<BYTE>(d.Letter - '@'))});
        Out(line);
    }
    for (const auto& s : m.UncShares()) Out("Share:     " + s.Name + " " + Utf8ToAnsi(s.HostDir));
    return 0;
}

int CmdMachine(const TArgs& argsIn) {
    TArgs args = argsIn;
    if (args.size() >= 2 && args[0] == "--machine") {
        UseMachine(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return Usage();
    const std::string& cmd = args[0];
    auto arg = [&](size_t i) { return In(args.at(i)); };
    if (cmd == "init") {
        std::string version = "NT4";
        if (args.size() == 3 && args[1] == "--version") version = args[2];
        else if (args.size() != 1) return Usage();
        if (!FindVersionPreset(version)) throw Exception("Unknown Windows version " + version);
        std::string root = Machine().Root();  // opens (creates) the default folder
        if (!SameText(Machine().VersionName(), FindVersionPreset(version)->Name))
            throw Exception("The machine in " + root + " is already " + Machine().VersionName());
        Out("Machine in " + Utf8ToAnsi(root) + " (" + Machine().VersionName() + ")");
        return 0;
    }
    if (cmd == "boot" && args.size() == 1) {
        BootMachine();
        return 0;
    }
    if (cmd == "info" && args.size() == 1) return Info();
    if (cmd == "journal" && args.size() == 1) {
        for (const auto& line : Machine().JournalLines()) Out(line);
        return 0;
    }
    if ((cmd == "path" || cmd == "short") && args.size() == 2) {
        if (cmd == "path") {
            std::cout << HostPath(arg(1)) << "\n";
            return 0;
        }
        std::string s = ShortPathName(arg(1));
        if (s.empty()) throw EOSError(GetLastError());
        Out(s);
        return 0;
    }
    if (cmd == "reg" && args.size() >= 2) {
        const std::string& sub = args[1];
        if (sub == "query" && args.size() == 3) return Query(arg(2));
        if (sub == "set" && args.size() == 6) return Set(arg(2), arg(3), args[4], arg(5));
        if (sub == "delete" && (args.size() == 3 || args.size() == 4)) {
            std::string name = args.size() == 4 ? arg(3) : "";
            return Delete(arg(2), args.size() == 4 ? &name : nullptr);
        }
        if (sub == "export" && args.size() <= 3) {
            std::cout << RegExport(args.size() == 3 ? arg(2) : "");
            return 0;
        }
        if (sub == "import" && args.size() == 3) {
            std::ifstream in(args[2], std::ios::binary);
            if (!in) throw Exception("Cannot read " + args[2]);
            std::ostringstream text;
            text << in.rdbuf();
            RegImport(text.str());
            return 0;
        }
        return Usage();
    }
    if (cmd == "inuse" && args.size() >= 2) {
        if (args[1] == "add" && args.size() == 3) {
            AddInUse(arg(2));
            return 0;
        }
        if (args[1] == "remove" && args.size() == 3) return RemoveInUse(arg(2)) ? 0 : 1;
        if (args[1] == "list" && args.size() == 2) {
            for (const auto& p : InUseList()) Out(p);
            return 0;
        }
        return Usage();
    }
    if (cmd == "run" && (args.size() == 2 || (args.size() == 3 && args[2] == "--wait"))) {
        int code = 0;
        UINT r = StartProgram(arg(1), SW_SHOWNORMAL, args.size() == 3, &code);
        if (r < 32) throw Exception(SysErrorMessage(r));
        return code;
    }
    return Usage();
}

}  // namespace

KV_COMMAND(machine, "machine [--machine DIR] init|boot|info|path|short|reg|inuse|journal|run ...", CmdMachine);

}  // namespace kv::cli
