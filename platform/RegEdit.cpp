// REGEDIT4 text: export of a key tree and import of such a file.
#include <cstdio>
#include <sstream>

#include "platform/Registry.h"

namespace kv {

namespace {

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

// A REG_SZ that reads back as the same bytes from "…": one terminating NUL, no line breaks.
bool IsPlainString(const std::string& data) {
    return !data.empty() && data.back() == '\0' && data.find('\0') == data.size() - 1 &&
           data.find_first_of("\r\n") == std::string::npos;
}

std::string ValueLine(const std::string& name, DWORD type, const std::string& data) {
    std::string line = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
    char buf[32];
    if (type == REG_SZ && IsPlainString(data)) return line + "\"" + Escape(data.substr(0, data.size() - 1)) + "\"";
    if (type == REG_DWORD && data.size() == 4) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(data[i]);
        snprintf(buf, sizeof buf, "dword:%08x", v);
        return line + buf;
    }
    if (type == REG_BINARY) line += "hex:";
    else {
        snprintf(buf, sizeof buf, "hex(%x):", type);
        line += buf;
    }
    // Long data goes on continuation lines, as regedit writes it.
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(buf, sizeof buf, "%02x%s", static_cast<uint8_t>(data[i]), i + 1 < data.size() ? "," : "");
        if (line.size() + 3 > 77 && i > 0) {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += buf;
    }
    return out + line;
}

void ExportKey(std::string& out, HKEY key, const std::string& path) {
    out += "\r\n[" + path + "]\r\n";
    std::string name(kMaxValueNameLen + 1, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD n = static_cast<DWORD>(name.size()), type = 0, size = 0;
        if (RegEnumValueA(key, i, name.data(), &n, nullptr, &type, nullptr, &size)) break;
        std::string data(size, '\0');
        n = static_cast<DWORD>(name.size());
        if (RegEnumValueA(key, i, name.data(), &n, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size))
            break;
        data.resize(size);
        out += ValueLine(name.substr(0, n), type, data) + "\r\n";
    }
    char sub[kMaxKeyNameLen + 1];
    for (DWORD i = 0;; ++i) {
        DWORD n = sizeof sub;
        if (RegEnumKeyExA(key, i, sub, &n, nullptr, nullptr, nullptr, nullptr)) break;
        HKEY child;
        if (RegOpenKeyExA(key, sub, 0, KEY_READ, &child)) continue;
        ExportKey(out, child, path + "\\" + sub);
        RegCloseKey(child);
    }
}

}  // namespace

std::string RegExport(const std::string& fullKey) {
    std::string out = "REGEDIT4\r\n";
    if (fullKey.empty()) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS, HKEY_CURRENT_CONFIG,
                          HKEY_DYN_DATA})
            ExportKey(out, root, RootKeyName(root));
    } else {
        HKEY root, key;
        std::string sub;
        if (!ParseRootKey(fullKey, root, sub)) throw ERegistryException("Unknown root key in " + fullKey);
        LONG rc = RegOpenKeyExA(root, sub.c_str(), 0, KEY_READ, &key);
        if (rc) throw ERegistryException("Cannot open the key " + fullKey + ": " + SysErrorMessage(rc));
        std::string path = RootKeyName(root) + (sub.empty() ? "" : "\\" + sub);
        while (path.back() == '\\') path.pop_back();
        ExportKey(out, key, path);
        RegCloseKey(key);
    }
    return out + "\r\n";
}

// ---- import -----------------------------------------------------------------------------------

namespace {

struct TRegOp {
    enum Kind { Key, DeleteKey, SetValue, DeleteValue } Kind;
    HKEY Root;
    std::string Path, Name;
    DWORD Type = 0;
    std::string Data;
    int Line;
};

class TRegParser {
public:
    explicit TRegParser(int line) : FLine(line) {}
    [[noreturn]] void Fail(const std::string& why) const {
        throw ERegistryException(Format("Invalid registry file, line %d: %s", {FLine, why}));
    }

    // "[HKEY_…\path]" or "[-HKEY_…\path]".
    TRegOp Header(const std::string& line) {
        if (line.back() != ']') Fail("a key line must end with ]");
        std::string inner = line.substr(1, line.size() - 2);
        TRegOp op{TRegOp::Key, 0, "", "", 0, "", FLine};
        if (!inner.empty() && inner[0] == '-') {
            op.Kind = TRegOp::DeleteKey;
            inner.erase(0, 1);
        }
        if (!ParseRootKey(inner, op.Root, op.Path)) Fail("unknown root key in [" + inner + "]");
        if (!op.Path.empty() && op.Path.back() == '\\') op.Path.pop_back();
        size_t start = 0;
        while (!op.Path.empty()) {
            size_t end = op.Path.find('\\', start);
            size_t len = (end == std::string::npos ? op.Path.size() : end) - start;
            if (len == 0) Fail("empty key name in [" + inner + "]");
            if (len > kMaxKeyNameLen) Fail("key name longer than 255 characters");
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return op;
    }

    TRegOp Value(const std::string& line, const TRegOp& key) {
        TRegOp op{TRegOp::SetValue, key.Root, key.Path, "", 0, "", FLine};
        size_t p = 0;
        if (line[0] == '@') p = 1;
        else op.Name = Quoted(line, p);
        if (op.Name.size() > kMaxValueNameLen) Fail("value name too long");
        SkipBlanks(line, p);
        if (p >= line.size() || line[p] != '=') Fail("= expected after the value name");
        ++p;
        SkipBlanks(line, p);
        std::string rest = line.substr(p);
        if (rest == "-") {
            op.Kind = TRegOp::DeleteValue;
        } else if (!rest.empty() && rest[0] == '"') {
            size_t q = 0;
            op.Type = REG_SZ;
            op.Data = Quoted(rest, q) + '\0';
            if (Trim(rest.substr(q)) != "") Fail("text after the closing quote");
        } else if (rest.compare(0, 6, "dword:") == 0) {
            std::string hex = Trim(rest.substr(6));
            if (hex.empty() || hex.size() > 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                Fail("dword: needs 1 to 8 hexadecimal digits");
            uint32_t v = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
            op.Type = REG_DWORD;
            for (int i = 0; i < 4; ++i) op.Data += static_cast<char>(v >> (8 * i));
        } else if (rest.compare(0, 3, "hex") == 0) {
            size_t colon = rest.find(':');
            if (colon == std::string::npos) Fail("hex data needs a colon");
            std::string kind = rest.substr(3, colon - 3);
            op.Type = REG_BINARY;
            if (!kind.empty()) {
                if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10 ||
                    kind.find_first_not_of("0123456789abcdefABCDEF", 1) != kind.size() - 1)
                    Fail("bad hex(type)");
                op.Type = static_cast<DWORD>(std::stoul(kind.substr(1, kind.size() - 2), nullptr, 16));
            }
            op.Data = HexBytes(rest.substr(colon + 1));
        } else {
            Fail("unknown value data: " + rest.substr(0, 40));
        }
        return op;
    }

private:
    static void SkipBlanks(const std::string& s, size_t& p) {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\t')) ++p;
    }

    std::string Quoted(const std::string& s, size_t& p) {
        if (p >= s.size() || s[p] != '"') Fail("a quoted name or text expected");
        std::string out;
        for (++p; p < s.size(); ++p) {
            if (s[p] == '"') {
                ++p;
                return out;
            }
            if (s[p] == '\\') {
                if (++p >= s.size()) break;
                if (s[p] != '\\' && s[p] != '"') Fail("unknown escape \\" + std::string(1, s[p]));
            }
            out += s[p];
        }
        Fail("missing closing quote");
    }

    std::string HexBytes(const std::string& text) {
        std::string out;
        std::string t = Trim(text);
        if (t.empty()) return out;
        size_t start = 0;
        for (;;) {
            size_t comma = t.find(',', start);
            std::string b = Trim(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (b.empty() || b.size() > 2 || b.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                Fail("bad hex byte '" + b.substr(0, 8) + "'");
            out += static_cast<char>(std::stoul(b, nullptr, 16));
            if (out.size() > kMaxValueSize) Fail("value data larger than 1 MiB");
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        return out;
    }

    int FLine;
};

void Apply(const TRegOp& op) {
    auto fail = [&](LONG rc) {
        throw ERegistryException(Format("Cannot import line %d: %s", {op.Line, SysErrorMessage(rc)}));
    };
    if (op.Kind == TRegOp::DeleteKey) {
        TRegistry reg;
        reg.SetRootKey(op.Root);
        if (!op.Path.empty() && reg.KeyExists("\\" + op.Path) && !reg.DeleteKey("\\" + op.Path)) fail(GetLastError());
        return;
    }
    HKEY key;
    LONG rc = RegCreateKeyExA(op.Root, op.Path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc) fail(rc);
    if (op.Kind == TRegOp::SetValue)
        rc = RegSetValueExA(key, op.Name.c_str(), 0, op.Type, reinterpret_cast<const BYTE*>(op.Data.data()),
                            static_cast<DWORD>(op.Data.size()));
    else if (op.Kind == TRegOp::DeleteValue && RegDeleteValueA(key, op.Name.c_str()) == ERROR_FILE_NOT_FOUND)
        rc = ERROR_SUCCESS;
    RegCloseKey(key);
    if (rc) fail(rc);
}

}  // namespace

void RegImport(const std::string& text) {
    std::vector<std::pair<int, std::string>> lines;
    {
        std::istringstream in(text);
        std::string line, logical;
        int number = 0, start = 0;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (logical.empty()) start = number;
            logical += Trim(line);
            // A value's hex data may go on over lines that end in a backslash.
            if (!logical.empty() && logical.back() == '\\' && logical[0] != '[' && logical[0] != ';') {
                logical.pop_back();
                continue;
            }
            lines.emplace_back(start, logical);
            logical.clear();
        }
        if (!logical.empty()) lines.emplace_back(start, logical);
    }
    std::vector<TRegOp> ops;
    bool header = false;
    TRegOp key{TRegOp::Key, 0, "", "", 0, "", 0};
    bool haveKey = false;
    for (const auto& [number, line] : lines) {
        if (line.empty() || line[0] == ';') continue;
        TRegParser p(number);
        if (!header) {
            if (line != "REGEDIT4") p.Fail("the file does not begin with REGEDIT4");
            header = true;
            continue;
        }
        if (line[0] == '[') {
            key = p.Header(line);
            haveKey = key.Kind == TRegOp::Key;
            ops.push_back(key);
            continue;
        }
        if (!haveKey) p.Fail("a value outside of a key");
        ops.push_back(p.Value(line, key));
    }
    if (!header) TRegParser(1).Fail("the file does not begin with REGEDIT4");
    for (const auto& op : ops) Apply(op);
}

}  // namespace kv
