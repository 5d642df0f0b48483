// Initialisation files as the platform's profile functions treat them, and the class
// library's TIniFile on the machine's paths.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "runtime/SysUtils.h"

namespace kv {

KV_EXCEPTION(EIniFileException, Exception);

// The text of one initialisation file, kept line by line so that comments, order and
// layout survive a change. Sections and keys compare without regard to case.
class TIniText {
public:
    void SetText(const std::string& text);
    std::string Text() const;  // lines joined with CR LF

    bool Read(const std::string& section, const std::string& ident, std::string& value) const;
    // Replaces the first line of Ident in Section, or appends one (and the section).
    void Write(const std::string& section, const std::string& ident, const std::string& value);
    void DeleteKey(const std::string& section, const std::string& ident);
    void EraseSection(const std::string& section);
    bool SectionExists(const std::string& section) const;
    std::vector<std::string> Sections() const;
    // Every "key=value" line of the section in file order, duplicates included.
    std::vector<std::pair<std::string, std::string>> Entries(const std::string& section) const;

private:
    // [first line after the header, end) of the section's lines; false when absent.
    bool FindSection(const std::string& section, size_t& begin, size_t& end) const;
    std::vector<std::string> FLines;
};

// Reads a host file into a TIniText (empty when missing) and writes one back
// atomically (a new file renamed over the old), so a killed writer never leaves half a file.
TIniText LoadIniHost(const std::string& hostPath);
bool SaveIniHost(const std::string& hostPath, const TIniText& ini);

// TIniFile: every call reads or writes the file at once, as the profile functions do.
// A bare file name means the file of that name in the Windows folder.
class TIniFile {
public:
    explicit TIniFile(const std::string& fileName);
    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& section, const std::string& ident, const std::string& def) const;
    void WriteString(const std::string& section, const std::string& ident, const std::string& value);
    int32_t ReadInteger(const std::string& section, const std::string& ident, int32_t def) const;
    void WriteInteger(const std::string& section, const std::string& ident, int32_t value);
    bool ReadBool(const std::string& section, const std::string& ident, bool def) const;
    void WriteBool(const std::string& section, const std::string& ident, bool value);
    std::vector<std::string> ReadSection(const std::string& section) const;        // the idents
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadSectionValues(const std::string& section) const;  // "ident=value"
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& ident) const;
    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& ident);
    void UpdateFile() {}

private:
    TIniText Load() const;
    void Save(const TIniText& ini);
    std::string FFileName;
};

}  // namespace kv
