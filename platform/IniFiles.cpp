#include "platform/IniFiles.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/Paths.h"

namespace kv {

namespace {

bool IsHeader(const std::string& line, std::string& name) {
    std::string t = Trim(line);
    if (t.empty() || t[0] != '[') return false;
    size_t end = t.find(']');
    name = Trim(t.substr(1, end == std::string::npos ? std::string::npos : end - 1));
    return true;
}

bool IsEntry(const std::string& line, std::string& key, std::string& value) {
    std::string t = TrimLeft(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    // The profile functions drop one pair of matching quotes around a value.
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return true;
}

}  // namespace

void TIniText::SetText(const std::string& text) {
    FLines.clear();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        FLines.push_back(line);
    }
}

std::string TIniText::Text() const {
    std::string s;
    for (const auto& l : FLines) s += l + "\r\n";
    return s;
}

bool TIniText::FindSection(const std::string& section, size_t& begin, size_t& end) const {
    std::string name;
    for (size_t i = 0; i < FLines.size(); ++i) {
        if (!IsHeader(FLines[i], name) || !SameText(name, section)) continue;
        begin = i + 1;
        end = begin;
        while (end < FLines.size() && !IsHeader(FLines[end], name)) ++end;
        return true;
    }
    return false;
}

bool TIniText::Read(const std::string& section, const std::string& ident, std::string& value) const {
    size_t b, e;
    if (!FindSection(section, b, e)) return false;
    std::string k, v;
    for (size_t i = b; i < e; ++i)
        if (IsEntry(FLines[i], k, v) && SameText(k, ident)) {
            value = v;
            return true;
        }
    return false;
}

void TIniText::Write(const std::string& section, const std::string& ident, const std::string& value) {
    std::string line = ident + "=" + value;
    size_t b, e;
    if (!FindSection(section, b, e)) {
        if (!FLines.empty() && !Trim(FLines.back()).empty()) FLines.push_back("");
        FLines.push_back("[" + section + "]");
        FLines.push_back(line);
        return;
    }
    std::string k, v;
    for (size_t i = b; i < e; ++i)
        if (IsEntry(FLines[i], k, v) && SameText(k, ident)) {
            FLines[i] = line;
            return;
        }
    size_t at = e;
    while (at > b && Trim(FLines[at - 1]).empty()) --at;
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), line);
}

void TIniText::DeleteKey(const std::string& section, const std::string& ident) {
    size_t b, e;
    if (!FindSection(section, b, e)) return;
    std::string k, v;
    for (size_t i = b; i < e; ++i)
        if (IsEntry(FLines[i], k, v) && SameText(k, ident)) {
            FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

void TIniText::EraseSection(const std::string& section) {
    size_t b, e;
    while (FindSection(section, b, e))
        FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(b - 1), FLines.begin() + static_cast<std::ptrdiff_t>(e));
}

bool TIniText::SectionExists(const std::string& section) const {
    size_t b, e;
    return FindSection(section, b, e);
}

std::vector<std::string> TIniText::Sections() const {
    std::vector<std::string> out;
    std::string name;
    for (const auto& l : FLines)
        if (IsHeader(l, name)) out.push_back(name);
    return out;
}

std::vector<std::pair<std::string, std::string>> TIniText::Entries(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> out;
    size_t b, e;
    if (!FindSection(section, b, e)) return out;
    std::string k, v;
    for (size_t i = b; i < e; ++i)
        if (IsEntry(FLines[i], k, v)) out.emplace_back(k, v);
    return out;
}

TIniText LoadIniHost(const std::string& hostPath) {
    TIniText ini;
    std::ifstream in(hostPath, std::ios::binary);
    if (in) {
        std::ostringstream s;
        s << in.rdbuf();
        ini.SetText(s.str());
    }
    return ini;
}

bool SaveIniHost(const std::string& hostPath, const TIniText& ini) {
    std::string tmp = hostPath + ".new" + std::to_string(getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << ini.Text();
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), hostPath.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

// ---- TIniFile ------------------------------------------------------------------------------

namespace {

// A bare name is a file in the Windows folder, as for the profile functions.
std::string IniPath(const std::string& fileName) {
    if (fileName.find_first_of("\\/:") == std::string::npos) return Machine().WindowsDir() + "\\" + fileName;
    return fileName;
}

}  // namespace

TIniFile::TIniFile(const std::string& fileName) : FFileName(fileName) {}

TIniText TIniFile::Load() const {
    TResolvedPath r;
    if (ResolvePath(IniPath(FFileName), r) != ERROR_SUCCESS || !r.Exists || r.IsDir) return TIniText();
    return LoadIniHost(r.Host);
}

void TIniFile::Save(const TIniText& ini) {
    TResolvedPath r;
    if (ResolvePath(IniPath(FFileName), r) != ERROR_SUCCESS || !r.ParentExists || r.IsDir || !SaveIniHost(r.Host, ini))
        throw EIniFileException("Unable to write to %s", {FFileName});
}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident, const std::string& def) const {
    std::string v;
    return Load().Read(section, ident, v) ? v : def;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
    // A line break or a stray bracket or "=" would change the file's structure.
    if (section.empty() || ident.empty() || section.find_first_of("]\r\n") != std::string::npos ||
        ident.find_first_of("=[\r\n") != std::string::npos || value.find_first_of("\r\n") != std::string::npos ||
        Trim(ident) != ident || Trim(ident)[0] == ';')
        throw EIniFileException("Unable to write to %s", {FFileName});
    TIniText ini = Load();
    ini.Write(section, ident, value);
    Save(ini);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident, int32_t def) const {
    return StrToIntDef(ReadString(section, ident, ""), def);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, int32_t value) {
    WriteString(section, ident, IntToStr(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool def) const {
    return ReadInteger(section, ident, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
    WriteString(section, ident, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : Load().Entries(section)) out.push_back(k);
    return out;
}

std::vector<std::string> TIniFile::ReadSections() const { return Load().Sections(); }

std::vector<std::string> TIniFile::ReadSectionValues(const std::string& section) const {
    std::vector<std::string> out;
    for (const auto& [k, v] : Load().Entries(section)) out.push_back(k + "=" + v);
    return out;
}

bool TIniFile::SectionExists(const std::string& section) const { return Load().SectionExists(section); }

bool TIniFile::ValueExists(const std::string& section, const std::string& ident) const {
    std::string v;
    return Load().Read(section, ident, v);
}

void TIniFile::EraseSection(const std::string& section) {
    TIniText ini = Load();
    if (!ini.SectionExists(section)) return;
    ini.EraseSection(section);
    Save(ini);
}

void TIniFile::DeleteKey(const std::string& section, const std::string& ident) {
    TIniText ini = Load();
    std::string v;
    if (!ini.Read(section, ident, v)) return;
    ini.DeleteKey(section, ident);
    Save(ini);
}

}  // namespace kv
