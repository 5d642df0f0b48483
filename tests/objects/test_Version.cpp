#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "objects/cmp_TVersion.h"
#include "platform/FileStream.h"
#include "platform/Paths.h"
#include "platform/PEImage.h"
#include "tests/platform/TempMachine.h"

namespace kv {
namespace {

std::string Fixture(const std::string& name) { return std::string(KELVANE_SOURCE_DIR) + "/tests/objects/fixtures/" + name; }

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// A fresh machine; files go to its folder C:\v.
class TScratch {
public:
    TScratch() { std::filesystem::create_directories(FMachine.Host("drive_c/v")); }
    std::string operator/(const std::string& n) const { return "C:\\v\\" + n; }

private:
    test::TempMachine FMachine;
};

void Touch(const std::string& path, const std::string& data, TDateTime date) {
    std::string host = HostPath(path);
    std::ofstream(host, std::ios::binary) << data;
    auto t = std::filesystem::file_time_type::clock::from_sys(
        std::chrono::sys_seconds(std::chrono::seconds(DateTimeToUnix(date))));
    std::filesystem::last_write_time(host, t);
}

using VersionResource = test::MachineTest;
using VersionApi = test::MachineTest;

// The fifteen published strings, in their published order.
std::vector<std::string> Published(const TVersionInfo& v) {
    std::vector<std::string> out;
    for (const TPropInfo* p : TVersionInfo::StaticClass()->AllProps()) out.push_back(p->GetStr(v));
    return out;
}

TEST_F(VersionResource, ReadsFixedInformationAndStrings) {
    EXPECT_EQ(Published(TVersionInfo()).size(), 15u);
    TVersionResource r(nullptr);
    using V = std::vector<std::string>;
    const struct {
        const char* file;
        V expected;  // Comment .. SpecialBuild, FileOS, FileType, FileSubType
    } cases[] = {
        // "Comments" (plural) leaves Comment empty; the ProductVersion string
        // replaces the fixed value, FileVersion stays the fixed one.
        {"ver32.dll",
         {"", "Kelvane Test Company", "Version fixture", "4.0.1381.1", "ver32", "\xA9 1999 Kelvane", "",
          "VER32.DLL", "", "Kelvane Fixtures", "4.0 Beta", "", "Windows NT with 32 bit Windows",
          "Dynamic-Link Library", ""}},
        // Strings exist for German only.
        {"ver64.exe",
         {"", "", "", "2.0.0.1", "", "", "", "", "", "", "2.0.0.0", "", "32 bit Windows", "Application", ""}},
        {"drv32.dll",
         {"singular", "", "", "1.10.0.0", "", "", "tm", "", "pb", "", "1.10.0.0", "sb",
          "Windows 3.0 or later with MS-Dos", "Device Driver", "Sound"}},
        {"nover.exe", V(15)},
        {"missing.dll", V(15)},
        {"make_fixtures.sh", V(15)},
    };
    for (const auto& c : cases) {
        r.SetFileName(Fixture(c.file));
        EXPECT_EQ(Published(*r.VersionInfo()), c.expected) << c.file;
    }
}

TEST_F(VersionResource, LanguageAndCharacterSetChooseTheStringTable) {
    TVersionResource r(nullptr);
    EXPECT_EQ(r.Language(), lnUSEnglish);
    EXPECT_EQ(r.CharacterSet(), csMultilingual);
    r.SetFileName(Fixture("ver64.exe"));
    r.SetLanguage(lnGerman);
    EXPECT_EQ(r.VersionInfo()->CompanyName, "");  // German, but still code page 1252
    r.SetCharacterSet(csUnicode);
    EXPECT_EQ(r.VersionInfo()->CompanyName, "Nur Deutsch");
    EXPECT_EQ(r.VersionInfo()->Comment, "Einzahl");
    EXPECT_EQ(r.VersionInfo()->ProductVersion, "2.0 DE");
    EXPECT_EQ(r.VersionInfo()->FileVersion, "2.0.0.1");
}

TEST_F(VersionResource, TablesOfIdentifiers) {
    const struct {
        TLanguage language;
        uint16_t id;
    } languages[] = {{lnArabic, 0x0401}, {lnUSEnglish, 0x0409}, {lnBahasa, 0x0421}, {lnSimplifiedChinese, 0x0804},
                     {lnSerboCroatian, 0x081A}, {lnCanadianFrench, 0x0C0C}, {lnSwissFrench, 0x100C}};
    for (const auto& c : languages) EXPECT_EQ(LanguageId(c.language), c.id);
    const struct {
        TCharacterSet set;
        uint16_t cp;
    } sets[] = {{csASCII, 0}, {csJapan, 932}, {csUnicode, 1200}, {csMultilingual, 1252}, {csArabic, 1256}};
    for (const auto& c : sets) EXPECT_EQ(CodePage(c.set), c.cp);
    EXPECT_THROW(LanguageId(static_cast<TLanguage>(45)), Exception);
    EXPECT_THROW(CodePage(static_cast<TCharacterSet>(-1)), Exception);
    EXPECT_EQ(TLanguageInfo.Names.size(), 45u);
    EXPECT_EQ(TCharacterSetInfo.Names[csMultilingual], "csMultilingual");
}

TEST_F(VersionApi, QueriesTheBlock) {
    uint32_t handle = 99;
    uint32_t size = GetFileVersionInfoSizeA(Fixture("ver32.dll"), &handle);
    EXPECT_EQ(handle, 0u);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(Fixture("ver32.dll"), 0, size, block.data()));
    EXPECT_FALSE(GetFileVersionInfoA(Fixture("ver32.dll"), 0, size - 1, block.data()));
    void* value;
    uint32_t len;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &len));
    ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00040000u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x05650001u);
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &len));
    ASSERT_EQ(len, 4u);
    EXPECT_EQ(std::memcmp(value, "\x09\x04\xE4\x04", 4), 0);
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\stringfileinfo\\040904e4\\CompanyName", &value, &len));
    EXPECT_STREQ(static_cast<const char*>(value), "Kelvane Test Company");
    EXPECT_EQ(len, 21u);
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\Missing", &value, &len));
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\04090000\\CompanyName", &value, &len));
    EXPECT_EQ(GetFileVersionInfoSizeA(Fixture("nover.exe"), &handle), 0u);
    EXPECT_EQ(GetFileVersionInfoSizeA(Fixture("absent.exe"), &handle), 0u);
}

// Writes LE values into an image copy.
void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
uint32_t Get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
    return v;
}

bool ReadsVersion(const std::string& image) {
    TMemoryStream m(image);
    std::string block;
    return ReadVersionResource(m, block);
}

TEST_F(VersionApi, MalformedImagesHaveNoVersion) {
    const std::string good = ReadAll(Fixture("ver32.dll"));
    ASSERT_TRUE(ReadsVersion(good));
    const uint32_t pe = Get32(good, 0x3C);
    const uint32_t resRva = Get32(good, pe + 24 + 96 + 2 * 8);
    // File offset of the resource directory: find the section holding it.
    uint16_t sections = static_cast<uint8_t>(good[pe + 6]);
    uint32_t resOff = 0;
    for (uint16_t i = 0; i < sections; ++i) {
        size_t h = pe + 24 + 224 + i * 40;
        if (Get32(good, h + 12) == resRva) resOff = Get32(good, h + 20);
    }
    ASSERT_NE(resOff, 0u);
    auto patched = [&](size_t at, uint32_t v) {
        std::string s = good;
        Put32(s, at, v);
        return s;
    };
    const struct {
        const char* what;
        std::string image;
    } cases[] = {
        {"empty", ""},
        {"truncated headers", good.substr(0, 200)},
        {"truncated resources", good.substr(0, resOff + 20)},
        {"PE offset beyond the file", patched(0x3C, 0xFFFFFFF0)},
        {"resource directory beyond its section", patched(pe + 24 + 96 + 16, 0x7FFFFFF0)},
        {"type entry points back at the root", patched(resOff + 16 + 4, 0x80000000)},
        {"absurd entry count", patched(resOff + 12, 0xFFFFFFFF)},
        {"section raw data beyond the file", patched(pe + 24 + 224 + 40 * (sections - 1) + 20, 0xFFFFFF00)},
    };
    for (const auto& c : cases) EXPECT_FALSE(ReadsVersion(c.image)) << c.what;
}

// Random damage to each fixture: the reader answers, never crashes; what it
// hands out can be queried safely.
TEST_F(VersionApi, FuzzedImagesNeverCrash) {
    std::mt19937 rng(5);
    for (const char* name : {"ver32.dll", "ver64.exe", "drv32.dll"}) {
        const std::string good = ReadAll(Fixture(name));
        for (int iter = 0; iter < 2000; ++iter) {
            std::string s = good;
            for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
                size_t at = rng() % s.size();
                switch (rng() % 3) {
                    case 0: s[at] = static_cast<char>(rng()); break;
                    case 1: Put32(s, std::min(at, s.size() - 4), static_cast<uint32_t>(rng())); break;
                    default: s[at] ^= static_cast<char>(1 << (rng() % 8)); break;
                }
            }
            TMemoryStream m(s);
            std::string block;
            if (!ReadVersionResource(m, block)) continue;
            std::vector<uint8_t> buffer(block.size() * 2);
            std::memcpy(buffer.data(), block.data(), block.size());
            void* value;
            uint32_t len;
            for (const char* q : {"\\", "\\VarFileInfo\\Translation", "\\StringFileInfo\\040904E4\\CompanyName",
                                  "\\StringFileInfo\\040704B0\\Comment"})
                if (VerQueryValueA(buffer.data(), q, &value, &len)) {
                    auto* p = static_cast<uint8_t*>(value);
                    ASSERT_GE(p, buffer.data());
                    ASSERT_LE(p + len, buffer.data() + buffer.size());
                }
        }
    }
}

TEST(CompareVersions, Table) {
    const struct {
        const char *v1, *v2;
        int result;
    } cases[] = {
        {"2.0.0.1", "2.0.0.1", 0}, {"2.0", "2.0.0.0", 2}, {"10.0", "9.9", 1}, {"", "1", 2},
        {"1", "", 1},              {"", "", 0},           {"1.10", "1.9", 1}, {"1.0", "1.0.0", 2},
        {"1.0b", "1.0a", 1},       {"1.0a", "1.0b", 2},   {"1.a", "1.10", 1}, {"$A", "9", 1},
        {"1..2", "1..3", 0},       {" 7", "7", 0},       {"B", "a", 2},      {"1.\xE9", "1.z", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(TVersionResource::CompareVersions(c.v1, c.v2), c.result) << c.v1 << " vs " << c.v2;
}

TEST(CompareWithArchived, DecisionTable) {
    TScratch dir;
    const TDateTime d1 = EncodeDate(2001, 1, 1), d2 = EncodeDate(2002, 2, 2);
    std::string plain = dir / "plain.txt", ver = dir / "ver32.dll", locked = dir / "locked.txt";
    Touch(plain, "x", d1);
    Touch(ver, ReadAll(Fixture("ver32.dll")), d1);
    Touch(locked, "x", d1);
    TFileStream holder(locked, fmOpenReadWrite | fmShareExclusive);  // locked against shared reading
    const struct {
        TOverwriteType mode;
        std::string archived, dest;
        TDateTime date;
        int result;
    } cases[] = {
        {owAlways, "", plain, d1, 2},
        {owAlways, "", dir / "missing", d1, 2},
        {owNever, "9", plain, d2, 3},
        {owNever, "9", "   ", d2, 2},
        {owNever, "9", dir / "missing", d2, 2},
        {owVersion, "1.0", dir / "missing", d1, 2},
        {owVersion, "", dir / "missing", d1, 1},
        {owVersion, "4.0.1381.2", ver, d1, 2},
        {owVersion, "4.0.1381.1", ver, d2, 1},
        {owVersion, "4.0.999", ver, d2, 3},
        {owDate, "", plain, d1, 1},
        {owDate, "", plain, d2, 2},
        {owDate, "", plain, d1 - 1, 3},
        {owDate, "", dir / "missing", d1, 0},
        {owDate, "", locked, d1, 0},
        {owVersionDate, "", locked, d1, 0},
        {owNever, "", locked, d1, 3},
        {owVersionDate, "4.0.1381.1", ver, d2, 2},
        {owVersionDate, "4.0.1381.1", ver, d1, 1},
        {owVersionDate, "4.0.1381.0", ver, d2, 3},
        {owVersionDate, "", plain, d2, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TVersionResource::CompareWithArchived(c.archived, c.dest, c.mode, c.date), c.result)
            << c.mode << " " << c.archived << " " << c.dest;
}

TEST(IsFileNewerByName, DecisionTable) {
    TScratch dir;
    const TDateTime d1 = EncodeDate(2001, 1, 1), d2 = EncodeDate(2002, 2, 2);
    std::string old = dir / "old.txt", young = dir / "young.txt", v32 = dir / "v32.dll", drv = dir / "drv.dll";
    Touch(old, "o", d1);
    Touch(young, "y", d2);
    Touch(v32, ReadAll(Fixture("ver32.dll")), d1);
    Touch(drv, ReadAll(Fixture("drv32.dll")), d2);
    const struct {
        TOverwriteType mode;
        std::string source, dest;
        int result;
    } cases[] = {
        {owAlways, old, young, 2},     {owNever, young, old, 3},       {owDate, young, old, 2},
        {owDate, old, young, 3},       {owDate, old, old, 1},          {owDate, dir / "none", old, 0},
        {owDate, old, dir / "none", 0}, {owVersion, v32, drv, 2},      {owVersion, drv, v32, 3},
        {owVersion, old, young, 1},    {owVersionDate, young, old, 2}, {owVersionDate, drv, v32, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TVersionResource::IsFileNewerByName(c.source, c.dest, c.mode), c.result)
            << c.mode << " " << c.source << " " << c.dest;
}

}  // namespace
}  // namespace kv
